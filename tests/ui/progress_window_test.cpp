// The four progress functions over a token: clamping, text, cancel, hiding and shutdown.
#include "progress_window.h"

#include <wx/gauge.h>

#include "ui_test_support.h"

namespace quillon::ui {

static wxWindow* part(ProgressHandle token, int controlId) { return findProgressWindow(token)->FindWindow(controlId); }
static int bar(ProgressHandle token) { return dynamic_cast<wxGauge*>(part(token, progress_id::bar))->GetValue(); }

TEST(ProgressWindow, ClampsTheBarShowsTwoLinesAndCountsCancelledHiddenAndShutWindowsAsCancelled) {
    const ProgressHandle open = PROGRESS_INIT(nullptr, "Simulation Progress"), hidden = PROGRESS_INIT(nullptr, "2"),
                         gone = PROGRESS_INIT(nullptr, "3");
    const auto cancelled = [=] {
        return std::tuple(PROGESS_IS_CANCELLED(open), PROGESS_IS_CANCELLED(hidden), PROGESS_IS_CANCELLED(gone));
    };
    EXPECT_EQ(cancelled(), std::tuple(0, 0, 0));
    EXPECT_EQ(bar(open), 0);
    for (const auto& [percent, shown] : {std::pair{150, 100}, {-5, 0}, {37, 37}, {INT32_MIN, 0}}) {
        PROGRESS_SET(open, percent, "x");
        EXPECT_EQ(bar(open), shown) << percent;
    }
    PROGRESS_SET(open, 50, "Processing test 1,500 of  3,000\r(50% done)");
    EXPECT_EQ(part(open, progress_id::status)->GetLabel(), "Processing test 1,500 of  3,000\n(50% done)");

    wxCommandEvent click(wxEVT_BUTTON, progress_id::cancelButton);
    click.SetEventObject(part(open, progress_id::cancelButton));
    part(open, progress_id::cancelButton)->ProcessWindowEvent(click);
    findProgressWindow(hidden)->Hide();
    PROGRESS_SHUTDOWN(gone);
    EXPECT_EQ(findProgressWindow(gone), nullptr);
    for (int ask = 0; ask < 2; ++ask) EXPECT_EQ(cancelled(), std::tuple(1, 1, 1));  // and so they stay
    PROGRESS_SET(open, 60, "later");  // a cancelled window still shows progress; a gone one is ignored
    PROGRESS_SET(gone, 10, "nothing to show it");
    EXPECT_EQ(bar(open), 60);
    for (ProgressHandle handle : {open, hidden}) PROGRESS_SHUTDOWN(handle);
}

}  // namespace quillon::ui

namespace quillon::ui {

TEST(ProgressWindow, OpensCentredOnTheWindowThatStartedTheRun) {
    RecordingWindow ui;
    ui.window->Move(20, 30);
    pumpEvents();
    const ProgressHandle token = PROGRESS_INIT(ui.window, "Simulation Progress");
    pumpEvents();
    const wxPoint owner = ui.window->GetScreenRect().GetPosition() + ui.window->GetSize() / 2;
    const wxPoint shown =
        findProgressWindow(token)->GetScreenRect().GetPosition() + findProgressWindow(token)->GetSize() / 2;
    // Window-manager frames may shift either window a little; the screen's centre is far away.
    EXPECT_LE(std::abs(shown.x - owner.x), 30) << shown.x << " " << owner.x;
    EXPECT_LE(std::abs(shown.y - owner.y), 30) << shown.y << " " << owner.y;
    PROGRESS_SHUTDOWN(token);
    pumpEvents();
}

}  // namespace quillon::ui
