#include <wx/app.h>

#include "main_window.h"

namespace {

// The process shows the main window and ends, with exit code 0, once it is closed.
class QuillonApp : public wxApp {
public:
    bool OnInit() override {
        SetAppName("quillon");
        auto* window = new quillon::ui::MainWindow();
        window->Show();
        window->Raise();
        return true;
    }
};

}  // namespace

wxIMPLEMENT_APP(QuillonApp);
