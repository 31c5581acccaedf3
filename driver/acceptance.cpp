// The acceptance program of the sweep feature: runs its checks in a fixed
// order, each against known truth. All pass: one summary line on standard
// output, exit 0. First failure: its message on standard error, exit 1.

#include "common/convert.hpp"
#include "engine/model_time.hpp"
#include "engine/testing/oscillatory_populations.hpp"
#include "experiment/experiment_runner.hpp"
#include "experiment/metrics.hpp"
#include "experiment/run_registry.hpp"
#include "experiment/experiment_spec.hpp"
#include "language/loader.hpp"
#include "sweep/declaration.hpp"
#include "sweep/report.hpp"
#include "sweep/shape.hpp"
#include "sweep/statistics.hpp"
#include "sweep/sweep_runner.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using namespace Core::Kvrn;

// The one fixed line printed when every check passed.
const char* const kSummaryLine =
    "sweep expansion=DETERMINISTIC t=TABLE-VERIFIED stats=MEAN+VAR+CI shape=KNOWN-TRUTH regime=KNOWN-TRUTH "
    "table=COMPLETE resume=REUSES cross-version=RECOMPUTES map=TWO-AXIS report=SHAPE-NOT-BEST "
    "s1=EXECUTABLE\n";

// The check protocol: a failed expectation ends the run with its message.
void require(bool condition, const std::string& message) {
    if (!condition) throw std::runtime_error("sweep: " + message);
}

// Full path of a declaration file in Vostel/experiments/, searched for in the
// working directory and its four nearest ancestors. A root directory is its
// own parent, so the count of attempts is what ends the walk there.
[[maybe_unused]] std::string locateExperimentFile(const std::string& name) {
    constexpr int kMaxAttempts = 5;
    std::filesystem::path directory = std::filesystem::current_path();
    int failed = 0;
    for (;;) {
        const std::filesystem::path candidate = directory / "Vostel" / "experiments" / name;
        if (std::filesystem::exists(candidate)) return candidate.string();
        if (directory.parent_path().empty()) break;
        directory = directory.parent_path();
        if (++failed == kMaxAttempts) break;
    }
    require(false, "cannot find Vostel/experiments/" + name);
    return {};
}

// A fresh workspace below the system's temporary directory, named after this
// process so that programs running at once never share (or delete) each
// other's. A leftover of an aborted run with the same process number is
// removed; the directory itself is left to whoever writes into it.
std::filesystem::path tempWorkspace(const std::string& tag) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("vostel-f20-" + tag + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(path);
    return path;
}

// True when `action` throws InvalidSweep; any other exception passes on.
template <class Action>
bool refuses(Action&& action) {
    try {
        action();
    } catch (const InvalidSweep&) {
        return true;
    }
    return false;
}

// `value` as the C conversion "%f" writes it.
std::string fixed6(double value) {
    char buffer[512];
    const int length = std::snprintf(buffer, sizeof buffer, "%f", value);
    return std::string(buffer, static_cast<std::size_t>(length));
}

bool near(double actual, double expected, double tolerance) {
    return std::fabs(actual - expected) < tolerance;
}

SweepPoint onePoint(const std::string& name, double value) { return SweepPoint{{{name, value}}}; }

// Check 1: the cartesian expansion is complete, ordered and stable.
void checkExpansion() {
    SweepDeclaration s;
    s.axes = {{"stochasticity", {0.1, 0.5, 1.0}}, {"modulation", {1.0, 2.0}}};
    s.seeds = 4;

    require(pointCount(s) == 6, "the cartesian product has the wrong size");
    const std::vector<SweepPoint> p = expand(s);
    require(p.size() == 6, "expand() lost points");
    require(p[0].value("stochasticity") == 0.1 && p[0].value("modulation") == 1.0 &&
                p[1].value("modulation") == 2.0 && p[2].value("stochasticity") == 0.5,
            "the last axis does not vary fastest");
    require(p[0].label() == "stochasticity=0.1_modulation=1",
            "the point label is not stable: " + p[0].label());
    require(expand(s).at(3).hash() == p[3].hash(), "expanding twice gave different point hashes");
    require(onePoint("g", 1.0000001).hash() != onePoint("g", 1.0000002).hash(),
            "two nearby parameter values collapsed into one point");

    const std::vector<std::vector<double>> tooFew{{}, {1.0}, {1.0, 1.0}};
    for (const std::vector<double>& values : tooFew) {
        const SweepDeclaration bad{{{"g", values}}, 2};
        require(refuses([&] { validateSweep(bad); }), "an axis without two distinct values was accepted");
    }
    const SweepDeclaration noSeeds{{{"g", {0.0, 1.0}}}, 0};
    require(refuses([&] { validateSweep(noSeeds); }), "a sweep with zero seeds was accepted");
}

