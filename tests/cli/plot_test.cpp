// The plots a lab would show: one colour scale per metric, n where seeds
// differ, labels that never collide, units on every axis, paired
// differences; and every picture renders to PNG.

#include "cli/sweep_plot.hpp"
#include "cli/table_export.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "svg_render.hpp"

using namespace Core::Cli;
using namespace Core::Kvrn;

namespace {

std::filesystem::path plotDirectory() { return std::filesystem::temp_directory_path() / "vostel-plot-tests"; }

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

SampleSummary around(double mean, std::uint64_t count = 3) {
    SampleSummary s;
    s.count = count;
    s.mean = mean;
    s.variance = 0.01;
    s.lower = mean - 0.1;
    s.upper = mean + 0.1;
    s.level = 0.95;
    return s;
}

// A grid of `columns` x `rows` points over axes a and b with the branches
// given; a branch's mean at a point is offset + column + 0.3 x row.
SweepResult grid(std::size_t columns, std::size_t rows,
                 const std::vector<std::pair<std::string, double>>& branches,
                 const std::vector<std::string>& axes = {"stochasticity", "modulation"}) {
    SweepResult r;
    r.name = "Grid";
    r.hypothesis = "H1";
    r.axes = axes;
    r.mapMetrics = {"firing_rate"};
    r.seedsPerPoint = 3;
    for (std::size_t c = 0; c < columns; ++c) {
        for (std::size_t row = 0; row < rows; ++row) {
            for (const auto& [branch, offset] : branches) {
                const double value = offset + static_cast<double>(c) + 0.3 * static_cast<double>(row);
                r.cells.push_back({SweepPoint{{{axes[0], 0.25 * static_cast<double>(c + 1)},
                                               {axes[1], 0.5 * static_cast<double>(row + 1)}}},
                                   branch,
                                   {{"firing_rate", around(value)}},
                                   3,
                                   0,
                                   0});
            }
        }
    }
    return r;
}

// The fill colours of the heat-map cells of the panel whose title starts with `title`.
std::set<std::string> cellFills(const std::string& svg, const std::string& title) {
    const std::size_t start = svg.find(">" + title);
    const std::size_t end = svg.find("</g>", start);
    std::set<std::string> fills;
    const std::string panel = svg.substr(start, end - start);
    // A cell is a rectangle with a white stroke: height="H" fill="#rrggbb" stroke="#ffffff".
    const std::string marker = "\" stroke=\"#ffffff\"";
    for (std::size_t at = panel.find(marker); at != std::string::npos; at = panel.find(marker, at + 1)) {
        const std::size_t fill = panel.rfind(" fill=\"#", at);
        if (fill != std::string::npos && at - fill == 14 && panel.rfind("height=\"", fill) != std::string::npos)
            fills.insert(panel.substr(fill + 7, 7));
    }
    return fills;
}

}  // namespace

TEST(SweepPlot, HeatMapsOfOneMetricShareOneColourScaleAcrossBranches) {
    // The ablated branch lies 10 below the control everywhere: on a shared
    // scale its cells are darker; on scales of their own the two would match.
    const std::string svg = sweepPlotSvg(grid(3, 2, {{"control", 10}, {"ablated", 0}}));
    const std::set<std::string> control = cellFills(svg, "firing_rate / control");
    const std::set<std::string> ablated = cellFills(svg, "firing_rate / ablated");
    ASSERT_EQ(control.size(), 6u);
    ASSERT_EQ(ablated.size(), 6u);
    for (const std::string& fill : ablated) EXPECT_EQ(control.count(fill), 0u) << fill;
    EXPECT_EQ(occurrences(svg, "#440154"), 1u + 1u) << "the lowest cell overall, and the gradient's stop";
    // The colour bar has round ticks over the whole range of both branches.
    for (const char* tick : {">0</text>", ">5</text>", ">10</text>"})
        EXPECT_EQ(occurrences(svg, std::string("font-size=\"11\"") + tick), 2u) << tick;
    EXPECT_EQ(occurrences(svg, "one colour scale for every branch"), 2u);
    EXPECT_EQ(occurrences(svg, "(mean over 3 seeds)"), 2u) << "true here: every cell has all three seeds";
    EXPECT_EQ(occurrences(svg, ">n="), 0u);
    Testing::expectRendersToPng(svg, plotDirectory() / "shared-scale");
}

