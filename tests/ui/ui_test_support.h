#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <wx/app.h>
#include <wx/checkbox.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include "main_window.h"

namespace quillon::ui::testing {

/// Lets the window system and queued cross-thread calls run; with `done`, until it holds or a minute passes.
inline bool pumpEvents(const std::function<bool()>& done = {}) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    do {
        for (int round = 0; round < 5; ++round) {
            wxTheApp->ProcessPendingEvents();
            wxYield();
        }
        if (done) wxMilliSleep(2);
    } while (done && !done() && std::chrono::steady_clock::now() < end);
    return !done || done();
}

/// A shown main window whose message boxes, pickers and launcher record instead of blocking.
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

    wxTextCtrl* box(int controlId) const { return dynamic_cast<wxTextCtrl*>(window->control(controlId)); }
    wxCheckBox* checkBox(int controlId) const { return dynamic_cast<wxCheckBox*>(window->control(controlId)); }

    /// Clicks a check box (`wxEVT_CHECKBOX`) or a push button (`wxEVT_BUTTON`) as the user would.
    void click(int controlId) const {
        wxWindow* target = window->control(controlId);
        const bool isCheckBox = checkBox(controlId) != nullptr;
        if (isCheckBox) checkBox(controlId)->SetValue(!checkBox(controlId)->GetValue());
        wxCommandEvent event(isCheckBox ? wxEVT_CHECKBOX : wxEVT_BUTTON, controlId);
        event.SetEventObject(target);
        event.SetInt(isCheckBox && checkBox(controlId)->GetValue() ? 1 : 0);
        target->ProcessWindowEvent(event);
    }

    MainWindow* window;
    std::vector<std::string> messages;
    std::vector<std::string> launched;
    std::vector<PickerSettings> pickerCalls;
    std::optional<std::string> pickerAnswer;
};

/// A fresh folder under the system's temporary folder, removed with the object.
struct TempFolder {
    TempFolder();
    ~TempFolder();
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

}  // namespace quillon::ui::testing
