#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include "main_window.h"

namespace quillon::ui::testing {

/// Lets the window system and queued cross-thread calls run for a moment.
inline void pumpEvents() {
    for (int round = 0; round < 5; ++round) {
        wxTheApp->ProcessPendingEvents();
        wxYield();
    }
}

/// Pumps until `done` holds or `limit` passes; the result is `done()`.
inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) {
        pumpEvents();
        wxMilliSleep(2);
    }
    return done();
}

/// A main window whose message boxes, pickers and launcher record instead of blocking.
struct RecordingWindow {
    RecordingWindow() : window(new MainWindow()) {
        window->setMessageSink([this](const std::string& text) { messages.push_back(text); });
        window->setFileLauncher([this](const std::string& path) { launched.push_back(path); });
        window->setFilePicker([this](wxWindow*, const PickerSettings& settings) {
            pickerCalls.push_back(settings);
            return pickerAnswer;
        });
        window->Show();
        pumpEvents();
    }
    ~RecordingWindow() {
        if (window != nullptr) window->Destroy();
        pumpEvents();
    }
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    wxTextCtrl* box(int controlId) const { return dynamic_cast<wxTextCtrl*>(window->control(controlId)); }
    wxCheckBox* checkBox(int controlId) const { return dynamic_cast<wxCheckBox*>(window->control(controlId)); }

    /// Clicks a check box as the user would: its state flips and it tells its window.
    void clickCheckBox(int controlId) const {
        wxCheckBox* target = checkBox(controlId);
        target->SetValue(!target->GetValue());
        wxCommandEvent event(wxEVT_CHECKBOX, controlId);
        event.SetEventObject(target);
        event.SetInt(target->GetValue() ? 1 : 0);
        target->ProcessWindowEvent(event);
    }

    /// Clicks a push button.
    void clickButton(int controlId) const {
        wxWindow* target = window->control(controlId);
        wxCommandEvent event(wxEVT_BUTTON, controlId);
        event.SetEventObject(target);
        target->ProcessWindowEvent(event);
    }

    MainWindow* window;
    std::vector<std::string> messages;
    std::vector<std::string> launched;
    std::vector<PickerSettings> pickerCalls;
    std::optional<std::string> pickerAnswer;
};

/// A fresh folder under the system's temporary folder, removed with the object.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

/// Writes `bytes` to `path`, replacing it.
void writeFile(const std::string& path, const std::string& bytes);

/// The whole content of `path`; empty when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace quillon::ui::testing
