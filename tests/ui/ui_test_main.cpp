// Starts wxWidgets once for all window tests; listing the tests needs no display.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>
#include <wx/init.h>

#include "ui_test_support.h"

namespace {

class TestApp : public wxApp {
public:
    bool OnInit() override { return true; }
};

class WxEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "ui_test";
        static char* argv[] = {name, nullptr};
        if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
            std::fprintf(stderr, "wxWidgets could not start: is there a display?\n");
            std::exit(1);
        }
    }
    void TearDown() override {
        wxTheApp->OnExit();
        wxEntryCleanup();
    }
};

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(TestApp);

namespace quillon::ui::testing {

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillon-ui-XXXXXX").string();
    path = ::mkdtemp(pattern.data()) ? pattern : throw std::runtime_error("no temporary folder");
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace quillon::ui::testing

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new WxEnvironment);
    return RUN_ALL_TESTS();
}
