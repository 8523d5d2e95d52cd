// Starts wxWidgets once for all window tests; listing the tests needs no display.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>

#include <cstdio>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    wxApp::SetInstance(new wxApp);
    int wxArgc = 1;
    if (!wxEntryStart(wxArgc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "wxWidgets could not start: is there a display?\n");
        return 1;
    }
    const int failed = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return failed;
}
