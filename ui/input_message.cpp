#include "input_message.h"

#include <wx/button.h>
#include <wx/font.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "quillon/checker/input_checker.h"
#include "window_run_host.h"
#include "wx_text.h"

namespace quillon::ui {

InputMessageDialog::InputMessageDialog(wxWindow* owner, const std::string& text, RunSettings settings)
    : wxDialog(owner, wxID_ANY, messageCaption, wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxSTAY_ON_TOP),
      settings_(std::move(settings)) {
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(new wxStaticText(this, input_message_id::text, toDisplay(text)), 0, wxALL, 16);
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    auto* details = new wxButton(this, input_message_id::details, wxString::FromUTF8("Details\u2026"));
    auto* ok = new wxButton(this, wxID_OK, "OK");
    buttons->Add(details, 0, wxRIGHT, 8);
    buttons->Add(ok);
    column->Add(buttons, 0, wxALIGN_RIGHT | wxLEFT | wxRIGHT | wxBOTTOM, 12);
    SetSizerAndFit(column);
    ok->SetDefault();
    ok->SetFocus();
    details->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { showDetails(); });
    CentreOnScreen();
}

std::string missingInputsText(const RunSettings& settings) {
    std::vector<std::pair<const char*, const std::string*>> inputs{{"Pool", &settings.poolFile}};
    if (settings.followScript) inputs.emplace_back("Script", &settings.scriptFile);
    if (settings.blockEnemies) inputs.emplace_back("Enemies", &settings.enemiesFile);
    inputs.emplace_back("Data", &settings.responseFile);
    std::string text;
    for (const auto& [kind, path] : inputs) {
        std::error_code error;
        if (!std::filesystem::exists(*path, error)) text += std::string(kind) + " file not found: " + *path + "\n";
    }
    return text;
}

wxDialog* InputMessageDialog::showDetails(bool modal) {
    // Checked when asked, so the findings describe the files as they are now. A file that is not
    // there has no lines to point at and nothing to summarise: the window says only that.
    std::string report = missingInputsText(settings_);
    if (report.empty()) report = checkReportText(checkInputs(settings_));
    auto* window = new CheckDetailsWindow(this, report);
    if (!modal) {
        window->Show();
        return window;
    }
    window->ShowModal();
    window->Destroy();
    return nullptr;
}

CheckDetailsWindow::CheckDetailsWindow(wxWindow* owner, const std::string& report)
    : wxDialog(owner, wxID_ANY, "Quillon: input check", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER) {
    auto* column = new wxBoxSizer(wxVERTICAL);
    auto* findings = new wxTextCtrl(this, input_message_id::findings, toWx(report), wxDefaultPosition,
                                    FromDIP(wxSize(820, 360)), wxTE_MULTILINE | wxTE_READONLY);
    findings->SetFont(wxFont(wxFontInfo(9).Family(wxFONTFAMILY_TELETYPE)));
    column->Add(findings, 1, wxEXPAND | wxALL, 8);
    auto* close = new wxButton(this, wxID_OK, "Close");
    column->Add(close, 0, wxALIGN_RIGHT | wxLEFT | wxRIGHT | wxBOTTOM, 8);
    SetSizerAndFit(column);
    close->SetDefault();
    CentreOnParent();
}

void showInputMessageBox(const std::string& text, const RunSettings& settings) {
    InputMessageDialog box(nullptr, text, settings);
    box.ShowModal();
}

}  // namespace quillon::ui
