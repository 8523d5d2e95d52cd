#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "quillon/charts/chart_model.h"

namespace quillon::charts {

/// A straight line in scene pixels (axes, grid, ticks, legend samples).
struct LineShape {
    double x1, y1, x2, y2;
    std::string colour;
    double width;
    int dash = 0;  // index into dashPattern()
};

/// A series: one or more runs of connected points, drawn as one stroke.
struct PathShape {
    std::vector<std::vector<std::pair<double, double>>> runs;
    std::string colour;
    double width;
    int dash;
    std::string name;    // the series' legend entry
    double opacity = 1;  // below 1: points on too few cases
};

/// A series' shaded band: closed outlines filled see-through, drawn under every line.
struct AreaShape {
    std::vector<std::vector<std::pair<double, double>>> outlines;
    std::string colour;
    double opacity;
    std::string name;  // the series' legend entry
};

/// A point of a marker series, centred on (x, y); `size` is its width in pixels.
struct MarkerShape {
    double x, y;
    MarkerKind kind;
    std::string colour;
    double size;
    std::string name;  // the series' legend entry
};

/// How both renderers draw a marker: the circle filled (white-edged) with `radius`, every other
/// mark an outline through `corners`, a size larger, so that marks on one spot all stay visible.
struct MarkerOutline {
    double radius = 0;
    std::vector<std::pair<double, double>> corners;  // empty: the circle
};

/// The outline of `marker` in scene pixels.
MarkerOutline markerOutline(const MarkerShape& marker);

enum class Anchor { Start, Middle, End };

/// A text placed by its baseline point; `vertical` turns it a quarter counter-clockwise.
struct TextShape {
    double x, y;
    std::string text;  // UTF-8
    double size;
    Anchor anchor = Anchor::Start;
    bool bold = false;
    bool vertical = false;
    std::string colour = "#222222";
};

using Shape = std::variant<LineShape, PathShape, TextShape, AreaShape, MarkerShape>;

/// A chart laid out in pixels: what both renderers draw, so they cannot disagree.
struct Scene {
    double width = 0, height = 0;
    std::vector<Shape> shapes;
    std::string title = {}, description = {};  // what a screen reader announces: the chart's title and notes
    double plotLeft = 0, plotTop = 0, plotRight = 0, plotBottom = 0;  // where the axes' ranges fall
};

/// The default size of a chart, in pixels.
inline constexpr double chartWidth = 720, chartHeight = 430;

/// Lays out `chart` on a `width` by `height` canvas (taller when its legend needs the room):
/// title, legend, axes, grid, bands and series.
Scene layoutChart(const Chart& chart, double width = chartWidth, double height = chartHeight);

/// The width in pixels of a text set in DejaVu Sans (bold with `bold`), the face the SVG names
/// first, from its real advance widths; characters the table lacks count wide, never narrow.
double textWidth(const std::string& text, double size, bool bold = false);

}  // namespace quillon::charts
