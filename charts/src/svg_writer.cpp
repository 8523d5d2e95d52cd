#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "quillon/charts/report.h"
#include "utf8.h"

namespace quillon::charts {
namespace {

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", std::round(value * 10) / 10);
    std::string text(buffer);
    if (text.ends_with(".0")) text.resize(text.size() - 2);
    return text == "-0" ? "0" : text;
}

std::string opacityText(double opacity) {
    char text[16];
    std::snprintf(text, sizeof text, "%.2f", opacity);
    return text;
}

std::string dashAttribute(int dash) {
    const auto& patterns = dashPattern();
    if (dash < 0 || dash >= static_cast<int>(patterns.size()) || patterns[static_cast<std::size_t>(dash)].empty()) {
        return "";
    }
    std::string text = " stroke-dasharray=\"";
    for (double length : patterns[static_cast<std::size_t>(dash)]) text += number(length) + " ";
    text.back() = '"';
    return text;
}

// A point's mark: the circle filled and white-edged, every other mark an outline a size larger,
// so that marks of several rules on one spot all stay visible.
std::string markerElement(const MarkerShape& marker) {
    const MarkerOutline outline = markerOutline(marker);
    const std::string paint =
        "data-point=\"" + escapeMarkup(marker.name) + "\" " +
        (outline.corners.empty() ? "fill=\"" + marker.colour + "\" stroke=\"#FFFFFF\" stroke-width=\"1\""
                                 : "fill=\"none\" stroke=\"" + marker.colour + "\" stroke-width=\"1.5\"");
    if (outline.corners.empty()) {
        return "<circle " + paint + " cx=\"" + number(marker.x) + "\" cy=\"" + number(marker.y) + "\" r=\"" +
               number(outline.radius) + "\"/>\n";
    }
    std::string d;
    for (const auto& [cx, cy] : outline.corners) d += (d.empty() ? "M" : " L") + number(cx) + " " + number(cy);
    return "<path " + paint + " d=\"" + d + " Z\"/>\n";
}

}  // namespace

std::string escapeMarkup(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = decodeUtf8(text, at).length;
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        if (length == 1) {
            const char c = text[at];
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
                case '\'':
                    out += "&#39;";
                    break;
                default:
                    if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n') out += c;
            }
        } else {
            out.append(text.substr(at, length));
        }
        at += length;
    }
    return out;
}

std::string svgTitleAndDesc(const std::string& title, const std::string& description) {
    std::string out;
    if (!title.empty()) out += "<title>" + escapeMarkup(title) + "</title>\n";
    if (!description.empty()) out += "<desc>" + escapeMarkup(description) + "</desc>\n";
    return out;
}

std::string svgElement(const Scene& scene) {
    std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(scene.width) + "\" height=\"" +
                      number(scene.height) + "\" viewBox=\"0 0 " + number(scene.width) + " " + number(scene.height) +
                      "\" font-family=\"'DejaVu Sans', 'Liberation Sans', Arial, sans-serif\" role=\"img\">\n";
    out += svgTitleAndDesc(scene.title, scene.description);
    out += "<rect width=\"100%\" height=\"100%\" fill=\"#FFFFFF\"/>\n";
    for (const Shape& shape : scene.shapes) {
        if (const auto* line = std::get_if<LineShape>(&shape)) {
            out += "<line x1=\"" + number(line->x1) + "\" y1=\"" + number(line->y1) + "\" x2=\"" + number(line->x2) +
                   "\" y2=\"" + number(line->y2) + "\" stroke=\"" + line->colour + "\" stroke-width=\"" +
                   number(line->width) + "\"" + dashAttribute(line->dash) + "/>\n";
        } else if (const auto* path = std::get_if<PathShape>(&shape)) {
            std::string d;
            for (const auto& run : path->runs) {
                for (std::size_t i = 0; i < run.size(); ++i) {
                    d +=
                        (i == 0 ? (d.empty() ? "M" : " M") : " L") + number(run[i].first) + " " + number(run[i].second);
                }
            }
            // An empty series keeps its element, so each series is one path whatever its data.
            out += "<path data-series=\"" + escapeMarkup(path->name) + "\" d=\"" + d + "\" fill=\"none\" stroke=\"" +
                   path->colour + "\" stroke-width=\"" + number(path->width) +
                   "\" stroke-linejoin=\"round\" stroke-linecap=\"round\"" + dashAttribute(path->dash) +
                   (path->opacity < 1 ? " stroke-opacity=\"" + opacityText(path->opacity) + "\" data-faded=\"true\""
                                      : std::string()) +
                   "/>\n";
        } else if (const auto* area = std::get_if<AreaShape>(&shape)) {
            std::string d;
            for (const auto& outline : area->outlines) {
                for (std::size_t i = 0; i < outline.size(); ++i)
                    d += (i == 0 ? (d.empty() ? "M" : " M") : " L") + number(outline[i].first) + " " +
                         number(outline[i].second);
                d += " Z";
            }
            out += "<path data-band=\"" + escapeMarkup(area->name) + "\" d=\"" + d + "\" fill=\"" + area->colour +
                   "\" fill-opacity=\"" + opacityText(area->opacity) + "\" stroke=\"none\"/>\n";
        } else if (const auto* marker = std::get_if<MarkerShape>(&shape)) {
            out += markerElement(*marker);
        } else if (const auto* text = std::get_if<TextShape>(&shape)) {
            const char* anchor = text->anchor == Anchor::Start    ? "start"
                                 : text->anchor == Anchor::Middle ? "middle"
                                                                  : "end";
            out += "<text x=\"" + number(text->x) + "\" y=\"" + number(text->y) + "\" font-size=\"" +
                   number(text->size) + "\" text-anchor=\"" + anchor + "\" fill=\"" + text->colour + "\"";
            if (text->bold) out += " font-weight=\"bold\"";
            if (text->vertical) out += " transform=\"rotate(-90 " + number(text->x) + " " + number(text->y) + ")\"";
            out += ">" + escapeMarkup(text->text) + "</text>\n";
        }
    }
    return out + "</svg>\n";
}

std::string svgDocument(const Scene& scene) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + svgElement(scene);
}

}  // namespace quillon::charts
