#include "cli/sweep_plot.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "common/format.hpp"
#include "sweep/contrast.hpp"
#include "sweep/shape.hpp"

namespace Core::Cli {

namespace {

// Page and panel geometry [px].
constexpr double kWidth = 820;
constexpr double kHeaderHeight = 64;
constexpr double kCurvePanelHeight = 320;
constexpr double kMapPanelHeight = 360;
constexpr double kPlotLeft = 80;
constexpr double kPlotWidth = 440;
constexpr double kPlotTop = 44;  // below the panel's top
constexpr double kCurvePlotHeight = 220;
constexpr double kMapPlotHeight = 240;
constexpr double kLegendLeft = 545;

// Branch colours, in branch order (repeating after six).
const char* const kBranchColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b"};

// A perceptually even dark-blue to yellow ramp for the heat maps, low to high.
struct Rgb {
    double r, g, b;
};
const Rgb kRamp[] = {{68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}};
constexpr std::size_t kRampStops = std::size(kRamp);

std::string px(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string textAt(double x, double y, const std::string& text, const std::string& attributes = "") {
    return "<text x=\"" + px(x) + "\" y=\"" + px(y) + "\"" + (attributes.empty() ? "" : " " + attributes) +
           ">" + escape(text) + "</text>\n";
}

std::string line(double x1, double y1, double x2, double y2, const std::string& attributes) {
    return "<line x1=\"" + px(x1) + "\" y1=\"" + px(y1) + "\" x2=\"" + px(x2) + "\" y2=\"" + px(y2) + "\" " +
           attributes + "/>\n";
}

// Maps data values onto [from, from + length] pixels, linearly or by logarithm.
class Scale {
  public:
    Scale(double low, double high, double from, double length, bool logarithmic)
        : logarithmic_(logarithmic), from_(from), length_(length) {
        low_ = transform(low);
        high_ = transform(high);
    }
    double operator()(double value) const {
        if (high_ == low_) return from_ + length_ / 2;
        return from_ + (transform(value) - low_) / (high_ - low_) * length_;
    }

  private:
    double transform(double value) const { return logarithmic_ ? std::log(value) : value; }
    bool logarithmic_;
    double from_, length_, low_ = 0, high_ = 0;
};

// Round tick values covering [low, high], about five of them.
std::vector<double> niceTicks(double low, double high) {
    const double raw = (high - low) / 4;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double fraction = raw / magnitude;
    const double step = (fraction < 1.5 ? 1 : fraction < 3 ? 2 : fraction < 7 ? 5 : 10) * magnitude;
    std::vector<double> ticks;
    for (double t = std::ceil(low / step) * step; t <= high + step * 1e-9; t += step)
        ticks.push_back(std::fabs(t) < step * 1e-9 ? 0.0 : t);
    return ticks;
}

// The y range a set of values needs, padded so nothing sits on the frame.
std::pair<double, double> paddedRange(const std::vector<double>& values) {
    double low = *std::min_element(values.begin(), values.end());
    double high = *std::max_element(values.begin(), values.end());
    if (high - low <= std::fabs(high) * 1e-12) {
        const double half = low == 0 ? 1.0 : std::fabs(low) * 0.1;
        return {low - half, high + half};
    }
    const double pad = (high - low) * 0.08;
    return {low - pad, high + pad};
}

// The values of axis `index` in declared order, read off the cells.
std::vector<double> axisValues(const Kvrn::SweepResult& result, std::size_t index) {
    std::vector<double> values;
    for (const Kvrn::SweepCell& cell : result.cells) {
        const double v = cell.point.parameters.at(index).value;
        if (std::find(values.begin(), values.end(), v) == values.end()) values.push_back(v);
    }
    return values;
}

bool logarithmicAxis(const std::vector<double>& values) {
    if (values.empty()) return false;
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return *low > 0 && *high / *low >= 20;
}

// What a quantity is measured in, and the factor from stored values to shown
// ones: times are stored in ns and shown in ms.
struct Unit {
    std::string label;  // empty: unknown quantity, nothing shown
    double scale = 1;
};

Unit unitOf(const std::string& name) {
    if (name == "firing_rate") return {"spikes/s per neuron", 1};
    if (name == "spike_count") return {"spikes", 1};
    if (name == "dwell_time") return {"ms", 1e-6};
    if (name == "phase_jitter") return {"ms", 1e-6};
    if (name == "frequency") return {"Hz", 1};
    if (name == "transition_entropy") return {"nats", 1};
    if (name == "state_separation") return {"no unit", 1};
    if (name == "state_separability") return {"0 to 1, no unit", 1};
    if (name == "stochasticity") return {"noise gain, no unit", 1};
    if (name == "modulation") return {"oscillator weight, no unit", 1};
    return {};
}

// "name [unit]", or the name alone when the unit is unknown.
std::string withUnit(const std::string& name) {
    const Unit unit = unitOf(name);
    return unit.label.empty() ? name : name + " [" + unit.label + "]";
}

double shown(const std::string& name, double value) { return value * unitOf(name).scale; }

// A cell value at three significant digits: enough to read a heat map by,
// short enough to fit its cells; the report and the tables keep them all.
std::string threeDigits(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

// Rough width of a label at `fontSize` px in the sans-serif face.
double textWidth(const std::string& text, double fontSize) {
    return 0.6 * fontSize * static_cast<double>(text.size());
}

// Which of the labels centred at `centres` (ascending) to draw so that none
// overlaps the previous one drawn: the first always, then each one that
// clears the last drawn with a small gap.
std::vector<bool> thinned(const std::vector<double>& centres, const std::vector<std::string>& labels,
                          double fontSize) {
    std::vector<bool> keep(centres.size(), false);
    double lastRight = -1e300;
    for (std::size_t i = 0; i < centres.size(); ++i) {
        const double half = textWidth(labels[i], fontSize) / 2;
        if (centres[i] - half >= lastRight + 4) {
            keep[i] = true;
            lastRight = centres[i] + half;
        }
    }
    return keep;
}

// True when every summary of `metric` in the result stands on all the
// declared seeds, so "mean over N seeds" is exactly true.
bool everyCellHasAllSeeds(const Kvrn::SweepResult& result, const std::string& metric) {
    for (const Kvrn::SweepCell& cell : result.cells) {
        const auto found = cell.summaries.find(metric);
        if (found == cell.summaries.end() || found->second.count != result.seedsPerPoint) return false;
    }
    return true;
}

std::string meanOver(const Kvrn::SweepResult& result, const std::string& metric) {
    if (everyCellHasAllSeeds(result, metric))
        return "mean over " + std::to_string(result.seedsPerPoint) + " seeds";
    return "mean over the valid seeds of each cell, n shown";
}

// Branch names in cell order; a branch keeps its colour in every panel.
std::vector<std::string> branchOrder(const Kvrn::SweepResult& result) {
    std::vector<std::string> branches;
    for (const Kvrn::SweepCell& cell : result.cells)
        if (std::find(branches.begin(), branches.end(), cell.branch) == branches.end())
            branches.push_back(cell.branch);
    return branches;
}

std::string branchColour(const Kvrn::SweepResult& result, const std::string& branch) {
    const std::vector<std::string> branches = branchOrder(result);
    const auto at =
        static_cast<std::size_t>(std::find(branches.begin(), branches.end(), branch) - branches.begin());
    return kBranchColours[at % std::size(kBranchColours)];
}

std::string verticalLabel(double x, double centreY, const std::string& text) {
    return textAt(x, centreY, text,
                  "text-anchor=\"middle\" transform=\"rotate(-90 " + px(x) + " " + px(centreY) + ")\"");
}

// The title of a y axis: the quantity, and its unit on a second line.
std::string yTitle(double centreY, const std::string& quantity, const std::string& name) {
    const Unit unit = unitOf(name);
    if (unit.label.empty()) return verticalLabel(24, centreY, quantity);
    return verticalLabel(16, centreY, quantity) + verticalLabel(30, centreY, "[" + unit.label + "]");
}

// The frame, grid, ticks and axis titles shared by the curve and difference panels.
struct CurveFrame {
    Scale x;
    Scale y;
    double plotTop;
    double plotBottom;
};

std::string drawCurveAxes(const Kvrn::SweepResult& result, const std::vector<double>& xs, bool logarithmic,
                          const CurveFrame& frame, double yLow, double yHigh, const std::string& quantity,
                          const std::string& metric) {
    const std::string& axis = result.axes.front();
    std::string out;
    out += "<rect x=\"" + px(kPlotLeft) + "\" y=\"" + px(frame.plotTop) + "\" width=\"" + px(kPlotWidth) +
           "\" height=\"" + px(kCurvePlotHeight) + "\" fill=\"none\" stroke=\"#888\"/>\n";
    for (double t : niceTicks(yLow, yHigh)) {
        out += line(kPlotLeft, frame.y(t), kPlotLeft + kPlotWidth, frame.y(t), "stroke=\"#e4e4e4\"");
        out += textAt(kPlotLeft - 6, frame.y(t) + 4, formatShort(t), "text-anchor=\"end\"");
    }
    std::vector<double> centres;
    std::vector<std::string> labels;
    for (double v : xs) {
        centres.push_back(frame.x(v));
        labels.push_back(formatShort(shown(axis, v)));
    }
    const std::vector<bool> keep = thinned(centres, labels, 12);
    for (std::size_t i = 0; i < xs.size(); ++i) {
        out += line(centres[i], frame.plotBottom, centres[i], frame.plotBottom + (keep[i] ? 5 : 3),
                    "stroke=\"#888\"");
        if (keep[i]) out += textAt(centres[i], frame.plotBottom + 18, labels[i], "text-anchor=\"middle\"");
    }
    out += textAt(kPlotLeft + kPlotWidth / 2, frame.plotBottom + 40,
                  withUnit(axis) + (logarithmic ? " (log scale)" : ""), "text-anchor=\"middle\"");
    out += yTitle(frame.plotTop + kCurvePlotHeight / 2, quantity, metric);
    return out;
}

// One confidence band per run of consecutive points that have an interval.
std::string bands(const std::vector<double>& xs, const std::vector<Kvrn::SampleSummary>& points,
                  const CurveFrame& frame, const std::string& colour, double scale) {
    std::string out;
    std::size_t start = 0;
    while (start < xs.size()) {
        std::size_t end = start;
        while (end < xs.size() && std::isfinite(points[end].lower) && std::isfinite(points[end].upper)) ++end;
        if (end > start) {
            std::string polygon;
            for (std::size_t k = start; k < end; ++k)
                polygon += px(frame.x(xs[k])) + "," + px(frame.y(points[k].upper * scale)) + " ";
            for (std::size_t k = end; k-- > start;)
                polygon += px(frame.x(xs[k])) + "," + px(frame.y(points[k].lower * scale)) + " ";
            polygon.pop_back();
            out += "<polygon points=\"" + polygon + "\" fill=\"" + colour +
                   "\" fill-opacity=\"0.18\" stroke=\"none\"/>\n";
            start = end;
        } else {
            ++start;
        }
    }
    return out;
}

// The mean line with its points; where a point stands on fewer seeds than
// declared, its n is written beside it.
std::string meanLine(const std::vector<double>& xs, const std::vector<Kvrn::SampleSummary>& points,
                     const CurveFrame& frame, const std::string& colour, double scale, std::uint64_t seeds) {
    std::string path;
    for (std::size_t k = 0; k < xs.size(); ++k)
        path +=
            px(frame.x(xs[k])) + "," + px(frame.y(points[k].mean * scale)) + (k + 1 < xs.size() ? " " : "");
    std::string out =
        "<polyline points=\"" + path + "\" fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"2\"/>\n";
    for (std::size_t k = 0; k < xs.size(); ++k) {
        const double cx = frame.x(xs[k]);
        const double cy = frame.y(points[k].mean * scale);
        out += "<circle cx=\"" + px(cx) + "\" cy=\"" + px(cy) + "\" r=\"3.5\" fill=\"" + colour + "\"/>\n";
        if (points[k].count != seeds)
            out += textAt(cx + 5, cy - 6, "n=" + std::to_string(points[k].count),
                          "font-size=\"10\" fill=\"" + colour + "\"");
    }
    return out;
}

std::string curvePanel(const Kvrn::SweepResult& result, const std::string& metric, double top) {
    std::vector<const Kvrn::SweepCurve*> curves;
    for (const Kvrn::SweepCurve& curve : result.curves)
        if (curve.metric == metric) curves.push_back(&curve);
    const std::string axis = result.axes.front();
    const std::vector<double> xs = axisValues(result, 0);
    const bool logarithmic = logarithmicAxis(xs);
    const double plotTop = top + kPlotTop;
    const double plotBottom = plotTop + kCurvePlotHeight;
    const double scale = unitOf(metric).scale;

    std::string out = "<g>\n";
    out += textAt(kPlotLeft, top + 24, metric + " over " + axis, "font-size=\"14\" font-weight=\"bold\"");

    std::vector<double> ys;
    for (const Kvrn::SweepCurve* curve : curves) {
        for (const Kvrn::SampleSummary& s : curve->points) {
            for (double v : {s.mean, s.lower, s.upper})
                if (std::isfinite(v)) ys.push_back(v * scale);
        }
    }
    if (ys.empty() || xs.empty()) {
        out += "<rect x=\"" + px(kPlotLeft) + "\" y=\"" + px(plotTop) + "\" width=\"" + px(kPlotWidth) +
               "\" height=\"" + px(kCurvePlotHeight) + "\" fill=\"none\" stroke=\"#888\"/>\n";
        out += textAt(kPlotLeft + kPlotWidth / 2, plotTop + kCurvePlotHeight / 2, "no valid runs",
                      "text-anchor=\"middle\" fill=\"#666\"");
        return out + "</g>\n";
    }
    const auto [yLow, yHigh] = paddedRange(ys);
    const CurveFrame frame{
        Scale(*std::min_element(xs.begin(), xs.end()), *std::max_element(xs.begin(), xs.end()),
              kPlotLeft + 20, kPlotWidth - 40, logarithmic),
        Scale(yLow, yHigh, plotBottom, -kCurvePlotHeight, false), plotTop, plotBottom};
    out += drawCurveAxes(result, xs, logarithmic, frame, yLow, yHigh, metric, metric);

    double legendY = plotTop + 8;
    std::size_t candidates = 0;
    for (const Kvrn::SweepCurve* curvePointer : curves) {
        const Kvrn::SweepCurve& curve = *curvePointer;
        const std::string colour = branchColour(result, curve.branch);
        out += bands(curve.x, curve.points, frame, colour, scale);
        out += meanLine(curve.x, curve.points, frame, colour, scale, result.seedsPerPoint);
        if (curve.regime.candidate) {
            const double at = frame.x(curve.regime.location);
            out += line(at, plotTop, at, plotBottom,
                        "stroke=\"" + colour + "\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\"");
            // The label goes on the side of the line with more room, one row
            // lower for each earlier candidate so that labels never overlap.
            const bool left = at > kPlotLeft + kPlotWidth / 2;
            out += textAt(
                left ? at - 4 : at + 4, plotTop + 14 + 13 * static_cast<double>(candidates),
                "regime transition candidate",
                std::string(left ? "text-anchor=\"end\" " : "") + "font-size=\"11\" fill=\"" + colour + "\"");
            ++candidates;
        }

        out += "<rect x=\"" + px(kLegendLeft) + "\" y=\"" + px(legendY - 9) +
               "\" width=\"12\" height=\"12\" fill=\"" + colour + "\"/>\n";
        out += textAt(kLegendLeft + 18, legendY + 1, curve.branch, "font-weight=\"bold\"");
        out += textAt(kLegendLeft + 18, legendY + 17, "shape: " + shapeName(curve.shape));
        if (curve.regime.candidate) {
            out += textAt(kLegendLeft + 18, legendY + 33, "regime transition candidate at");
            out += textAt(kLegendLeft + 18, legendY + 49,
                          axis + "=" + formatShort(shown(axis, curve.regime.location)));
            out += textAt(kLegendLeft + 18, legendY + 65, "(verify with a denser sweep)");
            legendY += 16;
        } else {
            out += textAt(kLegendLeft + 18, legendY + 33, "no regime transition candidate");
        }
        legendY += 68;
    }
    const std::string note = "font-size=\"11\" fill=\"#555\"";
    if (everyCellHasAllSeeds(result, metric)) {
        out += textAt(kLegendLeft, legendY + 4,
                      "line: mean over " + std::to_string(result.seedsPerPoint) + " seeds", note);
    } else {
        out += textAt(kLegendLeft, legendY + 4, "line: mean over the valid seeds,", note);
        out += textAt(kLegendLeft, legendY + 18,
                      "n shown where fewer than " + std::to_string(result.seedsPerPoint), note);
        legendY += 14;
    }
    out +=
        textAt(kLegendLeft, legendY + 18, "band: 95 % confidence interval", "font-size=\"11\" fill=\"#555\"");
    return out + "</g>\n";
}

// One metric's paired differences over the axis: a line per intervention
// branch with its interval, and the zero line of no effect.
std::string differencePanel(const Kvrn::SweepResult& result,
                            const std::vector<Kvrn::PairedContrast>& contrasts, const std::string& metric,
                            double top) {
    const std::string axis = result.axes.front();
    const std::vector<double> xs = axisValues(result, 0);
    const bool logarithmic = logarithmicAxis(xs);
    const double plotTop = top + kPlotTop;
    const double plotBottom = plotTop + kCurvePlotHeight;
    const double scale = unitOf(metric).scale;

    // Per branch, the points with a difference, in axis order.
    std::vector<std::string> branches;
    std::map<std::string, std::pair<std::vector<double>, std::vector<Kvrn::SampleSummary>>> series;
    std::string control;
    std::vector<double> ys = {0.0};
    for (const Kvrn::PairedContrast& c : contrasts) {
        if (c.metric != metric) continue;
        control = c.control;
        if (std::find(branches.begin(), branches.end(), c.branch) == branches.end())
            branches.push_back(c.branch);
        if (c.difference.count == 0) continue;
        series[c.branch].first.push_back(c.point.parameters.front().value);
        series[c.branch].second.push_back(c.difference);
        for (double v : {c.difference.mean, c.difference.lower, c.difference.upper})
            if (std::isfinite(v)) ys.push_back(v * scale);
    }

    std::string out = "<g>\n";
    out += textAt(kPlotLeft, top + 24, "difference in " + metric + " from " + control + " over " + axis,
                  "font-size=\"14\" font-weight=\"bold\"");
    const auto [yLow, yHigh] = paddedRange(ys);
    const CurveFrame frame{
        Scale(*std::min_element(xs.begin(), xs.end()), *std::max_element(xs.begin(), xs.end()),
              kPlotLeft + 20, kPlotWidth - 40, logarithmic),
        Scale(yLow, yHigh, plotBottom, -kCurvePlotHeight, false), plotTop, plotBottom};
    out += drawCurveAxes(result, xs, logarithmic, frame, yLow, yHigh, "difference in " + metric, metric);
    out += line(kPlotLeft, frame.y(0), kPlotLeft + kPlotWidth, frame.y(0),
                "stroke=\"#333\" stroke-width=\"1\" stroke-dasharray=\"2 3\"");

    double legendY = plotTop + 8;
    for (const std::string& branch : branches) {
        const std::string colour = branchColour(result, branch);
        const auto found = series.find(branch);
        if (found != series.end()) {
            out += bands(found->second.first, found->second.second, frame, colour, scale);
            out += meanLine(found->second.first, found->second.second, frame, colour, scale,
                            result.seedsPerPoint);
        }
        out += "<rect x=\"" + px(kLegendLeft) + "\" y=\"" + px(legendY - 9) +
               "\" width=\"12\" height=\"12\" fill=\"" + colour + "\"/>\n";
        out += textAt(kLegendLeft + 18, legendY + 1, branch + " \u2212 " + control, "font-weight=\"bold\"");
        legendY += 24;
    }
    out +=
        textAt(kLegendLeft, legendY + 4, "line: mean paired difference,", "font-size=\"11\" fill=\"#555\"");
    out += textAt(kLegendLeft, legendY + 18, "same seed and point, over the seeds",
                  "font-size=\"11\" fill=\"#555\"");
    out +=
        textAt(kLegendLeft, legendY + 32, "band: 95 % confidence interval", "font-size=\"11\" fill=\"#555\"");
    out += textAt(kLegendLeft, legendY + 46, "dotted: no difference", "font-size=\"11\" fill=\"#555\"");
    return out + "</g>\n";
}

Rgb rampColour(double t) {
    t = std::clamp(t, 0.0, 1.0) * static_cast<double>(kRampStops - 1);
    const std::size_t i = std::min(static_cast<std::size_t>(t), kRampStops - 2);
    const double f = t - static_cast<double>(i);
    const Rgb& a = kRamp[i];
    const Rgb& b = kRamp[i + 1];
    return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
}

// Blue below zero, white at zero, red above, for differences; t in [-1, 1].
const Rgb kDivergingLow{33, 102, 172};
const Rgb kDivergingMiddle{247, 247, 247};
const Rgb kDivergingHigh{178, 24, 43};

Rgb divergingColour(double t) {
    t = std::clamp(t, -1.0, 1.0);
    const Rgb& end = t < 0 ? kDivergingLow : kDivergingHigh;
    const double f = std::fabs(t);
    return {kDivergingMiddle.r + (end.r - kDivergingMiddle.r) * f,
            kDivergingMiddle.g + (end.g - kDivergingMiddle.g) * f,
            kDivergingMiddle.b + (end.b - kDivergingMiddle.b) * f};
}

std::string cssColour(const Rgb& c) {
    char text[16];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", static_cast<unsigned>(std::lround(c.r)),
                  static_cast<unsigned>(std::lround(c.g)), static_cast<unsigned>(std::lround(c.b)));
    return text;
}

// Black or white, whichever reads better on `c`.
std::string inkOn(const Rgb& c) {
    return 0.299 * c.r + 0.587 * c.g + 0.114 * c.b > 140 ? "#000000" : "#ffffff";
}

// One cell of a heat map: its summary, or none when it has no valid run.
using CellLookup = std::function<const Kvrn::SampleSummary*(double first, double second)>;

// How one heat map colours its cells and labels its colour bar.
struct MapColouring {
    std::function<Rgb(double)> colour;  // of a shown value
    double low = 0;                     // shown value at the bottom of the bar
    double high = 0;                    // at the top
    bool defined = false;               // false: no cell has a value
    std::string gradient;               // id of the bar's gradient
    std::string quantity;               // beside the bar, with the metric's unit
    std::string note;                   // under the bar; may be empty
    bool showCounts = false;            // seeds differ somewhere: each cell shows its n
};

std::string heatMap(const Kvrn::SweepResult& result, const std::string& title, const std::string& metric,
                    const CellLookup& lookup, const MapColouring& colouring, double top) {
    const std::vector<double> columns = axisValues(result, 0);
    const std::vector<double> rows = axisValues(result, 1);
    const double plotTop = top + kPlotTop;
    const double cellWidth = kPlotWidth / static_cast<double>(columns.size());
    const double cellHeight = kMapPlotHeight / static_cast<double>(rows.size());
    const double scale = unitOf(metric).scale;

    // Every cell's summary first: the labels are written in every cell or in
    // none, so that a blank cell never reads as a missing one.
    struct Shown {
        double x, y;
        const Kvrn::SampleSummary* summary;
        std::string label;
    };
    std::vector<Shown> cells;
    const bool seedsDiffer = colouring.showCounts;
    double widest = 0;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        for (std::size_t r = 0; r < rows.size(); ++r) {
            // The lowest value of the second axis sits at the bottom.
            Shown cell{kPlotLeft + cellWidth * static_cast<double>(c),
                       plotTop + cellHeight * static_cast<double>(rows.size() - 1 - r),
                       lookup(columns[c], rows[r]), "n/a"};
            if (cell.summary != nullptr && !std::isfinite(cell.summary->mean)) cell.summary = nullptr;
            if (cell.summary != nullptr) {
                // Rounding residue of a difference (1e-15 for equal values) reads as 0.
                const double value = cell.summary->mean * scale;
                const double span = std::max(std::fabs(colouring.low), std::fabs(colouring.high));
                cell.label = threeDigits(std::fabs(value) < span * 1e-9 ? 0.0 : value);
            }
            widest = std::max(widest, textWidth(cell.label, 11));
            cells.push_back(std::move(cell));
        }
    }
    const bool labelled = widest + 4 <= cellWidth && cellHeight >= (seedsDiffer ? 28 : 14);

    std::string out = "<g>\n";
    out += textAt(kPlotLeft, top + 24, title, "font-size=\"14\" font-weight=\"bold\"");
    for (const Shown& cell : cells) {
        std::string fill = "#dddddd";
        std::string ink = "#555555";
        if (cell.summary != nullptr) {
            const Rgb colour = colouring.colour(cell.summary->mean * scale);
            fill = cssColour(colour);
            ink = inkOn(colour);
        }
        out += "<rect x=\"" + px(cell.x) + "\" y=\"" + px(cell.y) + "\" width=\"" + px(cellWidth) +
               "\" height=\"" + px(cellHeight) + "\" fill=\"" + fill + "\" stroke=\"#ffffff\"/>\n";
        if (!labelled) continue;
        // With seeds differing between cells, each cell also says how many it has.
        const double middle = cell.y + cellHeight / 2 + (seedsDiffer ? -2 : 4);
        out += textAt(cell.x + cellWidth / 2, middle, cell.label,
                      "text-anchor=\"middle\" font-size=\"11\" fill=\"" + ink + "\"");
        if (seedsDiffer && cell.summary != nullptr)
            out += textAt(cell.x + cellWidth / 2, middle + 12, "n=" + std::to_string(cell.summary->count),
                          "text-anchor=\"middle\" font-size=\"10\" fill=\"" + ink + "\"");
    }
    const double bottom = plotTop + kMapPlotHeight;
    std::vector<double> centres;
    std::vector<std::string> labels;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        centres.push_back(kPlotLeft + cellWidth * (static_cast<double>(c) + 0.5));
        labels.push_back(formatShort(shown(result.axes[0], columns[c])));
    }
    // Every k-th column is labelled, k the smallest step at which the widest label fits.
    double widestColumn = 0;
    for (const std::string& label : labels) widestColumn = std::max(widestColumn, textWidth(label, 12));
    const std::size_t columnStep =
        std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil((widestColumn + 6) / cellWidth)));
    for (std::size_t c = 0; c < columns.size(); c += columnStep)
        out += textAt(centres[c], bottom + 18, labels[c], "text-anchor=\"middle\"");
    // Rows are labelled bottom up; a label needs 14 px of height.
    const std::size_t rowStep =
        std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(14 / cellHeight)));
    for (std::size_t r = 0; r < rows.size(); r += rowStep)
        out += textAt(kPlotLeft - 6, plotTop + cellHeight * (static_cast<double>(rows.size() - r) - 0.5) + 4,
                      formatShort(shown(result.axes[1], rows[r])), "text-anchor=\"end\"");
    out +=
        textAt(kPlotLeft + kPlotWidth / 2, bottom + 40, withUnit(result.axes[0]), "text-anchor=\"middle\"");
    out += yTitle(plotTop + kMapPlotHeight / 2, result.axes[1], result.axes[1]);

    // The colour bar: low at the bottom, high at the top, with round ticks.
    const double barLeft = kLegendLeft + 20;
    out += "<rect x=\"" + px(barLeft) + "\" y=\"" + px(plotTop) + "\" width=\"16\" height=\"" +
           px(kMapPlotHeight) + "\" fill=\"url(#" + colouring.gradient + ")\" stroke=\"#888\"/>\n";
    if (colouring.defined) {
        const Scale bar(colouring.low, colouring.high, bottom, -kMapPlotHeight, false);
        if (colouring.high > colouring.low) {
            for (double t : niceTicks(colouring.low, colouring.high)) {
                if (t < colouring.low || t > colouring.high) continue;
                out += line(barLeft + 16, bar(t), barLeft + 20, bar(t), "stroke=\"#888\"");
                out += textAt(barLeft + 23, bar(t) + 4, formatShort(t), "font-size=\"11\"");
            }
        } else {
            out +=
                textAt(barLeft + 23, bar(colouring.low) + 4, formatShort(colouring.low), "font-size=\"11\"");
        }
    }
    const Unit unit = unitOf(metric);
    out += verticalLabel(barLeft + 80, plotTop + kMapPlotHeight / 2, colouring.quantity);
    if (!unit.label.empty())
        out += verticalLabel(barLeft + 94, plotTop + kMapPlotHeight / 2, "[" + unit.label + "]");
    out += textAt(barLeft, bottom + 18, "grey: no valid run", "font-size=\"11\" fill=\"#555\"");
    double noteY = bottom + 32;
    if (!colouring.note.empty()) {
        out += textAt(barLeft, noteY, colouring.note, "font-size=\"11\" fill=\"#555\"");
        noteY += 14;
    }
    if (!labelled)
        out += textAt(barLeft, noteY,
                      seedsDiffer ? "cells too small for values and n:" : "cells too small for values:",
                      "font-size=\"11\" fill=\"#555\"") +
               textAt(barLeft, noteY + 14, "see the report or the table", "font-size=\"11\" fill=\"#555\"");
    return out + "</g>\n";
}

