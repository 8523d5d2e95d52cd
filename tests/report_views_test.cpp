// The pool's charts and lists, the report's order and print blocks, text widths for the legend,
// and the names SVG files give screen readers.
#include <expat.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "failure_text.h"
#include "quillon/charts/chart_model.h"
#include "quillon/charts/chart_scene.h"
#include "quillon/charts/confusion_map.h"
#include "quillon/charts/report.h"
#include "quillon/charts/study_report.h"
#include "quillon/charts/table_reader.h"
#include "quillon/engine/output_tables.h"

namespace quillon::charts {
namespace {

std::string xmlError(const std::string& text) {
    XML_Parser parser = XML_ParserCreate("UTF-8");
    std::string error;
    if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_ERROR)
        error = XML_ErrorString(XML_GetErrorCode(parser));
    XML_ParserFree(parser);
    return error;
}

TEST(ChartLayout, LegendEntriesNeverRunIntoTheNextSwatch) {
    // Widths from the font itself: "max-length=10" is 16051 font units in DejaVu Sans, 17705 in bold.
    EXPECT_NEAR(textWidth("max-length=10", 12), 16051.0 / 2048 * 12, 1e-9);
    EXPECT_NEAR(textWidth("max-length=10", 12, true), 17705.0 / 2048 * 12, 1e-9);
    EXPECT_NEAR(textWidth("\xE2\x89\xA5", 10), 1716.0 / 2048 * 10, 1e-9);  // a sign the labels use
    // A character outside the table, or a broken byte, counts wider than any real glyph ("W").
    EXPECT_GT(textWidth("\xE6\xBC\xA2", 12), textWidth("W", 12));
    EXPECT_GT(textWidth("\xFF", 12), textWidth("W", 12));

    Chart chart;
    chart.title = "Legend";
    chart.x = niceAxis(0, 10, 5, true);
    chart.y = percentAxis(0, 1, false);
    for (const char* name : {"max-length=10", "method=MaxDiscr, max_length=10", "WWWWWWWWWWWWWWWW", "mmmmmmmmmmmm",
                             "\xE6\xBC\xA2\xE5\xAD\x97 \xC2\xB7 run", "MAP \xC2\xB7 A", "Posterior \xE2\x89\xA5 .95",
                             "iiiiiiiiiiiiiiii", "SPRT (of decided) \xC2\xB7 a long run label"}) {
        chart.series.push_back(Series{name, SeriesStyle{0, 0, false}, {std::pair{1.0, .5}}});
    }
    const Scene scene = layoutChart(chart);
    // The legend: each swatch (a short line) followed by its text, in rows.
    struct Entry {
        double swatch, y, textEnd;
    };
    std::vector<Entry> entries;
    for (std::size_t i = 0; i + 1 < scene.shapes.size(); ++i) {
        const auto* line = std::get_if<LineShape>(&scene.shapes[i]);
        const auto* text = std::get_if<TextShape>(&scene.shapes[i + 1]);
        if (!line || !text || line->width != 2.5) continue;
        entries.push_back({line->x1, text->y, text->x + textWidth(text->text, text->size)});
    }
    ASSERT_EQ(entries.size(), chart.series.size());
    for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
        EXPECT_LE(entries[i].textEnd, scene.width - 16) << i;  // inside the canvas
        if (entries[i + 1].y == entries[i].y) {
            EXPECT_LT(entries[i].textEnd + 8, entries[i + 1].swatch) << i;
        }
    }
}

TEST(SvgAccessibility, EverySvgNamesItsTitleAndCaption) {
    Chart chart;
    chart.id = "c";
    chart.title = "Rates <by> item & run";
    chart.x = niceAxis(0, 3, 3, true);
    chart.y = percentAxis(0, 1, false);
    chart.series.push_back(Series{"s", SeriesStyle{}, {std::pair{1.0, .5}}});
    chart.notes = {"First note.", "Second \"quoted\" note."};
    const std::string svg = svgDocument(layoutChart(chart));
    EXPECT_EQ(xmlError(svg), "");
    const std::size_t title = svg.find("<title>Rates &lt;by&gt; item &amp; run</title>");
    EXPECT_NE(title, std::string::npos) << svg;
    EXPECT_NE(svg.find("<desc>First note. Second &quot;quoted&quot; note.</desc>"), std::string::npos);
    EXPECT_LT(title, svg.find("<rect"));                            // the first child, where readers look for it
    EXPECT_NE(svg.find(">First note.</text>"), std::string::npos);  // and the caption stays visible

    ConfusionCounts counts;
    counts.groupCount = 2;
    counts.maxTestLength = 1;
    counts.counts = {3, 1, 0, 4, 2, 0, 0, 3};
    counts.outside = {0, 0};
    const std::string map = confusionMapSvg(counts, 1, "Run <A>: matrix");
    EXPECT_EQ(xmlError(map), "");
    EXPECT_NE(map.find("<title>Run &lt;A&gt;: matrix</title>"), std::string::npos);
    EXPECT_NE(map.find("<desc>Rows: the true group"), std::string::npos);
}

TEST(StudyReport, FalsePositiveNoteFollowsTheGroupCount) {
    const auto figuresWith = [](std::vector<bool> twoGroups) {
        StudyFigures figures;
        figures.replications = 1;
        for (bool two : twoGroups) {
            ConditionFigures condition;
            condition.number = condition.reference = static_cast<std::int64_t>(figures.conditions.size()) + 1;
            LengthFigures line;
            line.length = 1;
            line.replications = 1;
            for (std::size_t m = 0; m < line.measures.size(); ++m)
                if (two || m < 8) line.measures[m] = FigureSummary{1, .5, 0.0, .5, .5, .5};
            condition.lengths.push_back(line);
            figures.conditions.push_back(condition);
        }
        return figures;
    };
    struct Case {
        std::vector<bool> twoGroups;
        bool passFail, lowerGroup;
    };
    const Case cases[] = {{{true}, true, false}, {{false}, false, true}, {{true, false}, true, true}};
    for (const Case& c : cases) {
        const auto sets = buildStudyCharts(figuresWith(c.twoGroups));
        ASSERT_TRUE(sets.ok()) << failureText(sets);
        const auto fp =
            std::find_if(sets->begin(), sets->end(), [](const auto& s) { return s.id == "false-positives"; });
        ASSERT_NE(fp, sets->end());
        std::string notes;
        for (const std::string& note : fp->notes) notes += note;
        EXPECT_EQ(notes.find("Fail classed as Pass") != std::string::npos, c.passFail) << notes;
        EXPECT_EQ(notes.find("in a lower group") != std::string::npos, c.lowerGroup) << notes;
    }
}

}  // namespace
}  // namespace quillon::charts
