#include "progress_window.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/settings.h>
#include <wx/stattext.h>

#include <algorithm>
#include <map>

#include "wx_text.h"

namespace quillon::ui {
namespace {

// Tokens are never reused, so a stale token can never reach a newer window.
std::map<ProgressHandle, ProgressWindow*>& liveWindows() {
    static std::map<ProgressHandle, ProgressWindow*> windows;
    return windows;
}

ProgressHandle nextHandle = 1;

constexpr const char* cancelledText = "cancel";

}  // namespace

ProgressWindow::ProgressWindow(wxWindow* parent, const std::string& title, ProgressHandle handle) : handle_(handle) {
    // No system menu and no close box: only "&Cancel" acts on the run.
    Create(parent, wxID_ANY, toWx(title), wxDefaultPosition, wxDefaultSize, wxCAPTION | wxSTAY_ON_TOP);
    wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    font.SetPointSize(8);
    SetFont(font);
    const auto rect = [this](int x, int y, int w, int h) {
        return std::pair{ConvertDialogToPixels(wxPoint(x, y)), ConvertDialogToPixels(wxSize(w, h))};
    };
    SetClientSize(ConvertDialogToPixels(wxSize(200, 80)));

    auto [statusPos, statusSize] = rect(25, 5, 150, 20);
    status_ = new wxStaticText(this, progress_id::status, "", statusPos, statusSize,
                               wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
    auto [barPos, barSize] = rect(40, 30, 120, 10);
    bar_ = new wxGauge(this, progress_id::bar, 100, barPos, barSize, wxGA_HORIZONTAL | wxGA_SMOOTH | wxBORDER_SIMPLE);
    bar_->SetValue(0);
    auto [buttonPos, buttonSize] = rect(80, 45, 40, 14);
    auto* cancel = new wxButton(this, progress_id::cancelButton, "&Cancel", buttonPos, buttonSize);
    cancel->Bind(wxEVT_BUTTON, &ProgressWindow::onCancel, this);
    // The cancel state lives in the window, as the text of a hidden control.
    cancelState_ = new wxStaticText(this, progress_id::cancelState, "ok", wxPoint(0, 0), wxSize(1, 1));
    cancelState_->Hide();

    // Escape would hide the window, which reads as a cancel; only the button cancels.
    SetEscapeId(wxID_NONE);
    // Over the window that started the run, where the eye already is.
    if (parent != nullptr) {
        CentreOnParent();
    } else {
        CentreOnScreen();
    }
}

ProgressWindow::~ProgressWindow() { liveWindows().erase(handle_); }

void ProgressWindow::setProgress(std::int32_t percent, const std::string& text) {
    bar_->SetValue(std::clamp<std::int32_t>(percent, 0, 100));
    status_->SetLabel(toDisplay(text));
}

bool ProgressWindow::cancelClicked() const { return cancelState_->GetLabel() == cancelledText; }

void ProgressWindow::onCancel(wxCommandEvent&) { cancelState_->SetLabel(cancelledText); }

ProgressHandle PROGRESS_INIT(wxWindow* parent, const std::string& title) {
    const ProgressHandle handle = nextHandle++;
    auto* window = new ProgressWindow(parent, title, handle);
    liveWindows()[handle] = window;
    window->Show();
    return handle;
}

void PROGRESS_SET(ProgressHandle handle, std::int32_t percent, const std::string& text) {
    if (ProgressWindow* window = findProgressWindow(handle)) window->setProgress(percent, text);
}

std::int32_t PROGESS_IS_CANCELLED(ProgressHandle handle) {
    const ProgressWindow* window = findProgressWindow(handle);
    if (window == nullptr || !window->IsShown()) return 1;
    return window->cancelClicked() ? 1 : 0;
}

void PROGRESS_SHUTDOWN(ProgressHandle handle) {
    ProgressWindow* window = findProgressWindow(handle);
    if (window == nullptr) return;
    liveWindows().erase(handle);
    window->Hide();
    window->Destroy();
}

ProgressWindow* findProgressWindow(ProgressHandle handle) {
    const auto found = liveWindows().find(handle);
    return found == liveWindows().end() ? nullptr : found->second;
}

}  // namespace quillon::ui
