#include "sweep/contrast.hpp"
#include "sweep/report.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace Core::Kvrn;

namespace {

// Two points of axis "g", branches control, jitter and ablate, three seeds.
// Seed 2 of the jitter branch at g=1 is missing (an invalid run), and at g=2
// only seed 0 of the ablate branch is there.
SweepResult pairedResult() {
    SweepResult r;
    r.name = "Probe";
    r.axes = {"g"};
    r.mapMetrics = {"rate", "level"};
    r.seedsPerPoint = 3;
    r.controlBranch = "control";
    for (double g : {1.0, 2.0})
        for (const char* branch : {"control", "jitter", "ablate"})
            r.cells.push_back({SweepPoint{{{"g", g}}}, branch, {}, 0, 0, 0});
    const auto add = [&r](std::size_t point, std::uint64_t seed, const char* branch, double rate,
                          double level) {
        r.seedRuns.push_back({point, seed, branch, {{"rate", rate}, {"level", level}}});
    };
    for (std::uint64_t seed = 0; seed < 3; ++seed) {
        add(0, seed, "control", 10 + seed, 1);
        if (seed < 2) add(0, seed, "jitter", 8 + 2 * seed, 1.5);
        add(0, seed, "ablate", 1, 0);
        add(1, seed, "control", 20, 2);
        add(1, seed, "jitter", 21 + seed, 2);
    }
    add(1, 0, "ablate", 5, 0);
    return r;
}

const PairedContrast& find(const std::vector<PairedContrast>& contrasts, double g, const std::string& branch,
                           const std::string& metric) {
    for (const PairedContrast& c : contrasts)
        if (c.point.value("g") == g && c.branch == branch && c.metric == metric) return c;
    throw std::logic_error("no such contrast");
}

}  // namespace

TEST(PairedContrasts, DifferenceSeedBySeedOnlyWhereBothRunsExist) {
    const std::vector<PairedContrast> contrasts = pairedContrasts(pairedResult());
    // Points in order, intervention branches in cell order, metrics as declared.
    ASSERT_EQ(contrasts.size(), 2u * 2u * 2u);
    EXPECT_EQ(contrasts[0].branch, "jitter");
    EXPECT_EQ(contrasts[0].metric, "rate");
    EXPECT_EQ(contrasts[1].metric, "level");
    EXPECT_EQ(contrasts[2].branch, "ablate");
    EXPECT_EQ(contrasts[4].point.value("g"), 2.0);
    for (const PairedContrast& c : contrasts) EXPECT_EQ(c.control, "control");

    // jitter - control at g=1: seeds 0 and 1 only, (8 - 10) and (10 - 11).
    const PairedContrast& jitter = find(contrasts, 1, "jitter", "rate");
    const std::vector<double> expected = {-2, -1};
    const SampleSummary direct = summarize(expected, 0.95);
    EXPECT_EQ(jitter.difference.count, 2u);
    EXPECT_EQ(jitter.difference.mean, direct.mean);
    EXPECT_EQ(jitter.difference.lower, direct.lower) << "the same Student-t interval as the cells";
    EXPECT_EQ(jitter.difference.upper, direct.upper);

    // Paired, not the difference of two independent means: the control's
    // seed-to-seed spread cancels (ablate is 1 on every seed, control 10..12).
    const PairedContrast& ablate = find(contrasts, 1, "ablate", "rate");
    EXPECT_EQ(ablate.difference.mean, -10);
    EXPECT_EQ(ablate.difference.variance, 1);

    const PairedContrast& single = find(contrasts, 2, "ablate", "rate");
    EXPECT_EQ(single.difference.count, 1u);
    EXPECT_TRUE(std::isnan(single.difference.variance));
    EXPECT_EQ(find(contrasts, 2, "jitter", "level").difference.variance, 0) << "equal values, zero spread";
}

TEST(PairedContrasts, NoneWithoutAControlOrAnInterventionBranch) {
    SweepResult noControl = pairedResult();
    noControl.controlBranch.clear();
    EXPECT_TRUE(pairedContrasts(noControl).empty());

    SweepResult onlyControl = pairedResult();
    std::erase_if(onlyControl.cells, [](const SweepCell& c) { return c.branch != "control"; });
    EXPECT_TRUE(pairedContrasts(onlyControl).empty());
    EXPECT_EQ(renderContrastReport({}), "") << "a sweep without contrasts keeps its report as it was";

    // A branch whose runs were all invalid at a point has an empty contrast there.
    SweepResult lost = pairedResult();
    std::erase_if(lost.seedRuns, [](const SeedRun& run) { return run.branch == "ablate"; });
    const std::vector<PairedContrast> contrasts = pairedContrasts(lost);
    EXPECT_EQ(find(contrasts, 2, "ablate", "rate").difference.count, 0u);
}

TEST(PairedContrasts, ReportGroupsByBranchAndMetricBelowTheSweepReport) {
    SweepResult r = pairedResult();
    r.mapMetrics = {"rate"};
    std::erase_if(r.cells, [](const SweepCell& c) { return c.branch == "jitter"; });
    std::erase_if(r.seedRuns, [](const SeedRun& run) { return run.branch == "ablate" && run.point == 1; });
    EXPECT_EQ(
        renderContrastReport(pairedContrasts(r)),
        "\nPaired contrasts: each branch minus the control on the same seed and point (mean difference, "
        "95 % CI over seeds)\n"
        "\nContrast ablate - control / rate:\n"
        "  g=1  mean difference=-10  CI=[-12.4841, -7.51586]  n=3\n"
        "  g=2  no seed with both runs valid\n");
}