TEST(SweepPlot, UnitsOnEveryAxisWithTimesInMilliseconds) {
    SweepResult r = grid(3, 2, {{"baseline", 0}}, {"phase_jitter", "frequency"});
    for (SweepCell& cell : r.cells) cell.point.parameters[0].value *= 4e6;  // 1, 2, 3 ms in ns
    const std::string svg = sweepPlotSvg(r);
    EXPECT_NE(svg.find(">phase_jitter [ms]</text>"), std::string::npos);
    EXPECT_NE(svg.find(">[Hz]</text>"), std::string::npos);
    EXPECT_NE(svg.find(">[spikes/s per neuron]</text>"), std::string::npos) << "the colour bar's unit";
    EXPECT_NE(svg.find("text-anchor=\"middle\">3</text>"), std::string::npos) << "3 ms, not 3000000";

    SweepResult curve = r;
    curve.axes = {"phase_jitter"};
    curve.mapMetrics = {"dwell_time"};
    std::erase_if(curve.cells, [](const SweepCell& c) { return c.point.parameters[1].value != 0.5; });
    for (SweepCell& cell : curve.cells) {
        cell.point.parameters.pop_back();
        cell.summaries = {{"dwell_time", around(2e7)}};
    }
    SweepCurve line;
    line.branch = "baseline";
    line.metric = "dwell_time";
    line.axis = "phase_jitter";
    for (const SweepCell& cell : curve.cells) {
        line.x.push_back(cell.point.parameters[0].value);
        line.points.push_back(cell.summaries.at("dwell_time"));
    }
    curve.curves = {line};
    const std::string curveSvg = sweepPlotSvg(curve);
    EXPECT_NE(curveSvg.find(">[ms]</text>"), std::string::npos) << "dwell time in ms on the y axis";
    EXPECT_NE(curveSvg.find(">phase_jitter [ms]</text>"), std::string::npos);
    EXPECT_NE(curveSvg.find(">20</text>"), std::string::npos) << "2e7 ns drawn as 20 ms";
    Testing::expectRendersToPng(svg, plotDirectory() / "units-map");
    Testing::expectRendersToPng(curveSvg, plotDirectory() / "units-curve");
}

TEST(SweepPlot, DenseGridsThinTheirLabelsAndLeaveValuesToTheTable) {
    const std::string svg = sweepPlotSvg(grid(40, 30, {{"baseline", 100}}));
    // 40 columns of 11 px: labels like "10.25" need about 40 px, so about every fourth is drawn.
    std::size_t columnLabels = 0;
    for (std::size_t c = 1; c <= 40; ++c) {
        std::string value = std::to_string(0.25 * static_cast<double>(c));
        value.erase(value.find_last_not_of('0') + 1);
        if (value.back() == '.') value.pop_back();
        columnLabels += occurrences(svg, "text-anchor=\"middle\">" + value + "</text>");
    }
    EXPECT_GE(columnLabels, 5u);
    EXPECT_LE(columnLabels, 11u);
    EXPECT_EQ(occurrences(svg, "text-anchor=\"end\">"), 15u) << "every second of 30 rows of 8 px";
    EXPECT_EQ(occurrences(svg, "font-size=\"11\" fill=\"#000000\""), 0u) << "no value squeezed into a cell";
    EXPECT_NE(svg.find("cells too small for values:"), std::string::npos);
    Testing::expectRendersToPng(svg, plotDirectory() / "dense");
}

TEST(SweepPlot, RegimeLabelsOfSeveralBranchesStayApart) {
    SweepResult r;
    r.name = "Regimes";
    r.axes = {"stochasticity"};
    r.mapMetrics = {"firing_rate"};
    r.seedsPerPoint = 3;
    for (const char* branch : {"control", "jittered", "ablated"}) {
        SweepCurve curve;
        curve.branch = branch;
        curve.metric = "firing_rate";
        curve.axis = "stochasticity";
        for (double x : {1.0, 2.0, 3.0, 4.0}) {
            curve.x.push_back(x);
            curve.points.push_back(around(x * x));
            r.cells.push_back(
                {SweepPoint{{{"stochasticity", x}}}, branch, {{"firing_rate", around(x * x)}}, 3, 0, 0});
        }
        curve.regime.candidate = true;
        curve.regime.location = 3;  // all three at the same place
        r.curves.push_back(curve);
    }
    const std::string svg = sweepPlotSvg(r);
    // The y of every right-aligned regime label: y="Y" text-anchor="end" font-size="11" fill="#..">regime
    std::set<std::string> rows;
    const std::string anchor = "\" text-anchor=\"end\" font-size=\"11\" fill=\"#";
    for (std::size_t at = svg.find(anchor); at != std::string::npos; at = svg.find(anchor, at + 1)) {
        const std::size_t close = svg.find("\">", at + anchor.size());
        if (close == std::string::npos || svg.compare(close + 2, 6, "regime") != 0) continue;
        const std::size_t y = svg.rfind("y=\"", at);
        rows.insert(svg.substr(y + 3, at - y - 3));
    }
    EXPECT_EQ(rows.size(), 3u) << "one row per candidate label";
    Testing::expectRendersToPng(svg, plotDirectory() / "regimes");
}

