#include "sweep/contrast.hpp"

#include <map>
#include <utility>

namespace Core::Kvrn {

namespace {

// Same level as the cell summaries.
constexpr double kLevel = 0.95;

}  // namespace

std::vector<PairedContrast> pairedContrasts(const SweepResult& result) {
    std::vector<PairedContrast> contrasts;
    if (result.controlBranch.empty()) return contrasts;

    // Points in expansion order with their branches in cell order.
    std::vector<std::pair<SweepPoint, std::vector<std::string>>> points;
    for (const SweepCell& cell : result.cells) {
        if (points.empty() || points.back().first.hash() != cell.point.hash())
            points.push_back({cell.point, {}});
        if (cell.branch != result.controlBranch) points.back().second.push_back(cell.branch);
    }

    // (point, seed index) -> branch -> metrics, for the runs behind the cells.
    using Key = std::pair<std::size_t, std::uint64_t>;
    std::map<Key, std::map<std::string, const std::map<std::string, double>*>> runs;
    for (const SeedRun& run : result.seedRuns) runs[{run.point, run.seedIndex}][run.branch] = &run.metrics;

    for (std::size_t p = 0; p < points.size(); ++p) {
        for (const std::string& branch : points[p].second) {
            for (const std::string& metric : result.mapMetrics) {
                std::vector<double> differences;
                for (auto it = runs.lower_bound({p, 0}); it != runs.end() && it->first.first == p; ++it) {
                    const auto control = it->second.find(result.controlBranch);
                    const auto treated = it->second.find(branch);
                    if (control == it->second.end() || treated == it->second.end()) continue;
                    const auto a = treated->second->find(metric);
                    const auto b = control->second->find(metric);
                    if (a == treated->second->end() || b == control->second->end()) continue;
                    differences.push_back(a->second - b->second);
                }
                PairedContrast contrast;
                contrast.point = points[p].first;
                contrast.branch = branch;
                contrast.control = result.controlBranch;
                contrast.metric = metric;
                if (!differences.empty()) contrast.difference = summarize(differences, kLevel);
                contrasts.push_back(std::move(contrast));
            }
        }
    }
    return contrasts;
}

}  // namespace Core::Kvrn
