// A run refused by its inputs: the message unchanged, and "Details…" with the checker's findings.
#include "input_message.h"

#include <wx/button.h>
#include <wx/stattext.h>

#include "quillon/engine/input_files.h"
#include "ui_test_support.h"
#include "wx_text.h"

namespace quillon::ui {

static void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(InputMessage, ARefusedRunShowsItsMessageWithTheSettingsForDetails) {
    TempFolder folder;
    writeFile(folder.file("pool.csv"), "Item_ID\nN\nP_Grp\n");
    RecordingWindow ui;
    std::vector<std::pair<std::string, RunSettings>> shown;
    ui.window->setInputMessageSink(
        [&](const std::string& text, const RunSettings& settings) { shown.emplace_back(text, settings); });
    ui.box(id::poolFile)->ChangeValue(folder.file("pool.csv"));
    ui.box(id::resultsFile)->ChangeValue(folder.file("results.csv"));
    ui.click(id::go);
    ASSERT_TRUE(pumpEvents([&] { return !ui.window->isRunning(); }));
    EXPECT_TRUE(ui.messages.empty());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, "Pool file " + upperName(folder.file("pool.csv")) + " has no items.");
    EXPECT_EQ(shown[0].second.poolFile, folder.file("pool.csv"));

    // A message of a run that got past its inputs stays a plain message.
    writeFile(folder.file("pool.csv"), "Item_ID\nN\nP_Grp\nA1,1,,0,.2,.8\n");
    writeFile(folder.file("responses.txt"), "EXAMINEE0010 1\n");
    ui.box(id::responseFile)->ChangeValue(folder.file("responses.txt"));
    ui.box(id::maxTestLength)->ChangeValue("2");
    ui.click(id::go);
    ASSERT_TRUE(pumpEvents([&] { return !ui.window->isRunning(); }));
    EXPECT_EQ(shown.size(), 1u);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_TRUE(ui.messages[0].starts_with("Not enought items")) << ui.messages[0];
}

TEST(InputMessage, DetailsShowTheFindingsForTheSameFilesAndSettings) {
    TempFolder folder;
    RunSettings settings;
    settings.poolFile = folder.file("pool.csv");
    settings.responseFile = folder.file("responses.txt");
    settings.resultsFile = folder.file("results.csv");
    settings.uniformPriors = false;
    writeFile(settings.poolFile, "Item_ID,C,F,D,1,2\nN\nX_Grp\nA1,1,,0,.2,1.8\n");
    writeFile(settings.responseFile, "EXAMINEE0010 1\n");
    const std::string message = "Pool file " + upperName(settings.poolFile) + " has no group priors.";
    auto* box = new InputMessageDialog(nullptr, message, settings);
    box->Show();
    pumpEvents();
    EXPECT_EQ(dynamic_cast<wxStaticText*>(box->FindWindow(input_message_id::text))->GetLabel(), toWx(message));
    auto* details = dynamic_cast<wxButton*>(box->FindWindow(input_message_id::details));
    ASSERT_NE(details, nullptr);
    EXPECT_EQ(details->GetLabel(), wxString::FromUTF8("Details\u2026"));
    ASSERT_NE(box->FindWindow(wxID_OK), nullptr);

    wxDialog* window = box->showDetails(false);
    pumpEvents();
    const std::string text =
        fromWx(dynamic_cast<wxTextCtrl*>(window->FindWindow(input_message_id::findings))->GetValue());
    EXPECT_NE(text.find(settings.poolFile + ":3:1: error: line 3 starts with \"X_Grp\", not \"P_Grp\""),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(settings.poolFile + ":4:12: error: the probability of group 2 is 1.8"), std::string::npos);
    EXPECT_NE(text.find("The run cannot complete"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(settings.resultsFile));
    window->Destroy();
    box->Destroy();
    pumpEvents();
}

TEST(InputMessage, DetailsOnAMissingFileSayItWasNotFoundWithItsPathAndNothingElse) {
    TempFolder folder;
    RunSettings settings;
    settings.poolFile = folder.file("missing_pool.csv");
    settings.scriptFile = folder.file("missing_script.csv");
    settings.enemiesFile = folder.file("missing_enemies.csv");
    settings.responseFile = folder.file("responses.txt");
    settings.resultsFile = folder.file("results.csv");
    writeFile(settings.responseFile, "EXAMINEE0010 1\n");
    struct Case {
        bool followScript, blockEnemies;
        std::string expected;
    };
    for (const Case& c : {
             Case{false, false, "Pool file not found: " + settings.poolFile + "\n"},
             Case{true, true,
                  "Pool file not found: " + settings.poolFile + "\nScript file not found: " + settings.scriptFile +
                      "\nEnemies file not found: " + settings.enemiesFile + "\n"},
         }) {
        settings.followScript = c.followScript;
        settings.blockEnemies = c.blockEnemies;
        EXPECT_EQ(missingInputsText(settings), c.expected);
    }
    writeFile(settings.poolFile, "Item_ID\nN\nP_Grp\n");
    settings.followScript = settings.blockEnemies = false;
    EXPECT_EQ(missingInputsText(settings), "");
    std::filesystem::remove(settings.poolFile);

    auto* box =
        new InputMessageDialog(nullptr, "Pool file " + upperName(settings.poolFile) + " is not available.", settings);
    wxDialog* window = box->showDetails(false);
    pumpEvents();
    const std::string text =
        fromWx(dynamic_cast<wxTextCtrl*>(window->FindWindow(input_message_id::findings))->GetValue());
    EXPECT_EQ(text, "Pool file not found: " + settings.poolFile + "\n");
    window->Destroy();
    box->Destroy();
    pumpEvents();
}

}  // namespace quillon::ui
