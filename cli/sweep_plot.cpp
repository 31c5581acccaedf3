#include "cli/sweep_plot.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include "common/format.hpp"
#include "sweep/shape.hpp"

namespace Core::Cli {

namespace {

// Page and panel geometry [px].
constexpr double kWidth = 820;
constexpr double kHeaderHeight = 64;
constexpr double kCurvePanelHeight = 320;
constexpr double kMapPanelHeight = 340;
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

std::string curvePanel(const Kvrn::SweepResult& result, const std::string& metric, double top) {
    std::vector<const Kvrn::SweepCurve*> curves;
    for (const Kvrn::SweepCurve& curve : result.curves)
        if (curve.metric == metric) curves.push_back(&curve);
    const std::string axis = result.axes.front();
    const std::vector<double> xs = axisValues(result, 0);
    const bool logarithmic = logarithmicAxis(xs);
    const double plotTop = top + kPlotTop;
    const double plotBottom = plotTop + kCurvePlotHeight;

    std::string out = "<g>\n";
    out += textAt(kPlotLeft, top + 24, metric + " over " + axis, "font-size=\"14\" font-weight=\"bold\"");
    out += "<rect x=\"" + px(kPlotLeft) + "\" y=\"" + px(plotTop) + "\" width=\"" + px(kPlotWidth) +
           "\" height=\"" + px(kCurvePlotHeight) + "\" fill=\"none\" stroke=\"#888\"/>\n";

    std::vector<double> ys;
    for (const Kvrn::SweepCurve* curve : curves) {
        for (const Kvrn::SampleSummary& s : curve->points) {
            for (double v : {s.mean, s.lower, s.upper})
                if (std::isfinite(v)) ys.push_back(v);
        }
    }
    if (ys.empty() || xs.empty()) {
        out += textAt(kPlotLeft + kPlotWidth / 2, plotTop + kCurvePlotHeight / 2, "no valid runs",
                      "text-anchor=\"middle\" fill=\"#666\"");
        return out + "</g>\n";
    }
    const auto [yLow, yHigh] = paddedRange(ys);
    const Scale x(*std::min_element(xs.begin(), xs.end()), *std::max_element(xs.begin(), xs.end()),
                  kPlotLeft + 20, kPlotWidth - 40, logarithmic);
    const Scale y(yLow, yHigh, plotBottom, -kCurvePlotHeight, false);

    for (double t : niceTicks(yLow, yHigh)) {
        out += line(kPlotLeft, y(t), kPlotLeft + kPlotWidth, y(t), "stroke=\"#e4e4e4\"");
        out += textAt(kPlotLeft - 6, y(t) + 4, formatShort(t), "text-anchor=\"end\"");
    }
    for (double v : xs) {
        out += line(x(v), plotBottom, x(v), plotBottom + 5, "stroke=\"#888\"");
        out += textAt(x(v), plotBottom + 18, formatShort(v), "text-anchor=\"middle\"");
    }
    out += textAt(kPlotLeft + kPlotWidth / 2, plotBottom + 40, axis + (logarithmic ? " (log scale)" : ""),
                  "text-anchor=\"middle\"");
    out += textAt(
        24, plotTop + kCurvePlotHeight / 2, metric,
        "text-anchor=\"middle\" transform=\"rotate(-90 24 " + px(plotTop + kCurvePlotHeight / 2) + ")\"");

    double legendY = plotTop + 8;
    for (std::size_t c = 0; c < curves.size(); ++c) {
        const Kvrn::SweepCurve& curve = *curves[c];
        const std::string colour = kBranchColours[c % std::size(kBranchColours)];
        // The confidence band, one polygon per run of points that have an interval.
        std::size_t start = 0;
        while (start < curve.x.size()) {
            std::size_t end = start;
            while (end < curve.x.size() && std::isfinite(curve.points[end].lower) &&
                   std::isfinite(curve.points[end].upper))
                ++end;
            if (end > start) {
                std::string points;
                for (std::size_t k = start; k < end; ++k)
                    points += px(x(curve.x[k])) + "," + px(y(curve.points[k].upper)) + " ";
                for (std::size_t k = end; k-- > start;)
                    points += px(x(curve.x[k])) + "," + px(y(curve.points[k].lower)) + " ";
                points.pop_back();
                out += "<polygon points=\"" + points + "\" fill=\"" + colour +
                       "\" fill-opacity=\"0.18\" stroke=\"none\"/>\n";
                start = end;
            } else {
                ++start;
            }
        }
        std::string path;
        for (std::size_t k = 0; k < curve.x.size(); ++k)
            path +=
                px(x(curve.x[k])) + "," + px(y(curve.points[k].mean)) + (k + 1 < curve.x.size() ? " " : "");
        out += "<polyline points=\"" + path + "\" fill=\"none\" stroke=\"" + colour +
               "\" stroke-width=\"2\"/>\n";
        for (std::size_t k = 0; k < curve.x.size(); ++k)
            out += "<circle cx=\"" + px(x(curve.x[k])) + "\" cy=\"" + px(y(curve.points[k].mean)) +
                   "\" r=\"3.5\" fill=\"" + colour + "\"/>\n";
        if (curve.regime.candidate) {
            const double at = x(curve.regime.location);
            out += line(at, plotTop, at, plotBottom,
                        "stroke=\"" + colour + "\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\"");
            // The label goes on the side of the line with more room.
            const bool left = at > kPlotLeft + kPlotWidth / 2;
            out += textAt(
                left ? at - 4 : at + 4, plotTop + 14, "regime transition candidate",
                std::string(left ? "text-anchor=\"end\" " : "") + "font-size=\"11\" fill=\"" + colour + "\"");
        }

        out += "<rect x=\"" + px(kLegendLeft) + "\" y=\"" + px(legendY - 9) +
               "\" width=\"12\" height=\"12\" fill=\"" + colour + "\"/>\n";
        out += textAt(kLegendLeft + 18, legendY + 1, curve.branch, "font-weight=\"bold\"");
        out += textAt(kLegendLeft + 18, legendY + 17, "shape: " + shapeName(curve.shape));
        if (curve.regime.candidate) {
            out += textAt(kLegendLeft + 18, legendY + 33, "regime transition candidate at");
            out += textAt(kLegendLeft + 18, legendY + 49, axis + "=" + formatShort(curve.regime.location));
            out += textAt(kLegendLeft + 18, legendY + 65, "(verify with a denser sweep)");
            legendY += 16;
        } else {
            out += textAt(kLegendLeft + 18, legendY + 33, "no regime transition candidate");
        }
        legendY += 68;
    }
    out +=
        textAt(kLegendLeft, legendY + 4, "line: mean over " + std::to_string(result.seedsPerPoint) + " seeds",
               "font-size=\"11\" fill=\"#555\"");
    out +=
        textAt(kLegendLeft, legendY + 18, "band: 95 % confidence interval", "font-size=\"11\" fill=\"#555\"");
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

std::string cssColour(const Rgb& c) {
    char text[16];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", static_cast<unsigned>(std::lround(c.r)),
                  static_cast<unsigned>(std::lround(c.g)), static_cast<unsigned>(std::lround(c.b)));
    return text;
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

std::string mapPanel(const Kvrn::SweepResult& result, const std::string& metric, const std::string& branch,
                     double top) {
    const std::vector<double> columns = axisValues(result, 0);
    const std::vector<double> rows = axisValues(result, 1);
    const double plotTop = top + kPlotTop;
    const double cellWidth = kPlotWidth / static_cast<double>(columns.size());
    const double cellHeight = kMapPlotHeight / static_cast<double>(rows.size());

    std::optional<double> low;
    std::optional<double> high;
    for (const Kvrn::SweepCell& cell : result.cells) {
        if (cell.branch != branch) continue;
        const auto found = cell.summaries.find(metric);
        if (found == cell.summaries.end() || !std::isfinite(found->second.mean)) continue;
        low = std::min(low.value_or(found->second.mean), found->second.mean);
        high = std::max(high.value_or(found->second.mean), found->second.mean);
    }

    std::string out = "<g>\n";
    out += textAt(kPlotLeft, top + 24,
                  metric + " / " + branch + " (mean over " + std::to_string(result.seedsPerPoint) + " seeds)",
                  "font-size=\"14\" font-weight=\"bold\"");
    for (std::size_t c = 0; c < columns.size(); ++c) {
        for (std::size_t r = 0; r < rows.size(); ++r) {
            // The lowest value of the second axis sits at the bottom.
            const double cx = kPlotLeft + cellWidth * static_cast<double>(c);
            const double cy = plotTop + cellHeight * static_cast<double>(rows.size() - 1 - r);
            const Kvrn::SweepCell* cell = findCell(result, columns[c], rows[r], branch);
            const Kvrn::SampleSummary* summary = nullptr;
            if (cell != nullptr) {
                const auto found = cell->summaries.find(metric);
                if (found != cell->summaries.end() && std::isfinite(found->second.mean))
                    summary = &found->second;
            }
            std::string fill = "#dddddd";
            std::string ink = "#555555";
            std::string label = "n/a";
            if (summary != nullptr) {
                const double t = *high > *low ? (summary->mean - *low) / (*high - *low) : 0.5;
                fill = cssColour(rampColour(t));
                ink = t > 0.55 ? "#000000" : "#ffffff";
                label = formatShort(summary->mean);
            }
            out += "<rect x=\"" + px(cx) + "\" y=\"" + px(cy) + "\" width=\"" + px(cellWidth) +
                   "\" height=\"" + px(cellHeight) + "\" fill=\"" + fill + "\" stroke=\"#ffffff\"/>\n";
            out += textAt(cx + cellWidth / 2, cy + cellHeight / 2 + 4, label,
                          "text-anchor=\"middle\" font-size=\"11\" fill=\"" + ink + "\"");
        }
    }
    const double bottom = plotTop + kMapPlotHeight;
    for (std::size_t c = 0; c < columns.size(); ++c)
        out += textAt(kPlotLeft + cellWidth * (static_cast<double>(c) + 0.5), bottom + 18,
                      formatShort(columns[c]), "text-anchor=\"middle\"");
    for (std::size_t r = 0; r < rows.size(); ++r)
        out += textAt(kPlotLeft - 6, plotTop + cellHeight * (static_cast<double>(rows.size() - r) - 0.5) + 4,
                      formatShort(rows[r]), "text-anchor=\"end\"");
    out += textAt(kPlotLeft + kPlotWidth / 2, bottom + 40, result.axes[0], "text-anchor=\"middle\"");
    out += textAt(
        24, plotTop + kMapPlotHeight / 2, result.axes[1],
        "text-anchor=\"middle\" transform=\"rotate(-90 24 " + px(plotTop + kMapPlotHeight / 2) + ")\"");

    // The colour scale: low at the bottom, high at the top.
    const double barLeft = kLegendLeft + 20;
    out += "<rect x=\"" + px(barLeft) + "\" y=\"" + px(plotTop) + "\" width=\"16\" height=\"" +
           px(kMapPlotHeight) + "\" fill=\"url(#ramp)\" stroke=\"#888\"/>\n";
    if (low) {
        out += textAt(barLeft + 22, plotTop + 10, formatShort(*high));
        out += textAt(barLeft + 22, bottom, formatShort(*low));
    }
    out += textAt(barLeft, bottom + 18, "grey: no valid run", "font-size=\"11\" fill=\"#555\"");
    return out + "</g>\n";
}

}  // namespace

std::string plotRefusal(std::size_t axes) {
    if (axes == 1 || axes == 2) return "";
    return "a plot shows sweeps of one or two axes; this one has " + std::to_string(axes);
}

std::string sweepPlotSvg(const Kvrn::SweepResult& result) {
    const std::string refusal = plotRefusal(result.axes.size());
    if (!refusal.empty()) throw std::invalid_argument(refusal);

    std::vector<std::string> panels;
    double height = kHeaderHeight;
    if (result.axes.size() == 1) {
        for (const std::string& metric : result.mapMetrics) {
            panels.push_back(curvePanel(result, metric, height));
            height += kCurvePanelHeight;
        }
    } else {
        std::vector<std::string> branches;
        for (const Kvrn::SweepCell& cell : result.cells)
            if (std::find(branches.begin(), branches.end(), cell.branch) == branches.end())
                branches.push_back(cell.branch);
        for (const std::string& metric : result.mapMetrics) {
            for (const std::string& branch : branches) {
                panels.push_back(mapPanel(result, metric, branch, height));
                height += kMapPanelHeight;
            }
        }
    }

    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + px(kWidth) + "\" height=\"" + px(height) +
           "\" viewBox=\"0 0 " + px(kWidth) + " " + px(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    out += "<defs><linearGradient id=\"ramp\" x1=\"0\" y1=\"1\" x2=\"0\" y2=\"0\">";
    for (std::size_t i = 0; i < kRampStops; ++i)
        out += "<stop offset=\"" + px(static_cast<double>(i) / static_cast<double>(kRampStops - 1)) +
               "\" stop-color=\"" + cssColour(kRamp[i]) + "\"/>";
    out += "</linearGradient></defs>\n";
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
