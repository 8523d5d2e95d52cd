#include "chart_key.h"

#include "quillon/charts/chart_scene.h"
#include "quillon/charts/report.h"

namespace quillon::charts {

std::string swatch(SeriesStyle style) {
    Scene scene{28, 14, {}};
    const std::string& colour = palette()[static_cast<std::size_t>(style.colour)];
    if (style.marker >= 0) {
        scene.shapes.push_back(
            MarkerShape{14, 7, static_cast<MarkerKind>(style.marker % markerKindCount), colour, 9, ""});
    } else {
        scene.shapes.push_back(LineShape{2, 7, 26, 7, colour, 2.5, style.dash});
    }
    return svgElement(scene);
}

std::string keyEntry(SeriesStyle style, const std::string& text) {
    return "<span class=\"entry\">" + swatch(style) + " " + escapeMarkup(text) + "</span>";
}

const char* const panelStyle = R"(
.panels { display: flex; flex-wrap: wrap; gap: 6px; }
.panels svg { flex: none; }
figcaption { font-weight: 600; font-size: 16px; margin-bottom: 6px; }
.key { margin: 6px 0; font-size: 14px; }
.key .entry { white-space: nowrap; margin-right: 14px; }
.key svg, td svg { vertical-align: middle; }
)";

}  // namespace quillon::charts
