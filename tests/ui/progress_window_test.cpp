// The four progress functions over a token: clamping, text, cancel, hiding and shutdown.
#include <gtest/gtest.h>

#include <wx/frame.h>
#include <wx/gauge.h>

#include "progress_window.h"
#include "ui_test_support.h"

namespace quillon::ui {
namespace {

using testing::pumpEvents;

struct OpenProgress {
    OpenProgress() { pumpEvents(); }
    ~OpenProgress() { PROGRESS_SHUTDOWN(handle); }
    wxWindow* part(int controlId) const { return findProgressWindow(handle)->FindWindow(controlId); }
    int bar() const { return dynamic_cast<wxGauge*>(part(progress_id::bar))->GetValue(); }
    void clickCancel() const {
        wxCommandEvent click(wxEVT_BUTTON, progress_id::cancelButton);
        click.SetEventObject(part(progress_id::cancelButton));
        part(progress_id::cancelButton)->ProcessWindowEvent(click);
    }
    ProgressHandle handle = PROGRESS_INIT(nullptr, "Simulation Progress");
};

TEST(ProgressWindow, OpensShownUncancelledWithAnEmptyBarAndClampsItToZeroToHundred) {
    OpenProgress progress;
    const ProgressWindow& window = *findProgressWindow(progress.handle);
    EXPECT_TRUE(window.IsShown());
    EXPECT_EQ(window.GetTitle(), "Simulation Progress");
    EXPECT_FALSE(window.HasFlag(wxCLOSE_BOX));
    EXPECT_EQ(progress.part(progress_id::cancelButton)->GetLabel(), "&Cancel");
    EXPECT_EQ(progress.part(progress_id::status)->GetLabel(), "");
    EXPECT_FALSE(progress.part(progress_id::cancelState)->IsShown());
    EXPECT_EQ(progress.bar(), 0);
    EXPECT_EQ(PROGESS_IS_CANCELLED(progress.handle), 0);
    for (const auto& [percent, shown] : {std::pair{150, 100}, {-5, 0}, {37, 37}, {INT32_MIN, 0}}) {
        PROGRESS_SET(progress.handle, percent, "x");
        EXPECT_EQ(progress.bar(), shown) << percent;
    }
    PROGRESS_SET(progress.handle, 50, "Processing test 1,500 of  3,000\r(50% done)");
    EXPECT_EQ(progress.part(progress_id::status)->GetLabel(), "Processing test 1,500 of  3,000\n(50% done)");
}

TEST(ProgressWindow, CancelPersistsAndTheWindowStillUpdates) {
    OpenProgress progress;
    progress.clickCancel();
    for (int ask = 0; ask < 3; ++ask) EXPECT_EQ(PROGESS_IS_CANCELLED(progress.handle), 1);
    EXPECT_TRUE(findProgressWindow(progress.handle)->IsShown());
    PROGRESS_SET(progress.handle, 60, "later");
    EXPECT_EQ(progress.bar(), 60);
    EXPECT_EQ(progress.part(progress_id::status)->GetLabel(), "later");
}

TEST(ProgressWindow, AHiddenGoneOrUnknownWindowCountsAsCancelled) {
    OpenProgress hidden;
    findProgressWindow(hidden.handle)->Hide();
    EXPECT_EQ(PROGESS_IS_CANCELLED(hidden.handle), 1);

    const ProgressHandle gone = PROGRESS_INIT(nullptr, "Simulation Progress");
    PROGRESS_SHUTDOWN(gone);
    EXPECT_EQ(findProgressWindow(gone), nullptr);
    EXPECT_EQ(PROGESS_IS_CANCELLED(gone), 1);
    PROGRESS_SET(gone, 10, "nothing to show it");
    PROGRESS_SHUTDOWN(gone);
    EXPECT_EQ(PROGESS_IS_CANCELLED(0), 1);

    auto* owner = new wxFrame(nullptr, wxID_ANY, "owner");
    const ProgressHandle owned = PROGRESS_INIT(owner, "Simulation Progress");
    delete owner;  // the window goes with its owner
    pumpEvents();
    wxTheApp->ProcessIdle();
    EXPECT_EQ(PROGESS_IS_CANCELLED(owned), 1);

    OpenProgress next;  // a new window starts uncancelled with a token of its own
    EXPECT_NE(next.handle, gone);
    EXPECT_EQ(PROGESS_IS_CANCELLED(next.handle), 0);
}

}  // namespace
}  // namespace quillon::ui
