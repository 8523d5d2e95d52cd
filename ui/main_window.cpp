#include "main_window.h"

#include <wx/artprov.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/display.h>
#include <wx/filefn.h>
#include <wx/radiobut.h>
#include <wx/settings.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <exception>
#include <filesystem>

#include "help_window.h"
#include "quillon/charts/report.h"
#include "quillon/engine/program_version.h"
#include "quillon/engine/simulation.h"
#include "quillon/run_record/run_record.h"
#include "quillon/run_reports/run_reports.h"
#include "wx_text.h"

namespace quillon::ui {
namespace {

// GTK's theme pads entries and buttons beyond the small boxes of the layout; thinner padding
// lets the text fit the given rectangles instead of being clipped.
template <class Base>
class Compact : public Base {
public:
    template <class... Args>
    explicit Compact(Args&&... args) : Base(std::forward<Args>(args)...) {
#ifdef __WXGTK3__
        this->GTKApplyCssStyle("* { min-height: 0; padding: 0 3px; }");
#endif
    }
};

// Integer boxes take digits only; control keys (editing, clipboard) pass through.
void refuseNonDigits(wxKeyEvent& event) {
    const wxChar typed = event.GetUnicodeKey();
    if (typed != WXK_NONE && typed >= 32 && (typed < '0' || typed > '9')) return;
    event.Skip();
}

// The window's font and fonts A to D.
struct FontDefinition {
    FontRole role;
    double points;
    bool serif;
    bool underlined;
    bool italic;
};

constexpr FontDefinition fontDefinitions[] = {
    {FontRole::Window, 8, false, false, false}, {FontRole::A, 10, false, false, false},
    {FontRole::B, 12, true, false, false},      {FontRole::C, 10, false, true, false},
    {FontRole::D, 10, false, false, true},
};

constexpr double smallestPoints = 6;

std::string_view withoutTrailingBlanks(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

}  // namespace

MainWindow::MainWindow() {
    Create(nullptr, wxID_ANY, toWx("Quillon  Version " + std::string(programVersion)), wxDefaultPosition, wxDefaultSize,
           wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX | wxTAB_TRAVERSAL);

    // "MS Sans Serif" stands for the platform's dialog face, "Garamond" for its serif face.
    const wxString face = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT).GetFaceName();
    for (const FontDefinition& font : fontDefinitions) {
        wxFontInfo info(font.points);
        if (font.serif) {
            info.Family(wxFONTFAMILY_ROMAN);
        } else {
            info.FaceName(face).Family(wxFONTFAMILY_SWISS);
        }
        fonts_[static_cast<int>(font.role)] = wxFont(info.Underlined(font.underlined).Italic(font.italic));
    }
    // Dialog units are those of the window's font, so it is set before anything is placed.
    SetFont(fonts_[static_cast<int>(FontRole::Window)]);
    SetClientSize(ConvertDialogToPixels(wxSize(357, 338)));
    Move(ConvertDialogToPixels(wxPoint(118, 2)));
    SetIcon(wxArtProvider::GetIcon(wxART_QUESTION, wxART_MESSAGE_BOX));
    // The window has no cancel command: Escape must not hide it.
    SetEscapeId(wxID_NONE);

    buildControls();
    fitFonts();
    initialise();

