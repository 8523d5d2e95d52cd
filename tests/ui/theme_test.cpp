// Every window takes its colours from the theme: text stays readable on its background in a
// light and a dark theme alike (CMake runs these tests a second time under a dark theme).
#include <wx/checkbox.h>
#include <wx/radiobut.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

#include <cmath>
#include <cstdlib>
#include <string_view>

#include "help_window.h"
#include "progress_window.h"
#include "ui_test_support.h"

namespace quillon::ui {
namespace {

// Relative luminance as the web's contrast rules define it.
double luminance(const wxColour& colour) {
    const auto linear = [](unsigned char channel) {
        const double c = channel / 255.0;
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.Red()) + 0.7152 * linear(colour.Green()) + 0.0722 * linear(colour.Blue());
}

double contrast(const wxColour& a, const wxColour& b) {
    const double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

bool darkTheme() {
    const char* theme = std::getenv("GTK_THEME");
    return theme != nullptr && std::string_view(theme).ends_with(":dark");
}

// Every text-bearing control under `window` against the background it is drawn on: active text
// plainly readable, greyed text fainter than active text but still there.
void expectReadable(wxWindow* window) {
    if (darkTheme()) {
        EXPECT_LT(luminance(window->GetBackgroundColour()), 0.2) << window->GetLabel();
    }
    double faintestActive = 21, strongestGreyed = 1;
    for (wxWindow* child : window->GetChildren()) {
        if (!dynamic_cast<wxStaticText*>(child) && !dynamic_cast<wxCheckBox*>(child) &&
            !dynamic_cast<wxRadioButton*>(child) && !dynamic_cast<wxStaticBox*>(child))
            continue;
        const double ratio = contrast(child->GetForegroundColour(), child->GetBackgroundColour());
        if (child->IsEnabled()) {
            faintestActive = std::min(faintestActive, ratio);
            EXPECT_GE(ratio, 4.5) << child->GetLabel() << " on " << window->GetLabel();  // the usual floor
        } else {
            strongestGreyed = std::max(strongestGreyed, ratio);
            EXPECT_GE(ratio, 1.8) << child->GetLabel() << " on " << window->GetLabel();
        }
    }
    if (strongestGreyed > 1) {
        EXPECT_LT(strongestGreyed, faintestActive) << window->GetLabel();
    }
}

}  // namespace

TEST(Theme, TheMainProgressAndHelpWindowsKeepTheirTextReadable) {
    RecordingWindow ui;
    expectReadable(ui.window);

    const ProgressHandle progress = PROGRESS_INIT(ui.window, "Simulation Progress");
    PROGRESS_SET(progress, 40, "Examinee 4");
    pumpEvents();
    expectReadable(findProgressWindow(progress));
    PROGRESS_SHUTDOWN(progress);

    auto* help = new HelpWindow(ui.window, helpPageText());
    expectReadable(help);
    help->Destroy();
    pumpEvents();
}

}  // namespace quillon::ui