const Kvrn::SweepCell* findCell(const Kvrn::SweepResult& result, double first, double second,
                                const std::string& branch) {
    for (const Kvrn::SweepCell& cell : result.cells) {
        if (cell.branch == branch && cell.point.parameters.at(0).value == first &&
            cell.point.parameters.at(1).value == second)
            return &cell;
    }
    return nullptr;
}

// A metric's heat map for one branch, on the colour scale all branches share.
std::string mapPanel(const Kvrn::SweepResult& result, const std::string& metric, const std::string& branch,
                     double top) {
    const double scale = unitOf(metric).scale;
    MapColouring colouring;
    for (const Kvrn::SweepCell& cell : result.cells) {
        const auto found = cell.summaries.find(metric);
        if (found == cell.summaries.end() || !std::isfinite(found->second.mean)) continue;
        const double v = found->second.mean * scale;
        colouring.low = colouring.defined ? std::min(colouring.low, v) : v;
        colouring.high = colouring.defined ? std::max(colouring.high, v) : v;
        colouring.defined = true;
    }
    const double low = colouring.low;
    const double high = colouring.high;
    colouring.colour = [low, high](double v) {
        return rampColour(high > low ? (v - low) / (high - low) : 0.5);
    };
    colouring.gradient = "ramp";
    colouring.quantity = metric;
    colouring.note = "one colour scale for every branch";
    colouring.showCounts = !everyCellHasAllSeeds(result, metric);
    const CellLookup lookup = [&](double first, double second) -> const Kvrn::SampleSummary* {
        const Kvrn::SweepCell* cell = findCell(result, first, second, branch);
        if (cell == nullptr) return nullptr;
        const auto found = cell->summaries.find(metric);
        return found == cell->summaries.end() ? nullptr : &found->second;
    };
    return heatMap(result, metric + " / " + branch + " (" + meanOver(result, metric) + ")", metric, lookup,
                   colouring, top);
}

