#include "quillon/charts/chart_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <unordered_set>

#include "font_metrics.h"
#include "utf8.h"

namespace quillon::charts {
namespace {

constexpr double titleSize = 16, labelSize = 12, tickSize = 11;
constexpr double margin = 16;
constexpr double minimumPlotHeight = 260;
const std::string axisColour = "#444444", gridColour = "#E3E3E3", mutedText = "#555555";
constexpr double markerSize = 8;

MarkerKind markerKind(int marker) { return static_cast<MarkerKind>(marker % markerKindCount); }

// A faded line: seen, but read as resting on few cases.
constexpr double faintOpacity = 0.35;

using Polyline = std::vector<std::pair<double, double>>;

// Of each pixel column's points keeps the first, the lowest, the highest and the last, in their
// order, and drops the middle of level stretches: the same picture from far fewer points, so that
// a curve of 100,000 lengths costs what its pixels do.
Polyline reduceToColumns(const Polyline& points) {
    Polyline kept;
    for (std::size_t i = 0; i < points.size();) {
        const double column = std::floor(points[i].first);
        std::size_t end = i, low = i, high = i;
        for (; end < points.size() && std::floor(points[end].first) == column; ++end) {
            if (points[end].second < points[low].second) low = end;
            if (points[end].second > points[high].second) high = end;
        }
        std::size_t picks[] = {i, low, high, end - 1};
        std::sort(std::begin(picks), std::end(picks));
        for (std::size_t k = 0; k < 4; ++k)
            if (k == 0 || picks[k] != picks[k - 1]) kept.push_back(points[picks[k]]);
        i = end;
    }
    Polyline out;
    for (const auto& point : kept) {
        if (out.size() >= 2 && out[out.size() - 1].second == point.second &&
            out[out.size() - 2].second == point.second) {
            out.back() = point;
        } else {
            out.push_back(point);
        }
    }
    return out;
}

}  // namespace

double textWidth(const std::string& text, double size, bool bold) {
    const std::span<const GlyphAdvance> table = glyphAdvances();
    double units = 0;
    for (std::size_t at = 0; at < text.size();) {
        // A byte that starts no valid sequence is drawn as U+FFFD and costs the fallback.
        const Utf8Char character = decodeUtf8(text, at);
        const std::uint32_t code = character.length == 0 ? 0 : character.code;
        at += character.length == 0 ? 1 : character.length;
        const auto found = std::lower_bound(table.begin(), table.end(), code,
                                            [](const GlyphAdvance& glyph, std::uint32_t c) { return glyph.code < c; });
        // A character outside the table may come from another face: a full em and a half is wider
        // than any glyph the table holds, so that a label never runs into its neighbour.
        units +=
            found != table.end() && found->code == code ? (bold ? found->bold : found->regular) : 1.5 * fontUnitsPerEm;
    }
    return units / fontUnitsPerEm * size;
}

MarkerOutline markerOutline(const MarkerShape& marker) {
    const bool circle = marker.kind == MarkerKind::Circle;
    const double r = marker.size / 2 * (circle ? 1 : 1.4), x = marker.x, y = marker.y;
    switch (marker.kind) {
        case MarkerKind::Circle:
            return {r, {}};
        case MarkerKind::Square:
            return {r, {{x - r, y - r}, {x + r, y - r}, {x + r, y + r}, {x - r, y + r}}};
        case MarkerKind::Triangle:
            return {r, {{x, y - r * 1.2}, {x + r * 1.1, y + r * 0.8}, {x - r * 1.1, y + r * 0.8}}};
        case MarkerKind::Diamond:
            return {r, {{x, y - r * 1.3}, {x + r * 1.1, y}, {x, y + r * 1.3}, {x - r * 1.1, y}}};
        case MarkerKind::TriangleDown:
            return {r, {{x, y + r * 1.2}, {x + r * 1.1, y - r * 0.8}, {x - r * 1.1, y - r * 0.8}}};
    }
    return {r, {}};
}

Scene layoutChart(const Chart& chart, double width, double height) {
    Scene scene{width, height, {}, chart.title, {}};
    for (const std::string& note : chart.notes) scene.description += (scene.description.empty() ? "" : " ") + note;
    auto& shapes = scene.shapes;
    shapes.push_back(TextShape{margin, margin + titleSize, chart.title, titleSize, Anchor::Start, true});

    // Legend rows under the title, wrapped to the width; a single series needs no legend.
    double legendBottom = margin + titleSize + 6;
    if (chart.legend && chart.series.size() > 1) {
        double x = margin, y = legendBottom + labelSize + 4;
        std::vector<KeyEntry> entries;
        addKeyEntries(entries, chart.series);
        for (const auto& [name, style] : entries) {
            const Series series{name, style, {}};
            const double entry = 28 + textWidth(series.name, labelSize) + 18;
            if (x > margin && x + entry > width - margin) {
                x = margin;
                y += labelSize + 8;
            }
            if (series.style.marker >= 0) {
                shapes.push_back(MarkerShape{x + 12, y - 4, markerKind(series.style.marker),
                                             palette()[series.style.colour], markerSize, series.name});
            } else {
                shapes.push_back(
                    LineShape{x, y - 4, x + 24, y - 4, palette()[series.style.colour], 2.5, series.style.dash});
                if (series.style.endMarker >= 0)
                    shapes.push_back(MarkerShape{x + 12, y - 4, markerKind(series.style.endMarker),
                                                 palette()[series.style.colour], markerSize, series.name});
            }
            shapes.push_back(TextShape{x + 30, y, series.name, labelSize});
            x += entry;
        }
        legendBottom = y + 6;
    }

    // Notes wrap at spaces to the canvas's width rather than run off its edge.
    std::vector<std::string> noteLines;
    for (const std::string& note : chart.notes) {
        std::string line;
        for (std::size_t at = 0; at <= note.size();) {
            const std::size_t space = std::min(note.find(' ', at), note.size());
            const std::string word = note.substr(at, space - at);
            const std::string longer = line.empty() ? word : line + " " + word;
            if (!line.empty() && textWidth(longer, labelSize) > width - 2 * margin) {
                noteLines.push_back(line);
                line = word;
            } else {
                line = longer;
            }
            at = space + 1;
        }
        noteLines.push_back(line);
    }
    const double noteHeight = static_cast<double>(noteLines.size()) * (labelSize + 5);
    // A long legend or many notes make the canvas taller rather than the plot flatter.
    // A strip is as thin as its plot allows, whatever the canvas asked for.
    const double needed = legendBottom + 14 + (chart.strip ? 40 : minimumPlotHeight) + margin + 40 + noteHeight;
    scene.height = height = chart.strip ? needed : std::max(height, needed);
    const double left = margin + 62, right = width - margin - 8;
    const double top = legendBottom + 14, bottom = height - margin - 40 - noteHeight;
    scene.plotLeft = left, scene.plotRight = right, scene.plotTop = top, scene.plotBottom = bottom;
    const auto xAt = [&](double v) { return left + (v - chart.x.low) / (chart.x.high - chart.x.low) * (right - left); };
    const auto yAt = [&](double v) {
        return bottom - (v - chart.y.low) / (chart.y.high - chart.y.low) * (bottom - top);
    };
    // Intervals may leave the axis's range (a share of a handful of tests): cut at the plot's edge.
    const auto yInside = [&](double v) { return yAt(std::clamp(v, chart.y.low, chart.y.high)); };
    // Only a line with more points than the plot has pixel columns is thinned: others stay as drawn.
    const auto fit = [&](Polyline& line) {
        if (static_cast<double>(line.size()) > right - left) line = reduceToColumns(line);
    };

    // Horizontal grid lines carry the y ticks; the x axis gets short tick marks only.
    for (std::size_t i = 0; i < chart.y.ticks.size(); ++i) {
        const double y = yAt(chart.y.ticks[i]);
        if (chart.y.ticks[i] != chart.y.low) shapes.push_back(LineShape{left, y, right, y, gridColour, 1});
        shapes.push_back(TextShape{left - 8, y + tickSize * 0.35, chart.y.tickLabels[i], tickSize, Anchor::End, false,
                                   false, mutedText});
    }
    shapes.push_back(LineShape{left, bottom, right, bottom, axisColour, 1});
    for (std::size_t i = 0; i < chart.x.ticks.size(); ++i) {
        const double x = xAt(chart.x.ticks[i]);
        shapes.push_back(LineShape{x, bottom, x, bottom + 5, axisColour, 1});
        shapes.push_back(TextShape{x, bottom + 8 + tickSize, chart.x.tickLabels[i], tickSize, Anchor::Middle, false,
                                   false, mutedText});
    }
    for (const ReferenceLine& line : chart.references) {
        if (line.y < chart.y.low || line.y > chart.y.high) continue;
        const double y = yAt(line.y);
        shapes.push_back(LineShape{left, y, right, y, mutedText, 1, 2});
        shapes.push_back(TextShape{right - 4, y - 4, line.label, tickSize, Anchor::End, false, false, mutedText});
    }
    shapes.push_back(TextShape{(left + right) / 2, bottom + 36, chart.x.title, labelSize, Anchor::Middle});
    shapes.push_back(
        TextShape{margin + labelSize, (top + bottom) / 2, chart.y.title, labelSize, Anchor::Middle, false, true});

    // Bands first, so that no band covers a line; a band is cut where its series has no spread.
    // The more bands overlap, the lighter each, so that where several overlap they still read as
    // bands, not as another series, and let the grid show through.
    const auto bands = std::count_if(chart.series.begin(), chart.series.end(),
                                     [](const Series& series) { return !series.band.empty(); });
    const double bandOpacity = std::clamp(0.3 / static_cast<double>(std::max<std::ptrdiff_t>(bands, 1)), 0.04, 0.1);
    for (const Series& series : chart.series) {
        if (series.band.empty()) continue;
        AreaShape area{{}, palette()[series.style.colour], bandOpacity, series.name};
        std::vector<std::pair<double, double>> low, high;
        const auto endRun = [&] {
            // A lone point's band is as wide as its short stroke.
            if (low.size() == 1) {
                low = {{low[0].first - 3, low[0].second}, {low[0].first + 3, low[0].second}};
                high = {{high[0].first - 3, high[0].second}, {high[0].first + 3, high[0].second}};
            }
            if (!low.empty()) {
                fit(low);
                fit(high);
                high.insert(high.end(), low.rbegin(), low.rend());
                area.outlines.push_back(std::move(high));
            }
            low.clear();
            high.clear();
        };
        for (std::size_t i = 0; i < series.points.size(); ++i) {
            const auto& band = i < series.band.size() ? series.band[i] : std::nullopt;
            if (!band || !series.points[i]) {
                endRun();
                continue;
            }
            const double x = xAt(series.points[i]->first);
            low.emplace_back(x, yInside(band->first));
            high.emplace_back(x, yInside(band->second));
        }
        endRun();
        if (!area.outlines.empty()) shapes.push_back(std::move(area));
    }
    // Marker series: whiskers before the lines, points after them, so that no line hides a point.
    std::vector<Shape> points;
    for (const Series& series : chart.series) {
        if (series.style.marker < 0) continue;
        const std::string& colour = palette()[series.style.colour];
        // As with lines, only a series with more points than the plot has pixel columns is thinned:
        // of the unwhiskered marks that fall on one half-pixel, the first is kept.
        const bool thin = static_cast<double>(series.points.size()) > right - left;
        std::unordered_set<std::int64_t> taken;
        for (std::size_t i = 0; i < series.points.size(); ++i) {
            if (!series.points[i]) continue;
            const double x = xAt(series.points[i]->first), y = yAt(series.points[i]->second);
            const Whiskers whiskers = i < series.whiskers.size() ? series.whiskers[i] : Whiskers{};
            if (thin && !whiskers.x && !whiskers.y &&
                !taken.insert(std::llround(2 * x) * 1000003 + std::llround(2 * y)).second)
                continue;
            if (whiskers.x)
                shapes.push_back(LineShape{xAt(whiskers.x->first), y, xAt(whiskers.x->second), y, colour, 1.2});
            if (whiskers.y)
                shapes.push_back(LineShape{x, yInside(whiskers.y->first), x, yInside(whiskers.y->second), colour, 1.2});
            points.push_back(MarkerShape{x, y, markerKind(series.style.marker), colour, markerSize, series.name});
        }
    }
    for (const Series& series : chart.series) {
        if (series.style.marker >= 0) continue;
        // The stretches that rest on few cases go to a faded copy of the path.
        PathShape path{{}, palette()[series.style.colour], 2, series.style.dash, series.name};
        PathShape faded = path;
        faded.opacity = faintOpacity;
        Polyline run;
        bool runFaint = false;
        const auto endRun = [&] {
            // A lone point would draw nothing: it becomes a short level stroke.
            if (run.size() == 1) run = {{run[0].first - 3, run[0].second}, {run[0].first + 3, run[0].second}};
            fit(run);
            if (!run.empty()) (runFaint ? faded : path).runs.push_back(std::move(run));
            run.clear();
        };
        const auto faintAt = [&](std::size_t i) { return i < series.faint.size() && series.faint[i]; };
        std::optional<std::pair<double, double>> last;
        for (std::size_t i = 0; i < series.points.size(); ++i) {
            const auto& point = series.points[i];
            if (!point) {
                endRun();
                continue;
            }
            const double x = xAt(point->first), y = yAt(point->second);
            last = {x, y};
            if (series.style.steps) {
                // Each ranked item is a step one unit wide, centred on its rank.
                run.emplace_back(xAt(point->first - 0.5), y);
                run.emplace_back(xAt(point->first + 0.5), y);
                continue;
            }
            // A segment is faint when either end is; a change of kind starts a run at the shared point.
            const bool joined = !run.empty();
            const bool faint = faintAt(i) || (joined && faintAt(i - 1));
            if (joined && faint != runFaint) {
                const auto shared = run.back();
                if (run.size() == 1) run.clear();  // a lone start belongs to the segment that follows
                endRun();
                run.push_back(shared);
                runFaint = faint;
            }
            if (run.empty()) runFaint = faintAt(i);
            run.emplace_back(x, y);
        }
        endRun();
        shapes.push_back(std::move(path));
        if (!faded.runs.empty()) shapes.push_back(std::move(faded));
        if (series.style.endMarker >= 0 && last)
            points.push_back(MarkerShape{last->first, last->second, markerKind(series.style.endMarker),
                                         palette()[series.style.colour], markerSize, series.name});
    }
    shapes.insert(shapes.end(), points.begin(), points.end());
    if (!chart.hasData()) {
        shapes.push_back(TextShape{(left + right) / 2, (top + bottom) / 2, "No tests to show", labelSize,
                                   Anchor::Middle, false, false, mutedText});
    }

    for (std::size_t i = 0; i < noteLines.size(); ++i) {
        shapes.push_back(TextShape{margin,
                                   height - margin - static_cast<double>(noteLines.size() - 1 - i) * (labelSize + 5),
                                   noteLines[i], labelSize, Anchor::Start, false, false, mutedText});
    }
    return scene;
}

}  // namespace quillon::charts
