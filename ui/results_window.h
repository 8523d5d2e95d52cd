#pragma once

#include <wx/frame.h>

#include <functional>
#include <string>
#include <vector>

#include "quillon/charts/chart_model.h"
#include "window_run_host.h"

namespace quillon::ui {

/// Opens a file with the system's program for it; false when no program could. Tests record.
using FileLauncher = std::function<bool(const std::string& path)>;

/// The system's default launcher.
bool launchWithDefaultProgram(const std::string& path);

/// The message shown when no program could open `path`.
std::string noProgramMessage(const std::string& path);

/// Where a window of `size` (no smaller than `smallest`) goes beside `owner` on `screen`, all in
/// the window system's coordinates: right of it when that fits, else left of it, else narrowed
/// into the wider side when that leaves it `smallest` wide, else against the screen's right
/// edge; level with the owner's top, never larger than the screen and kept on it.
wxRect besideOwner(const wxRect& owner, const wxSize& size, const wxSize& smallest, const wxRect& screen);

/// The charts of one completed run in a window of their own, with a button that writes the
/// HTML report beside the results table and opens it.
class ResultsWindow : public wxFrame {
public:
    ResultsWindow(wxWindow* owner, charts::RunTables run, MessageSink messages, FileLauncher launcher);

    /// The charts shown, in page order.
    const std::vector<charts::Chart>& charts() const { return charts_; }

    /// The smallest window size at which every chart's title and notes show whole.
    wxSize readableSize() const;

    /// Where the report button writes the report.
    const std::string& reportPath() const { return reportPath_; }

    /// What the report button does: writes the report and opens it, or says why not.
    void writeAndOpenReport();

private:
    charts::RunTables run_;
    std::vector<charts::Chart> charts_;
    int readableChartWidth_ = 0;
    int chartMargins_ = 0;
    std::string reportPath_;
    MessageSink messages_;
    FileLauncher launcher_;
};

/// The identifier of the report button, for tests and the screenshot script.
inline constexpr int reportButtonId = 4001;

}  // namespace quillon::ui
