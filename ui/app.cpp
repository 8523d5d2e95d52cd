#include <wx/app.h>

#include <csignal>

#include "main_window.h"

namespace {

// The process shows the main window and ends, with exit code 0, once it is closed.
class QuillonApp : public wxApp {
public:
    bool OnInit() override {
        SetAppName("quillon");
#ifdef SIGXFSZ
        // Past a file-size limit a table's write then fails and is reported, instead of ending
        // the program with no word.
        std::signal(SIGXFSZ, SIG_IGN);
#endif
        auto* window = new quillon::ui::MainWindow();
        window->Show();
        window->Raise();
        return true;
    }
};

}  // namespace

wxIMPLEMENT_APP(QuillonApp);