TEST(SweepPlot, PairedContrastsGiveDifferenceCurvesAndDivergingMaps) {
    // One axis: control and a branch 2 below it on every seed.
    SweepResult curve;
    curve.name = "Contrast";
    curve.axes = {"g"};
    curve.mapMetrics = {"rate"};
    curve.seedsPerPoint = 2;
    curve.controlBranch = "control";
    for (std::size_t p = 0; p < 3; ++p) {
        const double g = static_cast<double>(p + 1);
        for (const char* branch : {"control", "ablated"}) {
            curve.cells.push_back({SweepPoint{{{"g", g}}}, branch, {{"rate", around(g, 2)}}, 2, 0, 0});
            for (std::uint64_t seed = 0; seed < 2; ++seed)
                curve.seedRuns.push_back(
                    {p,
                     seed,
                     branch,
                     {{"rate", g + static_cast<double>(seed) - (branch[0] == 'a' ? 2 : 0) -
                                   0.1 * static_cast<double>(seed * p)}}});
        }
    }
    const std::string curveSvg = sweepPlotSvg(curve);
    EXPECT_EQ(occurrences(curveSvg, ">difference in rate from control over g</text>"), 1u);
    EXPECT_NE(curveSvg.find(">ablated \u2212 control</text>"), std::string::npos);
    EXPECT_EQ(occurrences(curveSvg, "stroke-dasharray=\"2 3\""), 1u) << "the zero line";
    Testing::expectRendersToPng(curveSvg, plotDirectory() / "difference-curve");

    // Two axes: one diverging map per metric and intervention branch.
    SweepResult map = grid(3, 2, {{"control", 10}, {"jittered", 9}});
    map.controlBranch = "control";
    for (std::size_t p = 0; p < 6; ++p)
        for (const char* branch : {"control", "jittered"})
            for (std::uint64_t seed = 0; seed < 3; ++seed)
                map.seedRuns.push_back(
                    {p,
                     seed,
                     branch,
                     {{"firing_rate", static_cast<double>(p + seed) -
                                          (branch[0] == 'j' ? 0.1 * static_cast<double>(p) : 0)}}});
    const std::string mapSvg = sweepPlotSvg(map);
    EXPECT_EQ(occurrences(mapSvg, ">firing_rate: jittered \u2212 control (mean paired difference)</text>"),
              1u);
    EXPECT_EQ(occurrences(mapSvg, "fill=\"url(#diverging)\""), 1u);
    EXPECT_EQ(occurrences(mapSvg, "fill=\"url(#ramp)\""), 2u);
    EXPECT_NE(mapSvg.find("font-size=\"11\">0</text>"), std::string::npos)
        << "zero marked on the difference bar";
    Testing::expectRendersToPng(mapSvg, plotDirectory() / "difference-map");
}

TEST(ContrastTable, OneRowPerPointBranchAndMetricBesideTheSweepTable) {
    PairedContrast full;
    full.point = SweepPoint{{{"g", 0.1}}};
    full.branch = "odd, \"named\"";
    full.control = "control";
    full.metric = "rate";
    full.difference = around(-2);
    PairedContrast none = full;
    none.metric = "level";
    none.difference = SampleSummary{};
    const std::vector<PairedContrast> contrasts = {full, none};
    EXPECT_EQ(contrastTableCsv({"g"}, contrasts),
              "g,branch,control,metric,n,mean_difference,variance,lower,upper\n"
              "0.10000000000000001,\"odd, "
              "\"\"named\"\"\",control,rate,3,-2,0.01,-2.1000000000000001,-1.8999999999999999\n"
              "0.10000000000000001,\"odd, \"\"named\"\"\",control,level,0,NA,NA,NA,NA\n");
    EXPECT_EQ(
        contrastTableJson(contrasts),
        "[\n  {\"g\": 0.10000000000000001, \"branch\": \"odd, \\\"named\\\"\", \"control\": \"control\", "
        "\"metric\": \"rate\", \"n\": 3, \"mean_difference\": -2, \"variance\": 0.01, \"lower\": "
        "-2.1000000000000001, \"upper\": -1.8999999999999999},\n"
        "  {\"g\": 0.10000000000000001, \"branch\": \"odd, \\\"named\\\"\", \"control\": \"control\", "
        "\"metric\": \"level\", \"n\": 0, \"mean_difference\": null, \"variance\": null, \"lower\": null, "
        "\"upper\": null}\n]\n");
    EXPECT_EQ(contrastTableCsv({"g"}, {}),
              "g,branch,control,metric,n,mean_difference,variance,lower,upper\n");
    EXPECT_EQ(contrastTablePath("out/s1.csv"), std::filesystem::path("out/s1.contrast.csv"));
    EXPECT_EQ(contrastTablePath("s1.json"), std::filesystem::path("s1.contrast.json"));
}
