#include "sweep/report.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

using namespace Core::Kvrn;

namespace {

SampleSummary summary(std::uint64_t count, double mean, double variance, double lower, double upper) {
    return SampleSummary{count, mean, variance, std::sqrt(variance), lower, upper, 0.95};
}

SampleSummary oneSeed(double mean) {
    const double inf = std::numeric_limits<double>::infinity();
    return SampleSummary{1, mean, std::nan(""), std::nan(""), -inf, inf, 0.95};
}

SweepCurve curve(const std::string& metric, const std::string& axis, std::vector<double> x,
                 std::vector<SampleSummary> points, CurveShape shape = CurveShape::Flat) {
    SweepCurve c;
    c.branch = "baseline";
    c.metric = metric;
    c.axis = axis;
    c.x = std::move(x);
    c.points = std::move(points);
    c.shape = shape;
    return c;
}

SweepResult baseResult() {
    SweepResult r;
    r.name = "Probe";
    r.hypothesis = "H2";
    r.prediction = "p text";
    r.null = "n text";
    r.falsification = "f text";
    r.mapMetrics = {"rate", "separation"};
    r.seedsPerPoint = 2;
    r.executedRuns = 3;
    r.reusedRuns = 1;
    return r;
}

const char* const kTail =
    "\nPre-registered prediction:    p text\n"
    "Pre-registered null:          n text\n"
    "Pre-registered falsification: f text\n"
    "\nThis report states the shape of the dependence. Picking one parameter value off it as a setting to "
    "adopt would turn measurement into tuning.\n";

}  // namespace

TEST(SweepReport, RendersCurvesWithIntervalsShapeAndRegime) {
    SweepResult r = baseResult();
    r.axes = {"stochasticity"};
    const SweepCurve flat =
        curve("rate", "stochasticity", {0.25, 4}, {summary(2, 1.5, 0.5, 0.1, 2.9), oneSeed(7)});
    SweepCurve bent = curve("separation", "stochasticity", {0.5, 1, 2}, {}, CurveShape::InteriorMaximum);
    for (double mean : {1.0, 3.0, 2.0}) bent.points.push_back(summary(2, mean, 0, mean, mean));
    bent.regime = RegimeTransition{true, 1.0, 0.75, 2.5, 1};
    r.curves = {flat, bent};
    // Cells are present, but a result with curves shows no map.
    r.cells = {
        SweepCell{SweepPoint{{{"stochasticity", 0.25}}}, "baseline", {{"rate", summary(2, 1, 1, 0, 2)}}}};

    const std::string expected =
        std::string(
            "Sweep:                Probe\n"
            "Hypothesis:           H2\n"
            "Axes:                 stochasticity\n"
            "Seeds per point:      2\n"
            "Runs:                 3 executed, 1 reused from the registry\n"
            "\nCurve baseline / rate over stochasticity (mean, 95 % CI over seeds):\n"
            "  stochasticity=0.25  mean=1.5  var=0.5  CI=[0.1, 2.9]  n=2\n"
            "  stochasticity=4  mean=7  var=n/a  CI=undefined (one seed)  n=1\n"
            "  shape: flat\n"
            "  no regime transition candidate\n"
            "\nCurve baseline / separation over stochasticity (mean, 95 % CI over seeds):\n"
            "  stochasticity=0.5  mean=1  var=0  CI=[1, 1]  n=2\n"
            "  stochasticity=1  mean=3  var=0  CI=[3, 3]  n=2\n"
            "  stochasticity=2  mean=2  var=0  CI=[2, 2]  n=2\n"
            "  shape: interior maximum\n"
            "  regime transition candidate at stochasticity=1 (curvature 0.75, variance ratio 2.5); "
            "verify with a denser sweep\n") +
        kTail;
    EXPECT_EQ(renderSweepReport(r), expected);
}

TEST(SweepReport, RendersMapsForSeveralAxes) {
    SweepResult r = baseResult();
    r.axes = {"stochasticity", "modulation"};
    const SweepPoint a{{{"stochasticity", 0.25}, {"modulation", 0.3}}};
    const SweepPoint b{{{"stochasticity", 2}, {"modulation", 0.3}}};
    SweepCell complete{
        a, "baseline", {{"rate", summary(2, 1.25, 0.5, 0.5, 2)}, {"separation", oneSeed(0.125)}}};
    SweepCell partial{b, "baseline", {{"rate", oneSeed(9)}}, 1, 0, 1};
    SweepCell empty{b, "jitter", {}, 0, 0, 2};
    r.cells = {complete, partial, empty};

    const std::string expected =
        std::string(
            "Sweep:                Probe\n"
            "Hypothesis:           H2\n"
            "Axes:                 stochasticity x modulation\n"
            "Seeds per point:      2\n"
            "Runs:                 3 executed, 1 reused from the registry\n"
            "\nMap of rate (mean over 2 seeds):\n"
            "  stochasticity=0.25_modulation=0.3  baseline  mean=1.25  CI=[0.5, 2]\n"
            "  stochasticity=2_modulation=0.3  baseline  mean=9  (1 invalid runs excluded)\n"
            "\nMap of separation (mean over 2 seeds):\n"
            "  stochasticity=0.25_modulation=0.3  baseline  mean=0.125\n") +
        kTail;
    EXPECT_EQ(renderSweepReport(r), expected);
}