// A metric's paired differences for one intervention branch, on a scale
// symmetric about zero that all intervention branches share.
std::string differenceMapPanel(const Kvrn::SweepResult& result,
                               const std::vector<Kvrn::PairedContrast>& contrasts, const std::string& metric,
                               const std::string& branch, double top) {
    const double scale = unitOf(metric).scale;
    double reach = 0;
    std::string control;
    MapColouring colouring;
    for (const Kvrn::PairedContrast& c : contrasts) {
        if (c.metric != metric) continue;
        control = c.control;
        colouring.showCounts = colouring.showCounts || c.difference.count != result.seedsPerPoint;
        if (c.difference.count == 0 || !std::isfinite(c.difference.mean)) continue;
        reach = std::max(reach, std::fabs(c.difference.mean * scale));
        colouring.defined = true;
    }
    if (reach == 0) reach = 1;
    colouring.low = -reach;
    colouring.high = reach;
    colouring.colour = [reach](double v) { return divergingColour(v / reach); };
    colouring.gradient = "diverging";
    colouring.quantity = "difference in " + metric;
    colouring.note = "white: no difference";
    const CellLookup lookup = [&](double first, double second) -> const Kvrn::SampleSummary* {
        for (const Kvrn::PairedContrast& c : contrasts) {
            if (c.metric == metric && c.branch == branch && c.point.parameters.at(0).value == first &&
                c.point.parameters.at(1).value == second)
                return c.difference.count == 0 ? nullptr : &c.difference;
        }
        return nullptr;
    };
    return heatMap(result, metric + ": " + branch + " \u2212 " + control + " (mean paired difference)",
                   metric, lookup, colouring, top);
}

