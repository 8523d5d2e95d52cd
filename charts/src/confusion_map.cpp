#include "quillon/charts/confusion_map.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "quillon/charts/report.h"

namespace quillon::charts {
namespace {

constexpr double titleSize = 16, labelSize = 12, margin = 16;

// A sequential blue scale (light to dark), so that the order of shares reads in grey print too.
std::string shareColour(double share) {
    constexpr std::array<std::array<int, 3>, 9> stops = {{{247, 251, 255},
                                                          {222, 235, 247},
                                                          {198, 219, 239},
                                                          {158, 202, 225},
                                                          {107, 174, 214},
                                                          {66, 146, 198},
                                                          {33, 113, 181},
                                                          {8, 81, 156},
                                                          {8, 48, 107}}};
    const double at = std::clamp(share, 0.0, 1.0) * static_cast<double>(stops.size() - 1);
    const auto low = std::min(static_cast<std::size_t>(at), stops.size() - 2);
    const double part = at - static_cast<double>(low);
    char text[8];
    std::snprintf(text, sizeof text, "#%02X%02X%02X",
                  static_cast<int>(std::lround(stops[low][0] + part * (stops[low + 1][0] - stops[low][0]))),
                  static_cast<int>(std::lround(stops[low][1] + part * (stops[low + 1][1] - stops[low][1]))),
                  static_cast<int>(std::lround(stops[low][2] + part * (stops[low + 1][2] - stops[low][2]))));
    return text;
}

std::string px(double value) { return fixedText(value, 1); }

std::string text(double x, double y, const std::string& words, double size, const char* anchor,
                 const std::string& extra = "", const char* colour = "#222222") {
    return "<text x=\"" + px(x) + "\" y=\"" + px(y) + "\" font-size=\"" + px(size) + "\" text-anchor=\"" + anchor +
           "\" fill=\"" + colour + "\"" + extra + ">" + escapeMarkup(words) + "</text>\n";
}

}  // namespace

std::vector<std::int32_t> confusionLengths(const std::vector<std::int32_t>& chosen, std::int32_t maxTestLength) {
    std::vector<std::int32_t> lengths = chosen.empty() ? std::vector<std::int32_t>{5, 10, 20, maxTestLength} : chosen;
    std::erase_if(lengths, [&](std::int32_t n) { return n < 1 || n > maxTestLength; });
    std::sort(lengths.begin(), lengths.end());
    lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());
    return lengths;
}

