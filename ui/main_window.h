#pragma once

#include <wx/dialog.h>
#include <wx/font.h>
#include <wx/weakref.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control_table.h"
#include "field_tips.h"
#include "input_message.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_settings.h"
#include "results_window.h"
#include "settings_reader.h"
#include "window_run_host.h"

namespace quillon::ui {

/// Chooses a file for a "..." button; nothing when cancelled. Tests replace the real dialog.
using FilePicker = std::function<std::optional<std::string>(wxWindow* owner, const PickerSettings& settings)>;

/// The program's one main window: every option, the six file names and "Go", built from the
/// control table; it owns the process-wide settings record and random generator.
class MainWindow : public wxDialog, public ControlAccess {
public:
    MainWindow();
    ~MainWindow() override;

    std::string controlText(int controlId) const override;
    bool isChecked(int controlId) const override;

    /// The control with an identifier of the table, or null.
    wxWindow* control(int controlId) const;

    /// The settings record as window events and the last run left it.
    const RunSettings& settings() const { return settings_; }

    /// The generator that consecutive runs continue.
    const RandomGenerator& random() const { return random_; }

    /// What "Go" does: reads the settings and starts the run on a worker thread.
    void startRun();

    /// Whether a run started from this window has not yet finished.
    bool isRunning() const { return running_; }

    void setMessageSink(MessageSink sink) { messageSink_ = std::move(sink); }
    void setInputMessageSink(InputMessageSink sink) { inputMessageSink_ = std::move(sink); }
    void setFilePicker(FilePicker picker) { filePicker_ = std::move(picker); }
    void setFileLauncher(FileLauncher launcher) { fileLauncher_ = std::move(launcher); }

    /// Checks "View"'s file and opens it, or shows "File not found" (or that no program could open it).
    void viewFile(const std::string& path);

    /// The Results window of the last completed run, while it is open.
    ResultsWindow* resultsWindow() const { return resultsWindow_.get(); }

private:
    void buildControls();
    wxWindow* createControl(const ControlRow& row);
    // Faces wider than the layout's own would cut texts at the nominal sizes: each of fonts A
    // to D steps down by half points until every text it carries fits its rectangle.
    void fitFonts();
    bool textsFit(FontRole role) const;
    void initialise();
    void setEnabledRange(int first, int last, bool enabled);

    void onText(wxCommandEvent& event);
    void onCheckBox(wxCommandEvent& event);
    void onButton(wxCommandEvent& event);
    void onClose(wxCloseEvent& event);

    void browse(int pathBoxId, const PickerSettings& settings);
    void showMessage(const std::string& text) { messageSink_(text); }
    void finishRun(bool completed, const std::string& stoppingFile);
    // After the Done message: the charts of the tables the run wrote (with its stopping table
    // when it wrote one), in their own window.
    void openResults(const std::string& stoppingFile);

    RunSettings settings_;
    RandomGenerator random_;
    std::array<wxFont, 5> fonts_;  // indexed by FontRole

    MessageSink messageSink_ = showPlainMessage;
    InputMessageSink inputMessageSink_ = showInputMessageBox;
    FilePicker filePicker_ = pickFileToOpen;
    FileLauncher fileLauncher_ = launchWithDefaultProgram;
    wxWeakRef<ResultsWindow> resultsWindow_;

    bool running_ = false;
    bool closeAfterRun_ = false;
    std::thread worker_;
    std::unique_ptr<WindowRunHost> host_;
    std::vector<std::pair<wxWindow*, bool>> enabledBeforeRun_;
};

}  // namespace quillon::ui