// Check 2: Student's t quantiles match the printed two-sided 95 % table.
void checkStudentT() {
    struct Row {
        int nu;
        double expected;
    };
    const Row table[] = {{1, 12.7062},  {2, 4.30265},   {5, 2.57058},   {10, 2.22814},
                         {30, 2.04227}, {100, 1.98397}, {1000, 1.96234}};
    for (const Row& row : table) {
        const double t = studentTQuantile(0.975, static_cast<double>(row.nu));
        require(near(t, row.expected, 0.0001), "t(0.975, " + std::to_string(row.nu) + ") = " + fixed6(t) +
                                                   ", expected " + fixed6(row.expected));
    }

    const double large = studentTQuantile(0.975, 10000000.0);
    require(large > 1.9599 && large < 1.9601, "t does not converge to the normal quantile");
    require(std::fabs(studentTQuantile(0.5, 7.0)) < 1e-6, "the median of Student's t is not zero");
    require(std::fabs(studentTQuantile(0.025, 10.0) + studentTQuantile(0.975, 10.0)) < 1e-9,
            "Student's t is not symmetric");
    require(studentTQuantile(0.975, 4.0) > 2.744, "the small-sample correction is missing");
}

// Check 3: mean, unbiased variance, standard error and the t interval.
void checkStatistics() {
    constexpr double kTolerance = 1e-12;
    const std::vector<double> sample{2, 4, 4, 4, 5, 5, 7, 9};
    const SampleSummary s = summarize(sample, 0.95);

    require(s.count == 8 && near(s.mean, 5.0, kTolerance), "the mean is wrong");
    require(near(s.variance, 4.571428571428571, kTolerance), "the sample variance is not the unbiased one");
    require(near(s.standardError, std::sqrt(0.5714285714285714), kTolerance), "the standard error is wrong");
    const double h = studentTQuantile(0.975, 7.0) * s.standardError;
    require(near(s.lower, 5.0 - h, kTolerance) && near(s.upper, 5.0 + h, kTolerance),
            "the confidence interval does not use Student's t");
    require(s.lower < s.mean && s.mean < s.upper, "the interval does not contain the mean");

    const std::vector<double> single{3};
    const SampleSummary one = summarize(single, 0.95);
    require(std::isnan(one.variance) && std::isinf(one.lower) && std::isinf(one.upper),
            "one seed produced a finite confidence interval");
    require(refuses([] { summarize({}, 0.95); }), "an empty sample was summarized");
}

