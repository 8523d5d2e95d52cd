#pragma once

#include <wx/dialog.h>

#include <cstdint>
#include <string>

#include "quillon/engine/run_host.h"

class wxGauge;
class wxStaticText;

namespace quillon::ui {

/// Identifiers inside the progress window.
namespace progress_id {
inline constexpr int bar = 4300;
inline constexpr int status = 4301;
inline constexpr int cancelState = 4305;
inline constexpr int cancelButton = 1210;
}  // namespace progress_id

/// The modeless progress window: a two-line status, a 0 to 100 bar and a "&Cancel" button whose
/// click is remembered in the window itself until the window is gone.
class ProgressWindow : public wxDialog {
public:
    ProgressWindow(wxWindow* parent, const std::string& title, ProgressHandle handle);
    ~ProgressWindow() override;

    /// Clamps `percent` to 0..100 for the bar and shows `text` (a CR breaks it into two lines).
    void setProgress(std::int32_t percent, const std::string& text);

    /// True once "&Cancel" was clicked; never reset.
    bool cancelClicked() const;

    ProgressHandle handle() const { return handle_; }

private:
    void onCancel(wxCommandEvent& event);

    ProgressHandle handle_;
    wxStaticText* status_ = nullptr;
    wxGauge* bar_ = nullptr;
    wxStaticText* cancelState_ = nullptr;
};

/// Opens a progress window owned by `parent` with `title` and returns its token (never 0).
ProgressHandle PROGRESS_INIT(wxWindow* parent, const std::string& title);

/// Sets the bar (clamped to 0..100) and the status text; does nothing once the window is gone.
void PROGRESS_SET(ProgressHandle handle, std::int32_t percent, const std::string& text);

/// 1 when cancelled, when no such window exists or when it is hidden; 0 otherwise.
std::int32_t PROGESS_IS_CANCELLED(ProgressHandle handle);

/// Closes and destroys the window; a token that names no window is ignored.
void PROGRESS_SHUTDOWN(ProgressHandle handle);

/// The live window of a token, or null; lets tests look inside it.
ProgressWindow* findProgressWindow(ProgressHandle handle);

}  // namespace quillon::ui