std::string confusionMapSvg(const ConfusionCounts& table, std::int32_t length, const std::string& title) {
    const std::int32_t groups = table.groupCount;
    // Cells keep room for a count and a share; the SPRT goes under the MAP when both do not fit the
    // width, so that a page scales many groups no smaller.
    const double cell = std::clamp(240.0 / groups, 46.0, 64.0);
    const double matrix = cell * groups;
    const double left = 58, rowTotals = 64;  // the true-group labels; the row totals
    const double panelWidth = left + matrix + rowTotals, gap = 24;
    const bool stacked = 2 * margin + 2 * panelWidth + gap > 720;
    const double width = std::max(720.0, 2 * margin + panelWidth);
    const double panelTop = margin + titleSize + 58;  // title, then each panel's rule name
    const double panelHeight = matrix + 58 + gap;
    const double keyTop = panelTop + (stacked ? panelHeight : 0) + matrix + 40;
    const double height = keyTop + 36;

    std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + px(width) + "\" height=\"" + px(height) +
                      "\" viewBox=\"0 0 " + px(width) + " " + px(height) +
                      "\" font-family=\"'DejaVu Sans', 'Liberation Sans', Arial, sans-serif\" role=\"img\" "
                      "data-confusion-length=\"" +
                      std::to_string(length) + "\">\n";
    out += svgTitleAndDesc(title,
                           "Rows: the true group; columns: the decided group, for MAP (all tests) and the "
                           "SPRT (the tests it had decided). Each cell gives its count of tests and their "
                           "share of the row; the diagonal holds the correct classifications.");
    out += "<rect width=\"100%\" height=\"100%\" fill=\"#FFFFFF\"/>\n";
    out += text(margin, margin + titleSize, title, titleSize, "start", " font-weight=\"bold\"");

    const char* const ruleTitles[] = {"MAP (all tests)", "SPRT (of decided)"};
    for (int rule = 0; rule < 2; ++rule) {
        const double x0 = margin + (stacked ? 0 : rule * (panelWidth + gap)) + left;
        const double top = panelTop + (stacked ? rule * panelHeight : 0);
        out += "<g data-rule=\"" + std::string(rule == 0 ? "MAP" : "SPRT") + "\">\n";
        out += text(x0 + matrix / 2, top - 30, ruleTitles[rule], 13, "middle", " font-weight=\"bold\"");
        out += text(x0 + matrix / 2, top - 10, "Decided group", labelSize, "middle");
        out += text(x0 + matrix + rowTotals / 2 + 4, top - 10, "Tests", labelSize, "middle");
        const double axisX = x0 - 40, axisY = top + matrix / 2;
        out += text(axisX, axisY, "True group", labelSize, "middle",
                    " transform=\"rotate(-90 " + px(axisX) + " " + px(axisY) + ")\"");
        for (std::int32_t t = 1; t <= groups; ++t) {
            const double y = top + (t - 1) * cell;
            std::int64_t rowTests = 0;
            for (std::int32_t d = 1; d <= groups; ++d) rowTests += table.count(length, rule, t, d);
            out += text(x0 - 8, y + cell / 2 + 4, std::to_string(t), labelSize, "end");
            out += text(x0 + matrix + 8, y + cell / 2 + 4, std::to_string(rowTests), labelSize, "start",
                        " data-row-tests=\"" + std::to_string(rowTests) + "\"");
            for (std::int32_t d = 1; d <= groups; ++d) {
                const double x = x0 + (d - 1) * cell;
                const std::int64_t tests = table.count(length, rule, t, d);
                // A row without tests has no shares: grey, with a dash.
                const bool any = rowTests > 0;
                const double share = any ? static_cast<double>(tests) / static_cast<double>(rowTests) : 0;
                out += "<g data-true=\"" + std::to_string(t) + "\" data-decided=\"" + std::to_string(d) +
                       "\" data-tests=\"" + std::to_string(tests) + "\">\n";
                out += "<rect x=\"" + px(x) + "\" y=\"" + px(y) + "\" width=\"" + px(cell) + "\" height=\"" + px(cell) +
                       "\" fill=\"" + (any ? shareColour(share) : "#EEEEEE") +
                       "\" stroke=\"#FFFFFF\" stroke-width=\"1\"" + (t == d ? "" : "") + "/>\n";
                // Dark cells take white text.
                const char* ink = any && share > 0.55 ? "#FFFFFF" : "#222222";
                out += text(x + cell / 2, y + cell / 2 - 1, std::to_string(tests), 12, "middle",
                            " font-weight=\"bold\"", ink);
                out += text(x + cell / 2, y + cell / 2 + 13, any ? percentText(share, 1) : "\xE2\x80\x93", 10, "middle",
                            "", ink);
                out += "</g>\n";
            }
            // The diagonal (correct classifications) outlined, so that it reads without colour.
            const double dx = x0 + (t - 1) * cell;
            out += "<rect x=\"" + px(dx + 1) + "\" y=\"" + px(y + 1) + "\" width=\"" + px(cell - 2) + "\" height=\"" +
                   px(cell - 2) + "\" fill=\"none\" stroke=\"#222222\" stroke-width=\"1\" stroke-dasharray=\"3 2\"/>\n";
        }
        out += "</g>\n";
    }

    // The colour key: twenty steps of the scale from 0 to 100% of the row.
    const double keyLeft = margin + left, keyWidth = 300;
    out += text(keyLeft, keyTop - 6, "Share of the true group's tests", labelSize, "start");
    for (int step = 0; step < 20; ++step) {
        out += "<rect x=\"" + px(keyLeft + step * keyWidth / 20) + "\" y=\"" + px(keyTop) + "\" width=\"" +
               px(keyWidth / 20 + 0.5) + "\" height=\"12\" fill=\"" + shareColour((step + 0.5) / 20) + "\"/>\n";
    }
    for (int tick = 0; tick <= 4; ++tick) {
        const double x = keyLeft + tick * keyWidth / 4;
        out += "<line x1=\"" + px(x) + "\" y1=\"" + px(keyTop + 12) + "\" x2=\"" + px(x) + "\" y2=\"" +
               px(keyTop + 16) + "\" stroke=\"#222222\" stroke-width=\"1\"/>\n";
        out += text(x, keyTop + 28, std::to_string(tick * 25) + "%", 11, "middle");
    }
    return out + "</svg>\n";
}

}  // namespace quillon::charts
