#include "results_window.h"

#include <wx/button.h>
#include <wx/scrolwin.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/utils.h>

#include <algorithm>
#include <filesystem>

#include "chart_painter.h"
#include "quillon/charts/report.h"
#include "quillon/engine/input_files.h"
#include "wx_text.h"

namespace quillon::ui {
namespace {

// Beside the results table: its name without the extension, then "_report.html".
std::string reportPathFor(const std::string& resultsFile) {
    std::filesystem::path path(resultsFile);
    path.replace_extension();
    return path.string() + "_report.html";
}

}  // namespace

wxRect besideOwner(const wxRect& owner, const wxSize& size, const wxSize& smallest, const wxRect& screen) {
    constexpr int gap = 8;
    // A window larger than the screen would hide its buttons and scroll bar off it.
    const int width = std::min(size.x, screen.width), height = std::min(size.y, screen.height);
    const int roomRight = screen.GetRight() - owner.GetRight() - gap,
              roomLeft = owner.GetLeft() - screen.GetLeft() - gap;
    wxRect placed(0, 0, width, height);
    if (width <= roomRight) {
        placed.x = owner.GetRight() + 1 + gap;
    } else if (width <= roomLeft) {
        placed.x = owner.GetLeft() - gap - width;
    } else if (std::max(roomRight, roomLeft) >= smallest.x) {
        // Narrower charts beat covering the owner's buttons with a window that floats on them.
        placed.width = std::max(roomRight, roomLeft);
        placed.x = roomRight >= roomLeft ? owner.GetRight() + 1 + gap : screen.GetLeft();
    } else {
        placed.x = screen.GetRight() + 1 - width;
    }
    placed.y = std::clamp(owner.GetTop(), screen.GetTop(), screen.GetBottom() + 1 - height);
    return placed;
}

bool launchWithDefaultProgram(const std::string& path) { return wxLaunchDefaultApplication(toWx(path)); }

std::string noProgramMessage(const std::string& path) {
    return "No program could open the file " + upperName(path) + ".";
}

ResultsWindow::ResultsWindow(wxWindow* owner, charts::RunTables run, MessageSink messages, FileLauncher launcher)
    // Floating on its owner: an owned window the window manager could stack below the main one.
    : wxFrame(owner, wxID_ANY, toWx("Quillon results: " + run.label), wxDefaultPosition, wxDefaultSize,
              wxDEFAULT_FRAME_STYLE | (owner != nullptr ? wxFRAME_FLOAT_ON_PARENT : 0)),
      run_(std::move(run)),
      charts_(charts::buildCharts({run_})),
      reportPath_(reportPathFor(run_.resultsFile)),
      messages_(std::move(messages)),
      launcher_(std::move(launcher)) {
    // The charts draw their own paper; around them the window keeps the theme's colours.
    auto* page = new wxScrolledWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxVSCROLL);
    auto* charts = new wxBoxSizer(wxVERTICAL);
    for (const charts::Chart& chart : charts_) {
        auto* panel = new ChartPanel(page, chart);
        charts->Add(panel, 0, wxEXPAND | wxALL, 8);
        readableChartWidth_ = std::max(readableChartWidth_, panel->readableWidth());
    }
    page->SetSizer(charts);
    page->SetScrollRate(0, 20);
    page->FitInside();

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    auto* source = new wxStaticText(this, wxID_ANY, toWx(run_.resultsFile), wxDefaultPosition, wxDefaultSize,
                                    wxST_ELLIPSIZE_START);
    buttons->Add(source, 1, wxALIGN_CENTRE_VERTICAL | wxLEFT | wxRIGHT, 8);
    auto* report = new wxButton(this, reportButtonId, "Write and open report");
    buttons->Add(report, 0, wxALL, 8);
    auto* close = new wxButton(this, wxID_CLOSE, "Close");
    buttons->Add(close, 0, wxTOP | wxBOTTOM | wxRIGHT, 8);

    auto* layout = new wxBoxSizer(wxVERTICAL);
    layout->Add(page, 1, wxEXPAND);
    layout->Add(buttons, 0, wxEXPAND);
    SetSizer(layout);
    chartMargins_ = 16 + wxSystemSettings::GetMetric(wxSYS_VSCROLL_X) + 8;
    SetClientSize(static_cast<int>(charts::chartWidth) + chartMargins_, 720);
    SetMinClientSize(wxSize(smallestChartWidth + chartMargins_, 320));

    report->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { writeAndOpenReport(); });
    close->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Close(); });
}

wxSize ResultsWindow::readableSize() const {
    return ClientToWindowSize(wxSize(readableChartWidth_ + chartMargins_, GetMinClientSize().y));
}

void ResultsWindow::writeAndOpenReport() {
    if (const Status written = charts::writeReport(reportPath_, {run_}); !written) {
        messages_(written.failure().message);
        return;
    }
    if (!launcher_(reportPath_)) messages_(noProgramMessage(reportPath_));
}

}  // namespace quillon::ui
