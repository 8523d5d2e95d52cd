// The four progress functions over a token: clamping, text, cancel, hiding and shutdown.
#include <gtest/gtest.h>

#include <wx/button.h>
#include <wx/frame.h>
#include <wx/gauge.h>
#include <wx/stattext.h>

#include "progress_window.h"
#include "ui_test_support.h"

namespace quillon::ui {
namespace {

using testing::pumpEvents;

struct OpenProgress {
    OpenProgress() : handle(PROGRESS_INIT(nullptr, "Simulation Progress")) { pumpEvents(); }
    ~OpenProgress() {
        PROGRESS_SHUTDOWN(handle);
        pumpEvents();
    }
    ProgressWindow& window() const { return *findProgressWindow(handle); }
    int bar() const { return dynamic_cast<wxGauge*>(window().FindWindow(progress_id::bar))->GetValue(); }
    wxString status() const { return window().FindWindow(progress_id::status)->GetLabel(); }
    void clickCancel() const {
        wxWindow* button = window().FindWindow(progress_id::cancelButton);
        wxCommandEvent click(wxEVT_BUTTON, progress_id::cancelButton);
        click.SetEventObject(button);
        button->ProcessWindowEvent(click);
    }

    ProgressHandle handle;
};

TEST(ProgressWindow, OpensShownWithAnEmptyBarAndTheWindowLayout) {
    OpenProgress progress;
    ASSERT_NE(findProgressWindow(progress.handle), nullptr);
    ProgressWindow& window = progress.window();
    EXPECT_TRUE(window.IsShown());
    EXPECT_EQ(window.GetTitle(), "Simulation Progress");
    EXPECT_FALSE(window.HasFlag(wxCLOSE_BOX));
    EXPECT_TRUE(window.HasFlag(wxSTAY_ON_TOP));
    EXPECT_EQ(progress.bar(), 0);
    EXPECT_EQ(dynamic_cast<wxGauge*>(window.FindWindow(progress_id::bar))->GetRange(), 100);
    EXPECT_EQ(progress.status(), "");
    EXPECT_EQ(window.FindWindow(progress_id::cancelButton)->GetLabel(), "&Cancel");
    EXPECT_FALSE(window.FindWindow(progress_id::cancelState)->IsShown());
    EXPECT_EQ(window.FindWindow(progress_id::cancelState)->GetLabel(), "ok");
    EXPECT_EQ(PROGESS_IS_CANCELLED(progress.handle), 0);
}

TEST(ProgressWindow, TheBarIsClampedToZeroToHundred) {
    OpenProgress progress;
    const std::pair<int, int> cases[] = {{150, 100}, {-5, 0}, {37, 37}, {100, 100}, {0, 0}, {INT32_MIN, 0}};
    for (const auto& [percent, shown] : cases) {
        PROGRESS_SET(progress.handle, percent, "x");
        EXPECT_EQ(progress.bar(), shown) << percent;
    }
}

TEST(ProgressWindow, ACarriageReturnBreaksTheStatusIntoTwoLines) {
    OpenProgress progress;
    PROGRESS_SET(progress.handle, 50, "Processing test 1,500 of  3,000\r(50% done)");
    EXPECT_EQ(progress.status(), "Processing test 1,500 of  3,000\n(50% done)");
}

TEST(ProgressWindow, CancelPersistsAndTheWindowStillUpdates) {
    OpenProgress progress;
    progress.clickCancel();
    for (int ask = 0; ask < 3; ++ask) EXPECT_EQ(PROGESS_IS_CANCELLED(progress.handle), 1);
    EXPECT_TRUE(progress.window().IsShown());
    PROGRESS_SET(progress.handle, 60, "later");
    EXPECT_EQ(progress.bar(), 60);
    EXPECT_EQ(progress.status(), "later");
    EXPECT_EQ(PROGESS_IS_CANCELLED(progress.handle), 1);
}

TEST(ProgressWindow, AHiddenWindowCountsAsCancelled) {
    OpenProgress progress;
    progress.window().Hide();
    EXPECT_EQ(PROGESS_IS_CANCELLED(progress.handle), 1);
}

TEST(ProgressWindow, AfterShutdownOrForAnUnknownTokenItIsCancelledAndSetDoesNothing) {
    const ProgressHandle handle = PROGRESS_INIT(nullptr, "Simulation Progress");
    PROGRESS_SHUTDOWN(handle);
    pumpEvents();
    EXPECT_EQ(findProgressWindow(handle), nullptr);
    EXPECT_EQ(PROGESS_IS_CANCELLED(handle), 1);
    PROGRESS_SET(handle, 10, "gone");
    PROGRESS_SHUTDOWN(handle);
    EXPECT_EQ(PROGESS_IS_CANCELLED(0), 1);

    // A new window starts uncancelled and gets a token of its own.
    OpenProgress next;
    EXPECT_NE(next.handle, handle);
    EXPECT_EQ(PROGESS_IS_CANCELLED(next.handle), 0);
}

TEST(ProgressWindow, GoesWithItsOwner) {
    auto* owner = new wxFrame(nullptr, wxID_ANY, "owner");
    const ProgressHandle handle = PROGRESS_INIT(owner, "Simulation Progress");
    delete owner;
    pumpEvents();
    wxTheApp->ProcessIdle();
    EXPECT_EQ(findProgressWindow(handle), nullptr);
    EXPECT_EQ(PROGESS_IS_CANCELLED(handle), 1);
}

}  // namespace
}  // namespace quillon::ui
