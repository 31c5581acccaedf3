#include "cli/output_file.hpp"
#include "cli/progress.hpp"
#include "cli/sweep_plot.hpp"
#include "cli/table_export.hpp"

#include "support/expect_throws.hpp"
#include "support/golden.hpp"
#include "svg_render.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>

using namespace Core::Cli;
using namespace Core::Kvrn;

namespace {

SampleSummary summary(std::uint64_t count, double mean, double variance, double lower, double upper) {
    SampleSummary s;
    s.count = count;
    s.mean = mean;
    s.variance = variance;
    s.lower = lower;
    s.upper = upper;
    s.level = 0.95;
    return s;
}

// Two points of axis "g" with the branches "control" and "odd, \"named\"";
// the second branch has a single seed at g=1 and no valid run at g=2.
SweepResult curveResult() {
    SweepResult r;
    r.name = "Probe";
    r.hypothesis = "H2";
    r.axes = {"g"};
    r.mapMetrics = {"rate", "level"};
    r.seedsPerPoint = 3;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const SweepPoint one{{{"g", 0.1}}};
    const SweepPoint two{{{"g", 2}}};
    r.cells = {
        {one,
         "control",
         {{"level", summary(3, 1.5, 0.25, 0.25, 2.75)}, {"rate", summary(3, 10, 1, 7.5, 12.5)}},
         3,
         0,
         0},
        {one,
         "odd, \"named\"",
         {{"level", summary(1, 2, nan, nan, nan)}, {"rate", summary(1, 9, nan, nan, nan)}},
         1,
         0,
         2},
        {two, "control", {{"level", summary(3, 1, 0.5, 0, 2)}, {"rate", summary(3, 12, 2, 9, 15)}}, 0, 3, 0},
        {two, "odd, \"named\"", {}, 0, 0, 3},
    };
    for (const char* branch : {"control", "odd, \"named\""}) {
        for (const char* metric : {"rate", "level"}) {
            SweepCurve curve;
            curve.branch = branch;
            curve.metric = metric;
            curve.axis = "g";
            for (const SweepCell& cell : r.cells) {
                const auto found = cell.summaries.find(metric);
                if (cell.branch != branch || found == cell.summaries.end()) continue;
                curve.x.push_back(cell.point.parameters[0].value);
                curve.points.push_back(found->second);
            }
            r.curves.push_back(curve);
        }
    }
    r.curves[0].regime.candidate = true;
    r.curves[0].regime.location = 2;
    r.executedRuns = 4;
    r.reusedRuns = 3;
    return r;
}

// Where the plot tests leave their SVG and PNG files for a look.
std::filesystem::path plotDirectory() { return std::filesystem::temp_directory_path() / "vostel-plot-tests"; }

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(SweepTable, CsvHasOneRowPerCellAndDeclaredMetricWithNaForMissingNumbers) {
    EXPECT_EQ(sweepTableCsv(curveResult()),
              "g,branch,metric,n,mean,variance,lower,upper,invalid_runs\n"
              "0.10000000000000001,control,rate,3,10,1,7.5,12.5,0\n"
              "0.10000000000000001,control,level,3,1.5,0.25,0.25,2.75,0\n"
              "0.10000000000000001,\"odd, \"\"named\"\"\",rate,1,9,NA,NA,NA,2\n"
              "0.10000000000000001,\"odd, \"\"named\"\"\",level,1,2,NA,NA,NA,2\n"
              "2,control,rate,3,12,2,9,15,0\n"
              "2,control,level,3,1,0.5,0,2,0\n"
              "2,\"odd, \"\"named\"\"\",rate,0,NA,NA,NA,NA,3\n"
              "2,\"odd, \"\"named\"\"\",level,0,NA,NA,NA,NA,3\n");
}

TEST(SweepTable, JsonIsAnArrayOfRecordsWithNullForMissingNumbers) {
    const std::string json = sweepTableJson(curveResult());
    EXPECT_EQ(json.substr(0, json.find('\n', 2) + 1),
              "[\n  {\"g\": 0.10000000000000001, \"branch\": \"control\", \"metric\": \"rate\", \"n\": 3, "
              "\"mean\": 10, \"variance\": 1, \"lower\": 7.5, \"upper\": 12.5, \"invalid_runs\": 0},\n");
    EXPECT_NE(
        json.find(
            "\"branch\": \"odd, \\\"named\\\"\", \"metric\": \"rate\", \"n\": 1, \"mean\": 9, \"variance\": "
            "null, \"lower\": null, \"upper\": null, \"invalid_runs\": 2},\n"),
        std::string::npos);
    EXPECT_NE(json.find("\"n\": 0, \"mean\": null, \"variance\": null, \"lower\": null, \"upper\": null, "
                        "\"invalid_runs\": 3}\n]\n"),
              std::string::npos);
    EXPECT_EQ(occurrences(json, "{"), 8u);

    SweepResult empty = curveResult();
    empty.cells.clear();
    EXPECT_EQ(sweepTableJson(empty), "[]\n");
    EXPECT_EQ(sweepTableCsv(empty), "g,branch,metric,n,mean,variance,lower,upper,invalid_runs\n");
}

TEST(SweepPlot, OneAxisGivesAPanelPerMetricWithBandsMeansShapesAndTheRegimeCandidate) {
    const std::string svg = sweepPlotSvg(curveResult());
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    EXPECT_EQ(occurrences(svg, "font-weight=\"bold\">rate over g</text>"), 1u);
    EXPECT_EQ(occurrences(svg, "font-weight=\"bold\">level over g</text>"), 1u);
    EXPECT_EQ(occurrences(svg, "<polyline"), 4u) << "one mean line per branch and metric";
    // The single-seed branch has no interval anywhere, so only the control gets bands.
    EXPECT_EQ(occurrences(svg, "<polygon"), 2u);
    EXPECT_EQ(occurrences(svg, "stroke-dasharray"), 1u) << "the one regime candidate";
    EXPECT_NE(svg.find("odd, &quot;named&quot;"), std::string::npos);
    EXPECT_NE(svg.find("shape: flat"), std::string::npos);
    EXPECT_NE(svg.find("(log scale)"), std::string::npos) << "0.1 to 2 spans more than a decade";
    EXPECT_EQ(svg, sweepPlotSvg(curveResult())) << "the same result draws the same picture";
    // The second branch has one seed at g=1: its point says so, and the legend
    // does not claim three seeds for every point.
    EXPECT_EQ(occurrences(svg, ">n=1</text>"), 2u);
    EXPECT_EQ(occurrences(svg, "mean over 3 seeds"), 0u);
    EXPECT_NE(svg.find("line: mean over the valid seeds,"), std::string::npos);
    Testing::expectRendersToPng(svg, plotDirectory() / "one-axis");
}

TEST(SweepPlot, TwoAxesGiveAHeatMapPerMetricAndBranchAndMoreAreRefused) {
    SweepResult map = curveResult();
    map.axes = {"g", "h"};
    map.curves.clear();
    for (std::size_t i = 0; i < map.cells.size(); ++i)
        map.cells[i].point.parameters.push_back({"h", i < 2 ? 5.0 : 6.0});
    const std::string svg = sweepPlotSvg(map);
    // Seeds differ between cells, so no title claims three and each cell shows its n.
    EXPECT_EQ(occurrences(svg, " (mean over the valid seeds of each cell, n shown)</text>"), 4u);
    EXPECT_EQ(occurrences(svg, ">n=3</text>"), 4u) << "the control's two cells, in each metric's panel";
    EXPECT_EQ(occurrences(svg, ">n=1</text>"), 2u);
    EXPECT_EQ(occurrences(svg, "<rect x="), 4u * (4u + 1u)) << "four cells and a colour bar per panel";
    // The cells cover the diagonal (0.1, 5), (2, 6) only; the second branch
    // has no summary at (2, 6) either.
    EXPECT_EQ(occurrences(svg, ">n/a</text>"), 2u * (2u + 3u));
    EXPECT_EQ(occurrences(svg, "<polyline"), 0u);
    Testing::expectRendersToPng(svg, plotDirectory() / "two-axes");

    SweepResult three = map;
    three.axes.push_back("k");
    EXPECT_THROW_MSG(sweepPlotSvg(three), std::invalid_argument,
                     "a plot shows sweeps of one or two axes; this one has 3");
    EXPECT_EQ(plotRefusal(2), "");
}

TEST(Progress, LineCountsPairsAndEstimatesFromExecutedOnes) {
    EXPECT_EQ(progressLine(0, 36, 0, 0.2), "0/36 pairs, 0 reused, 00:00 elapsed");
    EXPECT_EQ(progressLine(12, 36, 4, 8), "12/36 pairs, 4 reused, 00:08 elapsed, ~00:24 left");
    EXPECT_EQ(progressLine(10, 10, 10, 1), "10/10 pairs, 10 reused, 00:01 elapsed");
    EXPECT_EQ(progressLine(1, 100, 0, 4000), "1/100 pairs, 0 reused, 1:06:40 elapsed, ~110:00:00 left");
}

TEST(OutputFile, ReplacesWholeOrLeavesTheOldFile) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "vostel-cli-output-test";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::filesystem::path file = dir / "table.csv";
    writeFileAtomically(file, "old\n");
    writeFileAtomically(file, "new\n");
    EXPECT_EQ(Testing::readFile(file.string()), "new\n");

    // A target that cannot be replaced (a directory) keeps the old content
    // and leaves no temporary file behind.
    std::filesystem::create_directories(dir / "taken" / "inside");
    EXPECT_THROW_MSG(writeFileAtomically(dir / "taken", "x"), OutputError,
                     "cannot write " + (dir / "taken").string());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()),
              2);

    EXPECT_THROW_MSG(requireParentDirectory(dir / "missing" / "x.svg"), OutputError,
                     "cannot write " + (dir / "missing" / "x.svg").string() + ": no directory " +
                         (dir / "missing").string());
    requireParentDirectory("relative.csv");
    std::filesystem::remove_all(dir);
}
