#include "sweep/report.hpp"

#include <cmath>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/format.hpp"

namespace Core::Kvrn {

namespace {

// Header labels are padded to 22 characters so the values line up.
const char* const kSweepLabel = "Sweep:                ";
const char* const kHypothesisLabel = "Hypothesis:           ";
const char* const kAxesLabel = "Axes:                 ";
const char* const kSeedsLabel = "Seeds per point:      ";
const char* const kRunsLabel = "Runs:                 ";

// The pre-registration labels are padded to 30 characters.
const char* const kPredictionLabel = "\nPre-registered prediction:    ";
const char* const kNullLabel = "\nPre-registered null:          ";
const char* const kFalsificationLabel = "\nPre-registered falsification: ";

const char* const kClosing =
    "\nThis report states the shape of the dependence. Picking one parameter value off it as a setting to "
    "adopt would turn measurement into tuning.\n";

std::string number(double value) { return formatShort(value); }

std::string count(std::uint64_t value) { return std::to_string(value); }

void appendHeader(std::string& out, const SweepResult& result) {
    out += kSweepLabel + result.name + "\n";
    out += kHypothesisLabel + result.hypothesis + "\n";
    out += kAxesLabel;
    for (std::size_t i = 0; i < result.axes.size(); ++i) {
        if (i > 0) out += " x ";
        out += result.axes[i];
    }
    out += "\n";
    out += kSeedsLabel + count(result.seedsPerPoint) + "\n";
    out += kRunsLabel + count(result.executedRuns) + " executed, " + count(result.reusedRuns) +
           " reused from the registry\n";
}

void appendCurve(std::string& out, const SweepCurve& curve) {
    out += "\nCurve " + curve.branch + " / " + curve.metric + " over " + curve.axis +
           " (mean, 95 % CI over seeds):\n";
    for (std::size_t k = 0; k < curve.x.size() && k < curve.points.size(); ++k) {
        const SampleSummary& s = curve.points[k];
        out += "  " + curve.axis + "=" + number(curve.x[k]) + "  mean=" + number(s.mean);
        if (std::isfinite(s.variance)) {
            out += "  var=" + number(s.variance) + "  CI=[" + number(s.lower) + ", " + number(s.upper) + "]";
        } else {
            out += "  var=n/a  CI=undefined (one seed)";
        }
        out += "  n=" + count(s.count) + "\n";
    }
    out += "  shape: " + shapeName(curve.shape) + "\n";
    if (curve.regime.candidate) {
        out += "  regime transition candidate at " + curve.axis + "=" + number(curve.regime.location) +
               " (curvature " + number(curve.regime.curvature) + ", variance ratio " +
               number(curve.regime.varianceRatio) + "); verify with a denser sweep\n";
    } else {
        out += "  no regime transition candidate\n";
    }
}

void appendMap(std::string& out, const SweepResult& result, const std::string& metric) {
    out += "\nMap of " + metric + " (mean over " + count(result.seedsPerPoint) + " seeds):\n";
    for (const SweepCell& cell : result.cells) {
        const auto found = cell.summaries.find(metric);
        if (found == cell.summaries.end()) continue;
        const SampleSummary& s = found->second;
        out += "  " + cell.point.label() + "  " + cell.branch + "  mean=" + number(s.mean);
        if (std::isfinite(s.variance)) out += "  CI=[" + number(s.lower) + ", " + number(s.upper) + "]";
        if (cell.invalidRuns > 0) out += "  (" + count(cell.invalidRuns) + " invalid runs excluded)";
        out += "\n";
    }
}

void appendContrast(std::string& out, const PairedContrast& contrast) {
    const SampleSummary& d = contrast.difference;
    out += "  " + contrast.point.label();
    if (d.count == 0) {
        out += "  no seed with both runs valid\n";
        return;
    }
    out += "  mean difference=" + number(d.mean);
    if (std::isfinite(d.variance))
        out += "  CI=[" + number(d.lower) + ", " + number(d.upper) + "]";
    else
        out += "  CI=undefined (one seed)";
    out += "  n=" + count(d.count) + "\n";
}

}  // namespace

std::string renderContrastReport(const std::vector<PairedContrast>& contrasts) {
    if (contrasts.empty()) return "";
    std::string out =
        "\nPaired contrasts: each branch minus the control on the same seed and point (mean difference, 95 % "
        "CI over seeds)\n";
    // Grouped by branch and metric, groups in order of first appearance,
    // points in expansion order within a group.
    std::map<std::pair<std::string, std::string>, std::size_t> groups;
    std::vector<std::vector<const PairedContrast*>> grouped;
    for (const PairedContrast& c : contrasts) {
        const auto [at, added] = groups.try_emplace({c.branch, c.metric}, grouped.size());
        if (added) grouped.emplace_back();
        grouped[at->second].push_back(&c);
    }
    for (const std::vector<const PairedContrast*>& group : grouped) {
        const PairedContrast& first = *group.front();
        out += "\nContrast " + first.branch + " - " + first.control + " / " + first.metric + ":\n";
        for (const PairedContrast* c : group) appendContrast(out, *c);
    }
    return out;
}

std::string renderSweepReport(const SweepResult& result) {
    std::string out;
    appendHeader(out, result);
    if (!result.curves.empty()) {
        for (const SweepCurve& curve : result.curves) appendCurve(out, curve);
    } else {
        for (const std::string& metric : result.mapMetrics) appendMap(out, result, metric);
    }
    out += kPredictionLabel + result.prediction;
    out += kNullLabel + result.null;
    out += kFalsificationLabel + result.falsification + "\n";
    out += kClosing;
    return out;
}

}  // namespace Core::Kvrn
