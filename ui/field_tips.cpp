#include "field_tips.h"

#include <array>
#include <filesystem>
#include <system_error>

#include <wx/filedlg.h>
#include <wx/filefn.h>
#include <wx/window.h>

#include "wx_text.h"

namespace quillon::ui {
namespace {

// Each tip is its lines joined by CR LF; every tip but the last also ends with CR LF.
constexpr std::string_view poolTip =
    "CSV file containing pool informaton  \r\n"
    "\r\n"
    "This file can be created using Calbrix and then transposing the rows and columns\r\n"
    "First row - ignored header\r\n"
    "Second Row - N from Cailibration sample\r\n"
    "Third Row - Group Probabilities\r\n"
    "\r\n"
    "Other rows -\r\n"
    "   Column A - Item ID\r\n"
    "   Column B - Content Area\r\n"
    "   Column C - \r\n"
    "   Column D - drop flag (1 to drop if checked)\r\n"
    "   Columns E and beyond  - probabilities of a correct response by classification\r\n";

constexpr std::string_view scriptTip =
    "CSV file containing bins and randomization factors\r\n"
    "\r\n"
    "First row - ignored header\r\n"
    "\r\n"
    "Other rows -\r\n"
    "   Column A - Slot (item position)\r\n"
    "   Column B - Item Collection\r\n"
    "   Column C - Ignored for now\r\n"
    "   Column D - Randomization (Selection) Factor\r\n";

constexpr std::string_view saveExposureTip =
    "Check if you want to save the number of times items are used. \r\n"
    "\r\n"
    "Note, the Exposure file has suggested items to drop and can be used as a pool input file.\r\n";

constexpr std::string_view exposureTip =
    "CSV file containing exposure data\r\n"
    "\r\n"
    "   Column A - Item ID\r\n"
    "   Column B - Collection\r\n"
    "   Column C - Number of times the item was used\r\n"
    "   Column D - Drop?  =  1 for possible drop if Column I = 0\r\n"
    "   Columns E and beyond - item probabilities\r\n"
    "\r\n"
    "This file can be saved and used as a pool input file for dropping items.\r\n";

constexpr std::string_view enemiesTip =
    "CSV file containing item enemy information \r\n"
    "\r\n"
    "First row - ignored header\r\n"
    "\r\n"
    "Other rows -\r\n"
    "   Column A - Enemy Bin - ignored\r\n"
    "   Column B - Number of enemies in the bin\r\n"
    "   Column C-Z Enemy list\r\n";

constexpr std::string_view resultsTip =
    "CSV file containing results \r\n"
    "\r\n"
    "Accuracy, false positives, false negatives and mean classification probability for "
    "classifying using Maximum A Posterori, Sequential Probability Ratio Testing, and Bayes Risk.\r\n";

constexpr std::string_view randomizationTip =
    "Randomization Factor - also called Selection Factor\r\n"
    "\r\n"
    "If  = 0 then the selection factor in Column D of the script file will be used. If a value "
    "greater than 0 is entered, then that fixed selection factor will be used.\r\n";

constexpr std::string_view responseTip =
    "TXT file containing right/wrong responses\r\n"
    "\r\n"
    "Columns 1-11    ID\r\n"
    "Column   12       True group membership \r\n"
    "Columns 14-       Right/wrong/missing answers\r\n"
    "                             coded as 1,0 or blank respectively";

constexpr std::array tips{
    FieldTip{2030, poolTip},          FieldTip{2133, scriptTip},       FieldTip{3050, saveExposureTip},
    FieldTip{3051, exposureTip},      FieldTip{2042, exposureTip},     FieldTip{3036, enemiesTip},
    FieldTip{2041, enemiesTip},       FieldTip{2048, resultsTip},      FieldTip{2029, randomizationTip},
    FieldTip{2028, randomizationTip}, FieldTip{2045, responseTip},
};

const PickerSettings csvPicker{"Queries", "*.csv", "", "CSV Files (*.csv)|*.csv|All Files (*.*)|*.*", ".csv", false};
const PickerSettings csvOutputPicker{"Queries", "*.csv", "", "CSV Files (*.csv)|*.csv|All Files (*.*)|*.*", ".csv",
                                     true};
const PickerSettings txtPicker{"Queries", "*.txt", "", "TXT Files (*.txt)|*.txt|All Files (*.*)|*.*", ".txt", false};

}  // namespace

std::span<const FieldTip> fieldTips() { return tips; }

bool setFieldTip(wxWindow* window, int controlId, std::string_view text) {
    if (window == nullptr) return false;
    wxWindow* target = controlId == 0 ? window : window->FindWindow(controlId);
    if (target == nullptr) return false;
    // SetToolTip replaces any earlier tip of the control, so a control never shows two.
    target->SetToolTip(toDisplay(text));
    return true;
}

const PickerSettings* pickerSettingsFor(int buttonId) {
    switch (buttonId) {
        case 2031:  // pool
        case 2134:  // script
        case 3037:  // enemies
            return &csvPicker;
        case 2049:  // results
        case 3052:  // exposure
            return &csvOutputPicker;
        case 2046:  // responses
            return &txtPicker;
        default:
            return nullptr;
    }
}

std::optional<std::string> pickFileToOpen(wxWindow* owner, const PickerSettings& settings) {
    const wxString folder = settings.initialFolder.empty() ? wxGetCwd() : toWx(settings.initialFolder);
    // GTK's open dialog only accepts existing files, so output files use the save form, without
    // an overwrite question: the results and exposure files are replaced by design.
    const long style = settings.allowNewName ? wxFD_SAVE : (wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    wxFileDialog dialog(owner, toWx(settings.title), folder, toWx(settings.initialName), toWx(settings.filter),
                        style);
    if (dialog.ShowModal() != wxID_OK) return std::nullopt;
    std::string path = fromWx(dialog.GetPath());
    if (path.empty()) return std::nullopt;
    if (settings.allowNewName) path = withDefaultExtension(path, settings.defaultExtension);
    return path;
}

std::string withDefaultExtension(const std::string& path, std::string_view extension) {
    if (extension.empty()) return path;
    const std::size_t slash = path.find_last_of('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    if (path.find('.', nameStart) != std::string::npos || nameStart == path.size()) return path;
    return path + std::string(extension);
}

bool viewableFile(const std::string& path) {
    if (path.empty() || path.find_first_of("?*") != std::string::npos || path.back() == ':') return false;
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error) return false;
    return std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

}  // namespace quillon::ui