// Check 4: shapes of curves whose shape is known.
void checkShape() {
    struct Row {
        std::vector<double> curve;
        CurveShape expected;
        CurveShape alsoAccepted;
        const char* message;
    };
    const std::vector<double> axis{0, 1, 2, 3, 4};
    const Row rows[] = {
        {{1, 2, 3, 4, 5},
         CurveShape::MonotoneIncreasing,
         CurveShape::MonotoneIncreasing,
         "a rising line was not classified as increasing"},
        {{5, 4, 3, 2, 1},
         CurveShape::MonotoneDecreasing,
         CurveShape::MonotoneDecreasing,
         "a falling line was not classified as decreasing"},
        {{3, 3, 3, 3, 3}, CurveShape::Flat, CurveShape::Flat, "a constant curve was not classified as flat"},
        {{3, 3.001, 2.999, 3, 3.001},
         CurveShape::Flat,
         CurveShape::Flat,
         "noise below the tolerance was read as structure"},
        {{1, 3, 6, 3, 1},
         CurveShape::InteriorMaximum,
         CurveShape::InteriorMaximum,
         "an interior maximum was not detected"},
        {{6, 3, 1, 3, 6},
         CurveShape::InteriorMinimum,
         CurveShape::InteriorMinimum,
         "an interior minimum was not detected"},
        {{1, 6, 1, 6, 1},
         CurveShape::NonMonotone,
         CurveShape::InteriorMaximum,
         "an oscillating curve was classified as monotone"},
        {{1, 2, 3, 4, 9},
         CurveShape::MonotoneIncreasing,
         CurveShape::MonotoneIncreasing,
         "a boundary maximum was reported as an interior one"},
    };
    for (const Row& row : rows) {
        const CurveShape shape = classifyShape(axis, row.curve, 0.05);
        require(shape == row.expected || shape == row.alsoAccepted, row.message);
    }

    const std::vector<double> twoAxis{0, 1};
    const std::vector<double> twoCurve{1, 2};
    require(refuses([&] { classifyShape(twoAxis, twoCurve, 0.05); }), "a two-point curve was classified");
    const std::vector<double> unsortedAxis{0, 2, 1};
    const std::vector<double> threeCurve{1, 2, 3};
    require(refuses([&] { classifyShape(unsortedAxis, threeCurve, 0.05); }),
            "an unsorted parameter axis was accepted");
}

// Check 5: a regime transition is found where one was built in.
void checkRegime() {
    constexpr double kThreshold = 0.15;
    std::vector<double> x, step, line, variance;
    for (int i = 0; i <= 10; ++i) {
        const double xi = i * 0.1;  // the product, so x[5] is exactly 0.5
        const double offset = xi - 0.5;
        x.push_back(xi);
        step.push_back(xi < 0.5 ? 0.0 : 1.0);
        line.push_back(xi);
        variance.push_back(0.5 * std::exp(-40.0 * (offset * offset)) + 0.01);
    }

    const RegimeTransition r = detectRegimeTransition(x, step, variance, kThreshold);
    require(r.candidate, "a sharp step was not detected as a regime candidate");
    require(std::fabs(r.location - 0.5) < 0.11,
            "the regime candidate is at " + fixed6(r.location) + ", expected 0.5");
    require(r.varianceRatio > 5, "critical slowing down was not picked up from the seed variance");

    const RegimeTransition q = detectRegimeTransition(x, line, {}, kThreshold);
    require(!q.candidate, "a straight line was reported as a regime transition");
    require(q.varianceRatio == 0.0, "a variance ratio was invented without a variance series");

    const std::vector<double> shortAxis{0, 1, 2};
    require(refuses([&] { detectRegimeTransition(shortAxis, shortAxis, {}, kThreshold); }),
            "a three-point curve was scanned for a transition");
    const std::vector<double> shortSeries{1, 2};
    require(refuses([&] { detectRegimeTransition(x, step, shortSeries, kThreshold); }),
            "a mismatched variance series was accepted");
}

// The engine version every sweep-run check runs under, and the one check 8
// switches to for its cross-version pass.
const char* const kEngineVersion = "kvrn-2.0.0-beta.2";
const char* const kNextEngineVersion = "kvrn-2.1.0";

// The probe experiment of the sweep-run checks: one baseline branch swept
// over model parameters, forked 25 ms into a 150 ms stimulus.
ExperimentSpec sweepProbeSpec() {
    ExperimentSpec spec;
    spec.name = "SweepProbe";
    spec.hypothesis = "H2";
    spec.theory_version = "KVRN 1.0.0";
    spec.seed = 500;
    spec.stimulus = {"A_blank", {{"A", 0, 75'000'000}, {"blank", 75'000'000, 150'000'000}}};
    spec.snapshot_at_ns = fromMilliseconds(25);
    spec.branches = {{"baseline", {}}};
    spec.swept = true;
    spec.metrics = {"state_separation", "firing_rate"};
    spec.prediction = "sigma changes the macrostate distance";
    spec.null = "no dependence on sigma";
    spec.falsification = "no effect across the declared range";
    return spec;
}

