#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

class wxWindow;

namespace quillon::ui {

/// One hover tip: the control it belongs to and its text (lines joined by CR LF).
struct FieldTip {
    int controlId;
    std::string_view text;
};

/// The eleven tips in the order the main window attaches them.
std::span<const FieldTip> fieldTips();

/// Attaches `text` as the hover tip of control `controlId` of `window` (the window itself for 0),
/// replacing any earlier tip; false when there is no such control.
bool setFieldTip(wxWindow* window, int controlId, std::string_view text);

/// What an open-file picker is asked for.
struct PickerSettings {
    std::string title;
    std::string initialName;       // a pattern, never the path in the box
    std::string initialFolder;     // empty: the current working directory
    std::string filter;            // "name|pattern|name|pattern"
    std::string defaultExtension;  // with its leading period
    bool allowNewName = false;     // output files: a name that does not exist yet may be typed
};

/// The picker arguments of the "..." button `buttonId`; null for any other identifier.
const PickerSettings* pickerSettingsFor(int buttonId);

/// Shows the platform's open-file dialog; the chosen full path, or nothing when cancelled.
std::optional<std::string> pickFileToOpen(wxWindow* owner, const PickerSettings& settings);

/// Appends `extension` when the last path component has none, as a typed name gets it.
std::string withDefaultExtension(const std::string& path, std::string_view extension);

/// Whether `path` names an existing file that "View" may open: not empty, no wildcard, no
/// trailing ":", and an existing entry that is neither a folder nor anything but a file.
bool viewableFile(const std::string& path);

/// The message "View" shows when the path names no file.
inline constexpr std::string_view fileNotFoundMessage = "File not found";

}  // namespace quillon::ui
