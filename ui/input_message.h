#pragma once

#include <wx/dialog.h>

#include <functional>
#include <string>

#include "quillon/engine/run_settings.h"

namespace quillon::ui {

/// Identifiers inside the input message box and its details window.
namespace input_message_id {
inline constexpr int text = 4101;
inline constexpr int details = 4102;
inline constexpr int findings = 4103;
}  // namespace input_message_id

/// Shows a message that refused the settings or an input file; the settings are those of the
/// refused run, so that "Details…" can check the same files. Tests record instead.
using InputMessageSink = std::function<void(const std::string& text, const RunSettings& settings)>;

/// The message box of a refused run: the message unchanged, "OK", and "Details…", which shows the
/// checker's findings for the same files and settings.
class InputMessageDialog : public wxDialog {
public:
    InputMessageDialog(wxWindow* owner, const std::string& text, RunSettings settings);

    /// Opens the findings window (modal unless `modal` is false, as the tests want it).
    wxDialog* showDetails(bool modal = true);

private:
    RunSettings settings_;
};

/// One "KIND file not found: PATH" line, path as given, for each input file the run would read
/// that does not exist; empty when all are there.
std::string missingInputsText(const RunSettings& settings);

/// The window of the checker's findings: its text report, read-only, and "Close".
class CheckDetailsWindow : public wxDialog {
public:
    CheckDetailsWindow(wxWindow* owner, const std::string& report);
};

/// The program's input message: an `InputMessageDialog` shown modally.
void showInputMessageBox(const std::string& text, const RunSettings& settings);

}  // namespace quillon::ui