std::string gradient(const std::string& id, const std::vector<Rgb>& stops) {
    std::string out = "<linearGradient id=\"" + id + "\" x1=\"0\" y1=\"1\" x2=\"0\" y2=\"0\">";
    for (std::size_t i = 0; i < stops.size(); ++i)
        out += "<stop offset=\"" + px(static_cast<double>(i) / static_cast<double>(stops.size() - 1)) +
               "\" stop-color=\"" + cssColour(stops[i]) + "\"/>";
    return out + "</linearGradient>";
}

}  // namespace

std::string plotRefusal(std::size_t axes) {
    if (axes == 1 || axes == 2) return "";
    return "a plot shows sweeps of one or two axes; this one has " + std::to_string(axes);
}

std::string sweepPlotSvg(const Kvrn::SweepResult& result) {
    const std::string refusal = plotRefusal(result.axes.size());
    if (!refusal.empty()) throw std::invalid_argument(refusal);
    const std::vector<Kvrn::PairedContrast> contrasts = Kvrn::pairedContrasts(result);
    std::vector<std::string> interventionBranches;
    for (const Kvrn::PairedContrast& c : contrasts)
        if (std::find(interventionBranches.begin(), interventionBranches.end(), c.branch) ==
            interventionBranches.end())
            interventionBranches.push_back(c.branch);

    std::vector<std::string> panels;
    double height = kHeaderHeight;
    if (result.axes.size() == 1) {
        for (const std::string& metric : result.mapMetrics) {
            panels.push_back(curvePanel(result, metric, height));
            height += kCurvePanelHeight;
        }
        for (const std::string& metric : contrasts.empty() ? std::vector<std::string>{} : result.mapMetrics) {
            panels.push_back(differencePanel(result, contrasts, metric, height));
            height += kCurvePanelHeight;
        }
    } else {
        for (const std::string& metric : result.mapMetrics) {
            for (const std::string& branch : branchOrder(result)) {
                panels.push_back(mapPanel(result, metric, branch, height));
                height += kMapPanelHeight;
            }
        }
        for (const std::string& metric : result.mapMetrics) {
            for (const std::string& branch : interventionBranches) {
                panels.push_back(differenceMapPanel(result, contrasts, metric, branch, height));
                height += kMapPanelHeight;
            }
        }
    }

    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + px(kWidth) + "\" height=\"" + px(height) +
           "\" viewBox=\"0 0 " + px(kWidth) + " " + px(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    out += "<defs>" + gradient("ramp", std::vector<Rgb>(std::begin(kRamp), std::end(kRamp))) +
           gradient("diverging", {kDivergingLow, kDivergingMiddle, kDivergingHigh}) + "</defs>\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    out += textAt(20, 28, "Sweep " + result.name, "font-size=\"17\" font-weight=\"bold\"");
    std::string axes;
    for (const std::string& axis : result.axes) axes += (axes.empty() ? "" : " x ") + axis;
    out += textAt(20, 48,
                  "Hypothesis " + result.hypothesis + "; axes: " + axes + "; " +
                      std::to_string(result.seedsPerPoint) + " seeds per point; " +
                      std::to_string(result.executedRuns + result.reusedRuns) + " valid runs",
                  "fill=\"#444\"");
    for (const std::string& panel : panels) out += panel;
    return out + "</svg>\n";
}

}  // namespace Core::Cli
