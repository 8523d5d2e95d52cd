#pragma once

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/checkbox.h>
#include <wx/radiobut.h>
#include <wx/textctrl.h>
#include <wx/utils.h>
#include <wx/weakref.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "main_window.h"

namespace quillon::ui {

/// Lets the window system and queued cross-thread calls run, until `done` holds or a minute has passed.
inline bool pumpEvents(const std::function<bool()>& done = [] { return true; }) {
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);; wxMilliSleep(2)) {
        for (int round = 0; round < 5; ++round) wxTheApp->ProcessPendingEvents(), wxYield();
        if (done() || std::chrono::steady_clock::now() > end) return done();
    }
}

/// A shown main window whose message boxes and file launches are recorded instead of shown.
struct RecordingWindow {
    RecordingWindow() : window(new MainWindow()) {
        window->setMessageSink([this](const std::string& text) { messages.push_back(text); });
        window->setInputMessageSink([this](const std::string& text, const RunSettings&) { messages.push_back(text); });
        window->setFileLauncher([this](const std::string& path) {
            launched.push_back(path);
            return launchWorks;
        });
        window->Show();
        pumpEvents();
    }
    ~RecordingWindow() {
        if (window) window->Destroy();
        pumpEvents();
    }
    wxTextCtrl* box(int controlId) const { return dynamic_cast<wxTextCtrl*>(window->control(controlId)); }
    void select(int option) const { dynamic_cast<wxRadioButton*>(window->control(option))->SetValue(true); }

    /// Clicks a check box or a push button as the user would.
    void click(int controlId) const {
        wxWindow* target = window->control(controlId);
        auto* checkBox = dynamic_cast<wxCheckBox*>(target);
        if (checkBox != nullptr) checkBox->SetValue(!checkBox->GetValue());
        wxCommandEvent event(checkBox != nullptr ? wxEVT_CHECKBOX : wxEVT_BUTTON, controlId);
        event.SetEventObject(target);
        event.SetInt(checkBox != nullptr && checkBox->GetValue() ? 1 : 0);
        target->ProcessWindowEvent(event);
    }

    wxWeakRef<MainWindow> window;  // null once the window has closed itself
    std::vector<std::string> messages, launched;
    bool launchWorks = true;  // false: as if no program were set up for the file
};

/// A fresh folder under the system's temporary folder, removed with the object.
struct TempFolder {
    TempFolder() { if (::mkdtemp(path.data()) == nullptr) throw std::runtime_error("no temporary folder"); }
    ~TempFolder() { std::filesystem::remove_all(path, ignored); }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path = (std::filesystem::temp_directory_path() / "quillon-ui-XXXXXX").string();
    std::error_code ignored;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace quillon::ui