// A fresh oscillatory-populations model (modulation depth 1.5) per call,
// with the point's parameters set by name.
ModelFactory factory() {
    return [](const SweepPoint& point) -> std::unique_ptr<ExperimentModel> {
        auto model = std::make_unique<Testing::OscillatoryPopulations>(1.5);
        for (const SweepParameter& parameter : point.parameters) {
            if (parameter.name == "stochasticity") {
                model->setStochasticity(parameter.value);
            } else if (parameter.name == "modulation") {
                model->setModulation(parameter.value);
            } else if (parameter.name == "frequency") {
                model->setFrequency(parameter.value);
            } else if (parameter.name == "phase_jitter") {
                model->setPhaseJitter(parameter.value);
            } else {
                throw InvalidExperiment("this model has no parameter " + parameter.name);
            }
        }
        return model;
    };
}

SweepRunner sweepRunner(const std::string& engineVersion, const RunRegistry* registry = nullptr) {
    return SweepRunner(ExperimentRunner(engineVersion, MetricRegistry()), registry);
}

SweepResult runSweep(const SweepRunner& runner, const ExperimentSpec& spec, const SweepDeclaration& sweep) {
    return runner.run(spec, sweep, factory(), DecisionRule{});
}

SweepDeclaration stochasticitySweep(std::vector<double> values, std::uint64_t seeds) {
    return SweepDeclaration{{{"stochasticity", std::move(values)}}, seeds};
}

