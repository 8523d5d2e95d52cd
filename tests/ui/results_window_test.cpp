// The Results window after "Go": the charts of that run's tables, its report button, and "View"
// when no program can open a file.
#include <wx/dcmemory.h>
#include <wx/display.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "chart_painter.h"
#include "failure_text.h"
#include "quillon/charts/report.h"
#include "quillon/charts/table_reader.h"
#include "quillon/engine/input_files.h"
#include "ui_test_support.h"

// Failures show rectangles as x,y wxh rather than as bytes.
inline void PrintTo(const wxRect& rect, std::ostream* out) {
    *out << rect.x << "," << rect.y << " " << rect.width << "x" << rect.height;
}

namespace quillon::ui {
namespace {

bool generate(const std::string& arguments) {
    return std::system((QUILLON_SIM " generate --quiet " + arguments + " --out data > /dev/null").c_str()) == 0;
}

// A fresh working folder holding generated sample data, so the window's default paths find it.
struct SampleFolder : TempFolder {
    SampleFolder() {
        wxSetWorkingDirectory(path);
        ready = generate("--items 40 --collections 2 --examinees 60");
    }
    ~SampleFolder() { wxSetWorkingDirectory(home); }
    wxString home = wxGetCwd();
    bool ready = false;
};

void pressButton(wxWindow* window, int buttonId) {
    wxWindow* button = window->FindWindow(buttonId);
    ASSERT_NE(button, nullptr);
    wxCommandEvent event(wxEVT_BUTTON, buttonId);
    event.SetEventObject(button);
    button->ProcessWindowEvent(event);
}

// The charts shown are the model's charts of the given tables, series by series.
void expectSameCharts(const std::vector<charts::Chart>& shown, const std::vector<charts::Chart>& expected) {
    ASSERT_EQ(shown.size(), expected.size());
    for (std::size_t c = 0; c < expected.size(); ++c) {
        EXPECT_EQ(shown[c].title, expected[c].title);
        EXPECT_EQ(shown[c].notes, expected[c].notes);
        ASSERT_EQ(shown[c].series.size(), expected[c].series.size());
        for (std::size_t s = 0; s < expected[c].series.size(); ++s) {
            EXPECT_EQ(shown[c].series[s].name, expected[c].series[s].name);
            EXPECT_EQ(shown[c].series[s].points, expected[c].series[s].points);
        }
    }
}

TEST(ResultsWindow, OpensAfterDoneWithTheChartsOfThatRunsTables) {
    SampleFolder folder;
    ASSERT_TRUE(folder.ready);
    RecordingWindow ui;
    ui.box(2087)->ChangeValue("12");
    ui.click(id::go);
    ASSERT_TRUE(pumpEvents([&] { return !ui.window->isRunning() && ui.window->resultsWindow() != nullptr; }));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_TRUE(ui.messages[0].starts_with("Done"));
    ResultsWindow* results = ui.window->resultsWindow();
    EXPECT_TRUE(results->IsShown());
    EXPECT_TRUE(results->IsTopLevel());
    // Owned by the main window and floating on it, so the main window cannot cover it.
    EXPECT_EQ(results->GetParent(), ui.window);
    EXPECT_TRUE(results->HasFlag(wxFRAME_FLOAT_ON_PARENT));
    EXPECT_TRUE(ui.window->control(id::go)->IsThisEnabled());  // the main window is usable at once

    // The same charts as the model makes of the two tables the run wrote.
    charts::RunTables run;
    ASSERT_EQ(
        takeInto(charts::loadRunTables({"data/samplepassfail_results.csv", "data/samplepassfail_expos.csv", "", ""}),
                 run),
        "");
    // Without "Use SPRT" the run writes no stopping table and shows no stopping chart.
    EXPECT_FALSE(std::filesystem::exists("data/samplepassfail_results_stopping.csv"));
    expectSameCharts(results->charts(), charts::buildCharts({run}));
    ASSERT_EQ(results->charts().size(), 7u);  // with the pool's separation scatter
    EXPECT_EQ(results->charts()[0].series[0].points.size(), 12u);

    // The report button writes the report beside the results table and opens it.
    pressButton(results, reportButtonId);
    const std::string report = wxGetCwd().utf8_string() + "/data/samplepassfail_results_report.html";
    EXPECT_EQ(results->reportPath(), report);
    ASSERT_EQ(ui.launched, std::vector<std::string>{results->reportPath()});
    const std::string html = readFile(report);
    EXPECT_NE(html.find("<th>12 items</th>"), std::string::npos);
    std::size_t charts = 0;
    for (std::size_t at = html.find("<svg"); at != std::string::npos; at = html.find("<svg", at + 1)) ++charts;
    EXPECT_EQ(charts, 7u + 3u);  // seven charts and the three swatches of the error panels' key
    EXPECT_EQ(ui.messages.size(), 1u);

    ui.launchWorks = false;
    pressButton(results, reportButtonId);
    EXPECT_EQ(ui.messages.back(), "No program could open the file " + upperName(report) + ".");

    // The charts are laid out at the window's width, down to the smallest chart width.
    for (const int width : {1000, 500, 200}) {
        results->SetClientSize(width, 600);
        pumpEvents();
        for (wxWindow* child : results->GetChildren().GetFirst()->GetData()->GetChildren()) {
            const auto* chart = dynamic_cast<ChartPanel*>(child);
            ASSERT_NE(chart, nullptr);
            EXPECT_EQ(chart->scene().width, std::max<double>(chart->GetClientSize().x, smallestChartWidth)) << width;
            if (width == 1000) {
                EXPECT_GT(chart->scene().width, charts::chartWidth);
            } else if (width == 500) {
                EXPECT_LT(chart->scene().width, charts::chartWidth);
            }
        }
    }

    wxWeakRef<ResultsWindow> closing(results);
    pressButton(results, wxID_CLOSE);
    EXPECT_TRUE(pumpEvents([&] { return !closing; }));
    EXPECT_TRUE(ui.window);
}

TEST(ResultsWindow, OpensBesideItsOwnerWhereTheScreenHasRoom) {
    const wxRect screen(0, 0, 1280, 1000), secondScreen(1280, 24, 1920, 1056);
    const wxSize size(700, 760), smallest(400, 300);
    struct Case {
        wxRect owner, screen, expected;
    };
    for (const Case& c : {
             Case{{10, 20, 500, 500}, screen, {518, 20, 700, 760}},       // right of it
             Case{{760, 20, 500, 500}, screen, {52, 20, 700, 760}},       // no room right: left of it
             Case{{207, 3, 627, 570}, screen, {842, 3, 438, 760}},        // narrowed into the room on the right
             Case{{600, 3, 627, 570}, screen, {0, 3, 592, 760}},          // narrowed into the wider room on the left
             Case{{300, 400, 700, 700}, screen, {580, 240, 700, 760}},    // no room either side: at the right edge
             Case{{0, -50, 300, 300}, screen, {308, 0, 700, 760}},        // never above the screen
             Case{{0, 0, 626, 560}, {0, 0, 640, 512}, {0, 0, 640, 512}},  // a screen smaller than the window
             Case{{1300, 30, 600, 500}, secondScreen, {1908, 30, 700, 760}},  // on the owner's own display
             Case{{2550, 30, 600, 500}, secondScreen, {1842, 30, 700, 760}},
         }) {
        EXPECT_EQ(besideOwner(c.owner, size, smallest, c.screen), c.expected) << c.owner.x << "," << c.owner.y;
    }
}

// Whatever GDK_SCALE is (ctest runs this at 1 and 2), the window opens on the main window's
// display in wx's own coordinates, above the main window, beside it when there is room, and lays
// its charts out at its own width.
TEST(ResultsWindow, OpensOnTheMainWindowsDisplayBesideIt) {
    SampleFolder folder;
    ASSERT_TRUE(folder.ready);
    RecordingWindow ui;
    ui.box(2087)->ChangeValue("5");
    ui.click(id::go);
    ASSERT_TRUE(pumpEvents([&] { return ui.window->resultsWindow() != nullptr; }));
    ResultsWindow* results = ui.window->resultsWindow();
    pumpEvents();
    const wxRect screen = wxDisplay(ui.window.get()).GetClientArea();
    const wxRect main = ui.window->GetScreenRect(), placed = results->GetScreenRect();
    EXPECT_TRUE(screen.Contains(placed)) << testing::PrintToString(placed) << " on " << testing::PrintToString(screen);
    const wxSize readable = results->readableSize();
    EXPECT_EQ(placed, besideOwner(main, placed.GetSize(), readable, screen)) << testing::PrintToString(readable);
    const int room = std::max(screen.GetRight() - main.GetRight(), main.GetLeft() - screen.GetLeft()) - 8;
    if (room >= readable.x) {
        EXPECT_FALSE(placed.Intersects(main));
    }
    // Narrowed or not, the charts' titles and notes show whole where the screen is wide enough.
    const bool wideEnough = placed.width >= readable.x;
    EXPECT_EQ(wideEnough, screen.width >= readable.x);
    EXPECT_TRUE(results->HasFlag(wxFRAME_FLOAT_ON_PARENT));
    for (wxWindow* child : results->GetChildren().GetFirst()->GetData()->GetChildren()) {
        const auto* chart = dynamic_cast<ChartPanel*>(child);
        ASSERT_NE(chart, nullptr);
        EXPECT_EQ(chart->scene().width, std::max<double>(chart->GetClientSize().x, smallestChartWidth));
        EXPECT_LE(chart->GetScreenRect().GetRight(), placed.GetRight());
        if (wideEnough) {
            EXPECT_LE(chart->readableWidth(), chart->GetClientSize().x) << chart->chart().title;
        }
    }
}

TEST(ResultsWindow, UseSprtWritesTheStoppingTableAndShowsItsChart) {
    SampleFolder folder;
    ASSERT_TRUE(folder.ready);
    RecordingWindow ui;
    ui.box(2087)->ChangeValue("15");
    ui.click(id::useSprt);
    ui.click(id::go);
    ASSERT_TRUE(pumpEvents([&] { return !ui.window->isRunning() && ui.window->resultsWindow() != nullptr; }));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_TRUE(ui.messages[0].starts_with("Done"));

    // The table beside the results, as quillon-sim names it, and the chart the model makes of it.
    const std::string stopping = "data/samplepassfail_results_stopping.csv";
    const Outcome<StoppingResults> read = readStoppingFile(stopping);
    ASSERT_TRUE(read.ok()) << failureText(read);
    EXPECT_EQ(read.value().maxTestLength, 15);
    EXPECT_EQ(read.value().rules.size(), 2u);  // the SPRT and the default threshold
    charts::RunTables run;
    ASSERT_EQ(takeInto(charts::loadRunTables(
                           {"data/samplepassfail_results.csv", "data/samplepassfail_expos.csv", "", stopping}),
                       run),
              "");
    ResultsWindow* results = ui.window->resultsWindow();
    expectSameCharts(results->charts(), charts::buildCharts({run}));
    ASSERT_EQ(results->charts().size(), 9u);  // the stopping chart, then the trade-off
    const charts::Chart& chart = results->charts()[7];
    EXPECT_EQ(chart.id, "stopping-lengths");
    ASSERT_EQ(chart.series.size(), 2u);
    EXPECT_EQ(chart.series[0].name, "SPRT");
    EXPECT_EQ(chart.series[0].points.size(), 15u);
    EXPECT_TRUE(chart.notes[0].starts_with("SPRT: ATL "));

    // The report the button writes carries the stopping table too.
    pressButton(results, reportButtonId);
    const std::string html = readFile(results->reportPath());
    EXPECT_NE(html.find("<td>SPRT</td>"), std::string::npos);
    EXPECT_NE(html.find("samplepassfail_results_stopping.csv"), std::string::npos);
}

TEST(ResultsWindow, ClosesWithTheMainWindowSoTheProgramEnds) {
    SampleFolder folder;
    ASSERT_TRUE(folder.ready);
    RecordingWindow ui;
    ui.box(2087)->ChangeValue("5");
    ui.click(id::go);
    ASSERT_TRUE(pumpEvents([&] { return ui.window->resultsWindow() != nullptr; }));
    wxWeakRef<ResultsWindow> results(ui.window->resultsWindow());
    ui.click(id::go);  // a second run replaces the first one's window
    ASSERT_TRUE(pumpEvents([&] { return !results && ui.window->resultsWindow() != nullptr; }));
    results = ui.window->resultsWindow();
    ui.click(id::exit);
    EXPECT_TRUE(pumpEvents([&] { return !ui.window && !results; }));
}

TEST(ResultsWindow, ARunThatEndsWithAMessageOpensNothing) {
    SampleFolder folder;
    ASSERT_TRUE(folder.ready);
    RecordingWindow ui;
    ui.box(2030)->ChangeValue("missing.csv");
    ui.click(id::go);
    ASSERT_TRUE(pumpEvents([&] { return !ui.window->isRunning(); }));
    EXPECT_EQ(ui.messages, std::vector<std::string>{"Pool file MISSING.CSV is not available."});
    EXPECT_EQ(ui.window->resultsWindow(), nullptr);
}

TEST(ResultsWindow, ViewSaysSoWhenNoProgramCanOpenTheFile) {
    SampleFolder folder;
    ASSERT_TRUE(folder.ready);
    RecordingWindow ui;
    ui.launchWorks = false;
    ui.window->viewFile("data/samplepassfail_pool.csv");
    EXPECT_EQ(ui.launched, std::vector<std::string>{"data/samplepassfail_pool.csv"});
    EXPECT_EQ(ui.messages, std::vector<std::string>{"No program could open the file DATA/SAMPLEPASSFAIL_POOL.CSV."});
}

// The window paints what the report draws: a band is filled see-through over the white canvas,
// and a faded line is lighter than a solid one.
TEST(ResultsWindow, PaintsBandsAndFadedLinesAsTheReportDoes) {
    charts::Scene scene;
    scene.width = scene.height = 60;
    scene.shapes.push_back(charts::AreaShape{{{{5, 5}, {55, 5}, {55, 25}, {5, 25}}}, "#0072B2", 0.25, "band"});
    charts::PathShape solid{{{{5, 40}, {55, 40}}}, "#0072B2", 4, 0, "solid"};
    charts::PathShape faded = solid;
    faded.runs = {{{5, 50}, {55, 50}}};
    faded.opacity = 0.35;
    scene.shapes.push_back(solid);
    scene.shapes.push_back(faded);
    wxBitmap bitmap(60, 60, 24);
    {
        wxMemoryDC dc(bitmap);
        std::unique_ptr<wxGraphicsContext> context(wxGraphicsContext::Create(dc));
        ASSERT_TRUE(context);
        paintScene(*context, scene);
    }
    const wxImage image = bitmap.ConvertToImage();
    const auto red = [&](int x, int y) { return static_cast<int>(image.GetRed(x, y)); };
    EXPECT_EQ(red(2, 2), 255);            // the canvas
    EXPECT_LT(red(30, 15), 250);          // the band is tinted...
    EXPECT_GT(red(30, 15), red(30, 40));  // ...lighter than the solid line
    EXPECT_GT(red(30, 50), red(30, 40));  // the faded line is lighter than the solid one
}

}  // namespace
}  // namespace quillon::ui
