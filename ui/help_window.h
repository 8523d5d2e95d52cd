#pragma once

#include <wx/bitmap.h>
#include <wx/dialog.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::ui {

/// Identifiers inside the help window.
namespace help_id {
inline constexpr int browser = 3017;
inline constexpr int ok = 4016;
}  // namespace help_id

/// The fourteen fragments of the help page, in order; the page is their plain concatenation.
std::vector<std::string_view> helpPageFragments();

/// The whole help page as HTML.
std::string helpPageText();

/// The program's 47 by 48 logo, drawn rather than shipped so the binary needs no resource files.
wxBitmap quillonLogo();

/// Opens a link of the help page outside the program; replaced by tests.
using LinkOpener = std::function<void(const std::string& url)>;

/// The modal help window: the page in an HTML view, the logo and an "&Ok" button that ends it
/// (as Escape and Enter do).
class HelpWindow : public wxDialog {
public:
    HelpWindow(wxWindow* owner, const std::string& html, LinkOpener openLink = {});

private:
    void close();
};

/// Shows `html` in a modal help window owned by `owner` and returns when it is closed.
void showHtmlWindow(wxWindow* owner, const std::string& html);

/// Shows the program's help page for the main window.
void showHelp(wxWindow* mainWindow);

}  // namespace quillon::ui