double meanOf(const SweepCell& cell, const std::string& metric) {
    return Core::lookup(cell.summaries, metric).mean;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Check 7: every point runs on every seed and every cell is summarised.
void checkTable() {
    const ExperimentSpec spec = sweepProbeSpec();
    const SweepDeclaration sweep = stochasticitySweep({0.25, 1.0, 4.0}, 4);
    const SweepRunner runner = sweepRunner(kEngineVersion);
    const SweepResult t = runSweep(runner, spec, sweep);

    require(t.cells.size() == 3, "the table has the wrong number of cells");
    require(t.executedRuns == 12 && t.reusedRuns == 0, "the sweep did not execute every point on every seed");
    for (const SweepCell& cell : t.cells) {
        for (const std::string& metric : spec.metrics) {
            const auto found = cell.summaries.find(metric);
            require(found != cell.summaries.end(), "cell " + cell.point.label() + " is missing " + metric);
            const SampleSummary& s = found->second;
            require(s.count == 4, "a cell does not aggregate all seeds");
            require(std::isfinite(s.variance) && s.variance >= 0.0, "the variance is not finite");
            require(s.lower <= s.mean && s.mean <= s.upper, "the interval does not contain its mean");
            require(s.level == 0.95, "the confidence level was lost");
        }
    }

    const SweepResult u = runSweep(runner, spec, sweep);
    for (std::size_t i = 0; i < t.cells.size(); ++i)
        for (const std::string& metric : spec.metrics)
            require(meanOf(t.cells[i], metric) == meanOf(u.cells.at(i), metric),
                    "the same declaration gave two different tables");

    double spread = 0.0;
    for (const SweepCell& cell : t.cells) spread += Core::lookup(cell.summaries, "state_separation").variance;
    require(spread > 0.0, "every seed gave the same number; nothing was replicated");
}

// Check 8: a second pass reuses the runs the registry holds and computes only
// the missing seeds; runs of another engine version are never reused.
void checkResume() {
    const std::filesystem::path workspace = tempWorkspace("resume");
    const RunRegistry registry(workspace);
    ExperimentSpec spec = sweepProbeSpec();
    spec.name = "Resume";
    const SweepDeclaration twoSeeds = stochasticitySweep({0.25, 1.0}, 2);
    const SweepDeclaration fourSeeds = stochasticitySweep({0.25, 1.0}, 4);
    const SweepRunner first = sweepRunner(kEngineVersion, &registry);

    const SweepResult a = runSweep(first, spec, twoSeeds);
    require(a.executedRuns == 4 && a.reusedRuns == 0, "the first pass did not run everything");

    const SweepResult b = runSweep(first, spec, fourSeeds);
    require(b.reusedRuns == 4, "the resumed sweep did not reuse the finished runs (reused " +
                                   std::to_string(b.reusedRuns) + ")");
    require(b.executedRuns == 4, "the resumed sweep recomputed more than the missing seeds");
    for (const SweepCell& cell : b.cells)
        require(Core::lookup(cell.summaries, "state_separation").count == 4,
                "the resumed cell does not aggregate reused and fresh runs");

    const SweepResult c = runSweep(sweepRunner(kEngineVersion), spec, fourSeeds);
    for (std::size_t i = 0; i < b.cells.size(); ++i)
        for (const std::string& metric : spec.metrics)
            require(std::fabs(meanOf(b.cells[i], metric) - meanOf(c.cells.at(i), metric)) < 1e-9,
                    "resuming from the registry changed the result");

    const SweepResult e = runSweep(sweepRunner(kNextEngineVersion, &registry), spec, twoSeeds);
    require(e.reusedRuns == 0, "runs from another engine version were reused");
    require(e.executedRuns == 4, "the foreign-engine sweep did not recompute");

    std::filesystem::remove_all(workspace);
}

// Check 9: a two-axis sweep stays a map.
void checkMap() {
    ExperimentSpec spec = sweepProbeSpec();
    spec.name = "Map";
    const SweepDeclaration sweep{{{"stochasticity", {0.25, 2.0}}, {"modulation", {0.3, 2.5}}}, 3};
    const SweepResult map = runSweep(sweepRunner(kEngineVersion), spec, sweep);

    const auto m = [&map](double stochasticity, double modulation) {
        const std::uint64_t hash =
            SweepPoint{{{"stochasticity", stochasticity}, {"modulation", modulation}}}.hash();
        const SweepCell* found = nullptr;
        for (const SweepCell& cell : map.cells) {
            if (cell.point.hash() == hash && cell.branch == "baseline") {
                found = &cell;
                break;
            }
        }
        require(found != nullptr, "the map has a hole");
        return meanOf(*found, "state_separation");
    };

    require(map.cells.size() == 4, "the map is missing cells");
    require(
        map.curves.empty(),
        "a two-dimensional sweep was reduced to a curve, which would hide exactly what a regime map is for");
    require(map.axes.size() == 2, "the map lost an axis");
    require(std::fabs(m(0.25, 0.3) - m(2.0, 0.3)) > 1e-9,
            "the metric does not vary along the stochasticity axis");
    require(std::fabs(m(0.25, 0.3) - m(0.25, 2.5)) > 1e-9,
            "the metric does not vary along the modulation axis");
    const std::string report = renderSweepReport(map);
    require(contains(report, "Map of") && contains(report, "stochasticity x modulation"),
            "the report of a two-axis sweep does not present a map");
}

// Check 10: the report states the curve's shape and never names a point to pick.
void checkReport() {
    ExperimentSpec spec = sweepProbeSpec();
    spec.name = "Shape";
    const SweepResult result =
        runSweep(sweepRunner(kEngineVersion), spec, stochasticitySweep({0.25, 1.0, 4.0}, 3));
    const std::string report = renderSweepReport(result);

    for (const char* word : {"best", "optimal", "optimum", "recommended", "winner", "argmax"})
        require(!contains(report, word), std::string("the report suggests a value to pick: ") + word);
    for (const char* point : {"stochasticity=0.25", "stochasticity=1", "stochasticity=4"})
        require(contains(report, point), std::string("the report hides the point ") + point);
    require(contains(report, "shape:"), "the shape is not reported");
    require(contains(report, "Seeds per point:      3"),
            "the report hides how many seeds stand behind each point");
    require(contains(report, "Pre-registered prediction:"), "the sweep report drops the pre-registration");
    require(contains(report, "measurement into tuning"),
            "the report does not warn against reading a setting off it");
}

// Check 6: the sweep runner refuses a specification that is not declared as a
// sweep and a sweep without a model factory; an ordinary experiment file
// carries no sweep.
void checkGuards() {
    const SweepDeclaration sweep = stochasticitySweep({0.25, 1.0}, 2);

    ExperimentSpec single = sweepProbeSpec();
    single.swept = false;
    bool refused = false;
    try {
        runSweep(sweepRunner(kEngineVersion), single, sweep);
    } catch (const std::exception&) {
        refused = true;
    }
    require(refused, "a single-branch spec ran as a sweep without being declared as one");

    require(refuses([&] {
                sweepRunner(kEngineVersion).run(sweepProbeSpec(), sweep, ModelFactory{}, DecisionRule{});
            }),
            "a sweep ran without a model factory");

    const Core::Vostel::LoadedExperiment o1 =
        Core::Vostel::loadExperiment(locateExperimentFile("o1-phase-scramble.vostel"), "");
    require(!o1.sweep, "an experiment without a sweep reported one");
}

// Check 11: the sweep declared in the S1 file reaches the runner, the curves
// and the report intact.
void checkS1Declaration() {
    const Core::Vostel::LoadedExperiment l =
        Core::Vostel::loadExperiment(locateExperimentFile("s1-stochasticity-sweep.vostel"), "");
    require(l.sweep.has_value(), "the declaration carries no sweep");
    const SweepDeclaration& sweep = *l.sweep;
    require(sweep.axes.size() == 1 && sweep.axes[0].name == "stochasticity" &&
                sweep.axes[0].values.size() == 6 && sweep.seeds == 6,
            "the sweep declaration was not lowered faithfully");
    require(l.spec.branches.size() == 1 && l.spec.swept,
            "a swept experiment was not recognised as comparing across a parameter axis");

    const SweepResult s = runSweep(sweepRunner(kEngineVersion), l.spec, sweep);
    require(s.cells.size() == 6, "the S1 sweep is missing points");
    require(s.curves.size() == l.spec.metrics.size(),
            "a one-dimensional sweep did not produce one curve per metric");
    const auto primary = std::find_if(s.curves.begin(), s.curves.end(), [&](const SweepCurve& curve) {
        return curve.metric == l.spec.metrics.front();
    });
    require(primary != s.curves.end(), "the primary metric has no curve");
    require(primary->x.size() == 6 && primary->points.size() == 6,
            "the curve does not cover the declared axis");
    for (const SampleSummary& point : primary->points)
        require(point.count == 6 && std::isfinite(point.variance) && point.upper > point.lower,
                "a curve point has no usable confidence interval");
    const int shape = static_cast<int>(primary->shape);
    require(shape >= static_cast<int>(CurveShape::Flat) && shape <= static_cast<int>(CurveShape::NonMonotone),
            "the curve could not be classified at all");

    const double first = primary->points.front().mean;
    const double last = primary->points.back().mean;
    double top = first;
    for (const SampleSummary& point : primary->points) top = std::max(top, point.mean);
    require(std::fabs(last - first) > 1e-9 || top > first,
            "sigma had no effect at all, so the curve is not testable");

    const std::string report = renderSweepReport(s);
    require(contains(report, "shape:") && contains(report, "stochasticity=") && contains(report, "CI=["),
            "the report does not show the curve with its intervals");
}

}  // namespace

int main() {
    try {
        // The checks run in this fixed order; the first failure ends the run.
        checkExpansion();      // 1  expansion=DETERMINISTIC
        checkStudentT();       // 2  t=TABLE-VERIFIED
        checkStatistics();     // 3  stats=MEAN+VAR+CI
        checkShape();          // 4  shape=KNOWN-TRUTH
        checkRegime();         // 5  regime=KNOWN-TRUTH
        checkGuards();         // 6  (no token of its own)
        checkTable();          // 7  table=COMPLETE
        checkResume();         // 8  resume=REUSES cross-version=RECOMPUTES
        checkMap();            // 9  map=TWO-AXIS
        checkReport();         // 10 report=SHAPE-NOT-BEST
        checkS1Declaration();  // 11 s1=EXECUTABLE
        std::cout << kSummaryLine;
        return 0;
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
}