    Bind(wxEVT_TEXT, &MainWindow::onText, this);
    Bind(wxEVT_CHECKBOX, &MainWindow::onCheckBox, this);
    Bind(wxEVT_BUTTON, &MainWindow::onButton, this);
    Bind(wxEVT_CLOSE_WINDOW, &MainWindow::onClose, this);
}

MainWindow::~MainWindow() {
    // The program ends with its main window, Results window included.
    if (resultsWindow_) resultsWindow_->Destroy();
    // Normally the close handler has already waited; this guards a direct delete.
    if (worker_.joinable()) {
        host_->requestCancel();
        host_->abandonUi();
        worker_.join();
    }
}

void MainWindow::buildControls() {
    for (const ControlRow& row : controlTable()) createControl(row);
    // The exposure row starts usable because "Save exposure" starts checked.
    for (const ControlRow& row : controlTable()) {
        if (row.has(flag::onAfterBuild)) control(row.id)->Enable();
    }
}

void MainWindow::fitFonts() {
    for (FontRole role : {FontRole::A, FontRole::B, FontRole::C, FontRole::D}) {
        wxFont& font = fonts_[static_cast<int>(role)];
        while (!textsFit(role) && font.GetFractionalPointSize() > smallestPoints) {
            font.SetFractionalPointSize(font.GetFractionalPointSize() - 0.5);
            for (const ControlRow& row : controlTable()) {
                if (row.font == role) control(row.id)->SetFont(font);
            }
        }
    }
}

bool MainWindow::textsFit(FontRole role) const {
    for (const ControlRow& row : controlTable()) {
        if (row.font != role) continue;
        const wxWindow* made = control(row.id);
        const int room = ConvertDialogToPixels(wxSize(row.width, row.height)).x;
        // Trailing blanks of a label take room but show nothing.
        const bool plainText = row.kind == ControlKind::Label || row.kind == ControlKind::Frame;
        const int needed =
            plainText ? made->GetTextExtent(toWx(withoutTrailingBlanks(row.text))).x : made->GetBestSize().x;
        if (needed > room) return false;
    }
    return true;
}

wxWindow* MainWindow::createControl(const ControlRow& row) {
    const wxPoint position = ConvertDialogToPixels(wxPoint(row.x, row.y));
    const wxSize size = ConvertDialogToPixels(wxSize(row.width, row.height));
    const wxString text = toWx(row.text);
    wxWindow* made = nullptr;
    switch (row.kind) {
        case ControlKind::TextBox: {
            long style = 0;
            if (row.has(flag::rightAligned)) style |= wxTE_RIGHT;
            if (row.has(flag::readOnly)) style |= wxTE_READONLY;
            if (row.has(flag::staticEdge)) {
                style |= wxBORDER_STATIC;
            } else if (row.has(flag::sunkenEdge)) {
                style |= wxBORDER_SUNKEN;
            }
            auto* box = new Compact<wxTextCtrl>(this, row.id, text, position, size, style);
            if (row.has(flag::digitsOnly)) box->Bind(wxEVT_CHAR, refuseNonDigits);
            made = box;
            break;
        }
        case ControlKind::CheckBox: {
            auto* box = new wxCheckBox(this, row.id, text, position, size);
            box->SetValue(row.has(flag::checked));
            made = box;
            break;
        }
        case ControlKind::Option: {
            auto* option =
                new wxRadioButton(this, row.id, text, position, size, row.has(flag::groupStart) ? wxRB_GROUP : 0);
            if (row.has(flag::checked)) option->SetValue(true);
            made = option;
            break;
        }
        case ControlKind::Label: {
            long style = wxST_NO_AUTORESIZE;
            if (row.has(flag::centred)) style |= wxALIGN_CENTRE_HORIZONTAL;
            if (row.has(flag::rightAligned)) style |= wxALIGN_RIGHT;
            made = new wxStaticText(this, row.id, text, position, size, style);
            break;
        }
        case ControlKind::Frame:
            made = new wxStaticBox(this, row.id, text, position, size);
            break;
        case ControlKind::Button:
            made = new Compact<wxButton>(this, row.id, text, position, size);
            break;
    }
    if (row.font != FontRole::Window) made->SetFont(fonts_[static_cast<int>(row.font)]);
    // No colour is forced: a fixed background under the theme's text colour is unreadable in a
    // dark theme, so every control keeps the theme's pair.
    if (row.has(flag::noTabStop)) made->DisableFocusFromKeyboard();
    if (row.has(flag::offAtStart) || row.has(flag::onAfterBuild)) made->Disable();
    // The companion box only ever lies hidden beneath its path box; GTK would draw it on top.
    if (row.has(flag::companion)) made->Hide();
    return made;
}

void MainWindow::initialise() {
    for (const FieldTip& tip : fieldTips()) setFieldTip(this, tip.controlId, tip.text);

    RunSettings defaults;
    setDefaultPaths(defaults, fromWx(wxGetCwd()), static_cast<char>(wxFILE_SEP_PATH));
    const std::pair<int, const std::string*> paths[] = {
        {id::poolFile, &defaults.poolFile},         {id::scriptFile, &defaults.scriptFile},
        {id::resultsFile, &defaults.resultsFile},   {id::exposureFile, &defaults.exposureFile},
        {id::responseFile, &defaults.responseFile}, {id::enemiesFile, &defaults.enemiesFile},
    };
    for (const auto& [boxId, path] : paths) static_cast<wxTextCtrl*>(control(boxId))->ChangeValue(toWx(*path));
}

wxWindow* MainWindow::control(int controlId) const { return FindWindow(controlId); }

std::string MainWindow::controlText(int controlId) const {
    if (const auto* box = dynamic_cast<const wxTextCtrl*>(control(controlId))) return fromWx(box->GetValue());
    if (const wxWindow* other = control(controlId)) return fromWx(other->GetLabel());
    return {};
}

bool MainWindow::isChecked(int controlId) const {
    const wxWindow* found = control(controlId);
    if (const auto* box = dynamic_cast<const wxCheckBox*>(found)) return box->GetValue();
    if (const auto* option = dynamic_cast<const wxRadioButton*>(found)) return option->GetValue();
    return false;
}

void MainWindow::setEnabledRange(int first, int last, bool enabled) {
    for (int controlId = first; controlId <= last; ++controlId) {
        if (wxWindow* found = control(controlId)) found->Enable(enabled);
    }
}

void MainWindow::onText(wxCommandEvent& event) {
    const int source = event.GetId();
    if (source == id::testsPerPerson) {
        settings_.testsPerPerson = readInteger(controlText(source));
    } else if (source == id::groupCount) {
        settings_.groupCount = readInteger(controlText(source));
        setEnabledRange(id::costGridFirst, id::costGridLast, settings_.groupCount == 2);
    }
    event.Skip();
}

void MainWindow::onCheckBox(wxCommandEvent& event) {
    const int box = event.GetId();
    bool* field = box == id::blockEnemies   ? &settings_.blockEnemies
                  : box == id::saveExposure ? &settings_.saveExposure
                  : box == id::followScript ? &settings_.followScript
                                            : nullptr;
    if (field == nullptr) return;
    *field = isChecked(box);
    // A governing check box switches the four identifiers after its own.
    setEnabledRange(box + 1, box + governedCount, *field);
}

void MainWindow::onButton(wxCommandEvent& event) {
    const int button = event.GetId();
    const ControlRow* row = findControlRow(button);
    if (row == nullptr) return;
    if (button == id::go) {
        startRun();
    } else if (button == id::help) {
        showHelp(this);
    } else if (button == id::exit) {
        Close();
    } else if (row->text == "View") {
        viewFile(controlText(button - viewOffset));
    } else if (const PickerSettings* picker = pickerSettingsFor(button)) {
        browse(button - browseOffset, *picker);
    }
}

void MainWindow::viewFile(const std::string& path) {
    if (!viewableFile(path)) {
        showMessage(std::string(fileNotFoundMessage));
        return;
    }
    // Without a program for the file type the launch fails silently unless it is said.
    if (!fileLauncher_(path)) showMessage(noProgramMessage(path));
}

void MainWindow::browse(int pathBoxId, const PickerSettings& settings) {
    const std::optional<std::string> chosen = filePicker_(this, settings);
    if (!chosen) return;
    static_cast<wxTextCtrl*>(control(pathBoxId))->ChangeValue(toWx(*chosen));
}

void MainWindow::startRun() {
    if (running_) return;
    readRunSettings(*this, settings_);
    readFileNames(*this, settings_);

    // No second run, edit or browse may start inside this one; only "Exit" stays live. The labels
    // of the greyed boxes grey with them; the title and the notice name no box.
    enabledBeforeRun_.clear();
    for (const ControlRow& row : controlTable()) {
        if (row.kind == ControlKind::Frame || row.id == id::exit) continue;
        if (row.kind == ControlKind::Label && row.group == Group::None) continue;
        wxWindow* found = control(row.id);
        enabledBeforeRun_.emplace_back(found, found->IsThisEnabled());
        found->Disable();
    }

    running_ = true;
    host_ = std::make_unique<WindowRunHost>(
        *this, [this](const std::string& text) { showMessage(text); },
        [this, settings = settings_](const std::string& text) { inputMessageSink_(text, settings); });
    const int threads = defaultThreadCount();
    worker_ = std::thread([this, settings = settings_, threads] {
        bool completed = false;
        std::string stoppingWritten;
        try {
            // "Use SPRT" writes the stopping table beside the results table, as quillon-sim does.
            RunReportOptions reportOptions;
            if (settings.useSprt) reportOptions.stoppingFile = stoppingFileBeside(settings.resultsFile);
            RunReports reports(reportOptions, settings);
            RunOptions options{threads};
            if (settings.useSprt) options.listener = &reports;
            // A stopping table that could not be kept is refused before the run.
            std::vector<std::string> problems =
                settings.useSprt ? reports.unwritableFiles() : std::vector<std::string>{};
            if (problems.empty()) {
                // The generator goes on from the last run: where it stands now is this run's seed.
                const std::uint32_t seed = random_.state();
                // A second's margin: file times come from a coarser clock than this one.
                const auto started = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(1);
                const RunSummary summary = runSimulation(settings, random_, *host_, options);
                completed = summary.completed;
                if (settings.useSprt) problems = reports.finish(summary);
                if (reports.written()) stoppingWritten = reportOptions.stoppingFile;
                // Only for results this run wrote: a record would vouch for older tables otherwise.
                std::error_code error;
                const bool resultsWritten = !settings.resultsFile.empty() &&
                                            std::filesystem::last_write_time(settings.resultsFile, error) >= started;
                if (completed && !summary.cancelled && problems.empty() && resultsWritten && !error) {
                    RunRecord record = newRunRecord(settings, seed, summary.examinees, summary.testsStarted);
                    recordRunFiles(record, reports.runFiles(), reports.written());
                    const Status written =
                        writeRunRecord(record, runRecordFileBeside(settings.resultsFile), reports.runFiles());
                    if (!written) problems.push_back(written.failure().message);
                }
            }
            for (const std::string& problem : problems) host_->showMessage(problem);
        } catch (const std::exception& error) {
            // A failure the engine did not turn into a message still reaches the user.
            host_->showMessage(error.what());
        }
        CallAfter([this, completed, stoppingWritten] { finishRun(completed, stoppingWritten); });
    });
}

void MainWindow::finishRun(bool completed, const std::string& stoppingFile) {
    if (worker_.joinable()) worker_.join();
    host_.reset();
    for (const auto& [found, enabled] : enabledBeforeRun_) found->Enable(enabled);
    enabledBeforeRun_.clear();
    running_ = false;
    if (closeAfterRun_) {
        Close(true);
        return;
    }
    if (completed) openResults(stoppingFile);
}

void MainWindow::openResults(const std::string& stoppingFile) {
    Outcome<charts::RunTables> run = charts::loadRunOfSettings(settings_, stoppingFile);
    if (!run) {
        showMessage(run.failure().message);
        return;
    }
    // One Results window at a time: the newest run replaces the last one's.
    if (resultsWindow_) resultsWindow_->Destroy();
    // Owned by the main window, so it stays above it and closes with it.
    resultsWindow_ = new ResultsWindow(this, std::move(*run), messageSink_, fileLauncher_);
    // The work area of the display this window is on, in the logical pixels wx places windows in
    // (GDK_SCALE included), not the first display's.
    const wxRect placed = besideOwner(GetScreenRect(), resultsWindow_->GetSize(), resultsWindow_->readableSize(),
                                      wxDisplay(this).GetClientArea());
    // Before it is shown the window manager's frame is not known yet: change the client area only
    // by what the placement took off, so an unchanged size stays exactly as laid out.
    resultsWindow_->SetClientSize(resultsWindow_->GetClientSize() - (resultsWindow_->GetSize() - placed.GetSize()));
    resultsWindow_->Move(placed.GetPosition());
    resultsWindow_->Show();
    resultsWindow_->Raise();
}

void MainWindow::onClose(wxCloseEvent& event) {
    if (running_) {
        closeAfterRun_ = true;
        host_->requestCancel();
        if (event.CanVeto()) {
            // The run ends at its next progress point; finishRun closes the window then.
            event.Veto();
            return;
        }
        host_->abandonUi();
        worker_.join();
        host_.reset();
        running_ = false;
    }
    Destroy();
}

}  // namespace quillon::ui
