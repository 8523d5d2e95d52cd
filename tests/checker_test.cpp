// The input checker: each finding at its place, a clean set without findings, the JSON form, line
// ends and the runner's `check`.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>

#include "quillon/checker/input_checker.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/simulation.h"
#include "recording_host.h"

namespace {

using quillon::CheckedInput;
using quillon::FindingKind;
using quillon::testing::TempFolder;

const std::string cleanPool =
    "Item_ID,Collection,Freq,dropQQ,1,2\n"
    "N,,,,500,500\n"
    "P_Grp, , , ,.5,.5\n"
    "A1,1,,0,.3,.8\n"
    "A2,1,,0,.4,.7\n"
    "A3,1,,0,.2,.9\n"
    "A4,1,,0,.35,.75\n"
    "A5,1,,0,.45,.85\n"
    "A6,1,,0,.25,.6\n";
const std::string cleanScript = "Slot,Collection,Label,Factor\n1,1,,1\n2,1,,2\n3,1,,1\n4,1,,1\n";
const std::string cleanEnemies = "Set,N,Item1,Item2\nE1,2,A1,A2\n";
const std::string cleanResponses =
    "EXAMINEE0010 010010\n"
    "EXAMINEE0021 111011\n"
    "EXAMINEE0030 001000\n"
    "EXAMINEE0041 110111\n";

// One set of four files and the settings of a run over them, all options that read files on.
struct Inputs {
    std::string pool = cleanPool;
    std::string script = cleanScript;
    std::string enemies = cleanEnemies;
    std::string responses = cleanResponses;
    quillon::RunSettings settings = [] {
        quillon::RunSettings s;
        s.maxTestLength = 4;
        s.followScript = true;
        s.blockEnemies = true;
        s.uniformPriors = false;
        return s;
    }();

    // `tag` sets the names apart: fresh files are written without the flush that replacing costs.
    quillon::RunSettings write(const TempFolder& folder, const std::string& tag = "") const {
        quillon::RunSettings s = settings;
        s.poolFile = folder.write("pool" + tag + ".csv", pool);
        s.scriptFile = folder.write("script" + tag + ".csv", script);
        s.enemiesFile = folder.write("enemies" + tag + ".csv", enemies);
        s.responseFile = folder.write("responses" + tag + ".txt", responses);
        s.resultsFile = folder.file("results" + tag + ".csv");
        s.exposureFile = folder.file("expos" + tag + ".csv");
        return s;
    }
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) throw std::logic_error("no " + from + " in the text");
    return text.replace(at, from.size(), to);
}

std::string allReplaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string describe(const quillon::CheckReport& report) {
    std::string text;
    for (const quillon::Finding& finding : report.findings) text += "  " + quillon::findingText(finding) + "\n";
    return text;
}

TEST(Checker, CleanInputsHaveNoFindingAndTheRunCompletes) {
    TempFolder folder;
    const quillon::RunSettings settings = Inputs{}.write(folder);
    const quillon::CheckReport report = quillon::checkInputs(settings);
    EXPECT_TRUE(report.findings.empty()) << describe(report);
    EXPECT_EQ(quillon::checkExitCode(report), 0);
    EXPECT_TRUE(report.summary.canComplete);
    EXPECT_TRUE(report.summary.loaderAccepts);
    EXPECT_FALSE(std::filesystem::exists(settings.resultsFile)) << "a check leaves no file behind";
    EXPECT_EQ(report.summary.examinees, 4);
    EXPECT_EQ(report.summary.collections.at(1).kept, 6);
    ASSERT_EQ(report.summary.discrimination.size(), 1u);
    EXPECT_NEAR(report.summary.discrimination[0].max, std::log(.9 / .2), 1e-12);

    quillon::testing::RecordingHost host;
    quillon::RandomGenerator random;
    EXPECT_TRUE(quillon::runSimulation(settings, random, host).completed);
    // Without the script the deck asks collection 1 for all 2 x 3 positions: just enough.
    quillon::RunSettings deck = settings;
    deck.followScript = false;
    deck.testsPerPerson = 2;
    deck.maxTestLength = 3;
    EXPECT_TRUE(quillon::checkInputs(deck).summary.canComplete) << describe(quillon::checkInputs(deck));
    EXPECT_TRUE(quillon::runSimulation(deck, random, host).completed);
}

struct FindingCase {
    const char* name;
    std::function<void(Inputs&)> change;
    CheckedInput input;
    std::int64_t line;
    std::int64_t column;
    FindingKind kind;
};

TEST(Checker, EachFindingAtItsPlace) {
    using enum CheckedInput;
    const FindingKind E = FindingKind::Error;
    const FindingKind W = FindingKind::Warning;
    const std::vector<FindingCase> cases = {
        {"probability not a number", [](Inputs& i) { i.pool = replaced(i.pool, ".4,", "x.4,"); }, Pool, 5, 9, E},
        {"probability above 1", [](Inputs& i) { i.pool = replaced(i.pool, ".2,", "1.2,"); }, Pool, 6, 9, E},
        {"probability negative", [](Inputs& i) { i.pool = replaced(i.pool, ".85", "-.85"); }, Pool, 8, 13, E},
        {"probability column missing", [](Inputs& i) { i.pool = replaced(i.pool, ".35,.75", ".35"); }, Pool, 7, 12, E},
        {"more categories than columns", [](Inputs& i) { i.settings.groupCount = 3; }, Pool, 1, 1, E},
        {"extra probability column", [](Inputs& i) { i.pool = replaced(i.pool, ".45,.85", ".45,.85,.9"); }, Pool, 8, 17,
         W},
        {"priors missing", [](Inputs& i) { i.pool = replaced(i.pool, "P_Grp", "Q_Grp"); }, Pool, 3, 1, E},
        {"priors not summing to 1", [](Inputs& i) { i.pool = replaced(i.pool, ".5,.5", ".5,.4"); }, Pool, 3, 1, W},
        {"prior negative", [](Inputs& i) { i.pool = replaced(i.pool, ".5,.5", "-.5,1.5"); }, Pool, 3, 13, E},
        {"item on the priors line",
         [](Inputs& i) {
             i.pool = replaced(i.pool, "P_Grp, , , ,.5,.5", "A0,1,,0,.3,.6");
             i.settings.uniformPriors = true;
         },
         Pool, 3, 1, W},
        {"duplicate identifier", [](Inputs& i) { i.pool = replaced(i.pool, "A5,", "A1,"); }, Pool, 8, 1, W},
        {"identifier with a comma", [](Inputs& i) { i.pool = replaced(i.pool, "A5,", "\"A,5\","); }, Pool, 8, 1, W},
        {"equal probabilities", [](Inputs& i) { i.pool = replaced(i.pool, ".25,.6", ".25,.25"); }, Pool, 9, 9, W},
        {"probability 0", [](Inputs& i) { i.pool = replaced(i.pool, ".25,.6", ".25,0"); }, Pool, 9, 13, W},
        {"empty line among the items", [](Inputs& i) { i.pool = replaced(i.pool, "A3,", "\nA3,"); }, Pool, 6, 1, E},
        {"collection above 8 in the deck",
         [](Inputs& i) {
             i.pool = allReplaced(i.pool, ",1,,0,", ",9,,0,");
             i.settings.followScript = false;
         },
         Pool, 4, 4, E},
        {"collection too small for the deck",
         [](Inputs& i) {
             i.pool += "B1,2,,0,.3,.7\n";
             i.settings.followScript = false;
         },
         Pool, 10, 4, W},
        {"collection the script never asks for", [](Inputs& i) { i.pool += "B1,2,,0,.3,.7\n"; }, Pool, 10, 4, W},
        {"collection not a whole number", [](Inputs& i) { i.pool = replaced(i.pool, "A2,1,", "A2,1.5,"); }, Pool, 5, 4,
         W},
        {"every item dropped",
         [](Inputs& i) {
             i.pool = allReplaced(i.pool, ",,0,", ",,1,");
             i.settings.dropItems = true;
         },
         Pool, 4, 1, E},
        {"drop flag not exactly 1",
         [](Inputs& i) {
             i.pool = replaced(i.pool, "A2,1,,0,", "A2,1,,1.0,");
             i.settings.dropItems = true;
         },
         Pool, 5, 7, W},
        {"deck draws a collection dry",
         [](Inputs& i) {
             i.settings.followScript = false;
             i.settings.maxTestLength = 7;
         },
         Pool, 4, 2, E},
        {"script asks more than the collection holds", [](Inputs& i) { i.settings.testsPerPerson = 2; }, Script, 4, 1,
         E},
        {"script factor below 1", [](Inputs& i) { i.script = replaced(i.script, "2,1,,2", "2,1,,0"); }, Script, 3, 6,
         W},
        {"fewer slots than the test length", [](Inputs& i) { i.settings.maxTestLength = 5; }, Script, 5, 1, E},
        {"script without slots", [](Inputs& i) { i.script = "Slot,Collection,Label,Factor\n"; }, Script, 2, 1, E},
        {"script missing", [](Inputs& i) { i.script.clear(); }, Script, 1, 1, E},
        {"enemy not in the pool", [](Inputs& i) { i.enemies = replaced(i.enemies, "A1,A2", "A1,ZZ"); }, Enemies, 2, 9,
         W},
        {"enemy dropped",
         [](Inputs& i) {
             i.pool = replaced(i.pool, "A2,1,,0,", "A2,1,,1,");
             i.settings.dropItems = true;
         },
         Enemies, 2, 9, W},
        {"enemy set of one item", [](Inputs& i) { i.enemies = replaced(i.enemies, "E1,2,A1,A2", "E1,1,A1"); }, Enemies,
         2, 6, W},
        {"identifiers past the count",
         [](Inputs& i) { i.enemies = replaced(i.enemies, "E1,2,A1,A2", "E1,2,A1,A2,A3"); }, Enemies, 2, 12, W},
        {"enemy sets block a collection dry",
         [](Inputs& i) { i.enemies = replaced(i.enemies, "E1,2,A1,A2", "E1,4,A1,A2,A3,A4\nE2,2,A5,A6"); }, Enemies, 2,
         1, W},
        {"response line shorter than the pool",
         [](Inputs& i) { i.responses = replaced(i.responses, "111011\n", "1110\n"); }, Responses, 2, 18, W},
        {"true group above N Categories",
         [](Inputs& i) { i.responses = replaced(i.responses, "EXAMINEE0030", "EXAMINEE0034"); }, Responses, 3, 12, E},
        {"true group not a digit",
         [](Inputs& i) { i.responses = replaced(i.responses, "EXAMINEE0030", "EXAMINEE003x"); }, Responses, 3, 12, W},
        {"answer 2", [](Inputs& i) { i.responses = replaced(i.responses, "001000", "001200"); }, Responses, 3, 17, E},
        {"answer x", [](Inputs& i) { i.responses = replaced(i.responses, "110111", "11x111"); }, Responses, 4, 16, W},
        {"many blanks for one item",
         [](Inputs& i) {
             i.responses = replaced(i.responses, "0 010010", "0  10010");
             i.responses = replaced(i.responses, "1 111011", "1  11011");
         },
         Responses, 1, 14, W},
        {"no examinee in a group", [](Inputs& i) { i.responses = allReplaced(i.responses, "1 1", "0 1"); }, Responses,
         1, 12, W},
        {"a outside (0, 1)", [](Inputs& i) { i.settings.sprtAlpha = 1.5; }, Settings, 0, 0, E},
        {"B outside (0, 1)", [](Inputs& i) { i.settings.sprtBeta = 0; }, Settings, 0, 0, E},
        {"settings the run refuses", [](Inputs& i) { i.settings.testsPerPerson = 6; }, Settings, 0, 0, E},
    };
    for (const FindingCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        Inputs inputs;
        c.change(inputs);
        quillon::RunSettings settings = inputs.write(folder);
        if (std::string(c.name) == "script missing") settings.scriptFile = folder.file("none.csv");
        const quillon::CheckReport report = quillon::checkInputs(settings);
        const bool found = std::any_of(report.findings.begin(), report.findings.end(), [&](const quillon::Finding& f) {
            return f.input == c.input && f.line == c.line && f.column == c.column && f.kind == c.kind;
        });
        EXPECT_TRUE(found) << describe(report);
        EXPECT_EQ(quillon::checkExitCode(report), c.kind == FindingKind::Error ? 1 : 3) << describe(report);
        for (const quillon::Finding& f : report.findings) EXPECT_FALSE(f.fromLoader) << quillon::findingText(f);
    }
}

TEST(Checker, ALoaderRefusalWithoutAPreciseRuleIsStillAnError) {
    TempFolder folder;
    quillon::RunSettings settings = Inputs{}.write(folder);
    settings.resultsFile = folder.file("no-such-folder/results.csv");
    const quillon::CheckReport report = quillon::checkInputs(settings);
    ASSERT_EQ(report.findings.size(), 1u) << describe(report);
    const quillon::Finding& finding = report.findings[0];
    EXPECT_EQ(finding.input, CheckedInput::Results);
    EXPECT_TRUE(finding.fromLoader);
    EXPECT_NE(finding.what.find("Output file " + quillon::upperName(settings.resultsFile) + " has a problem."),
              std::string::npos);
    EXPECT_FALSE(report.summary.loaderAccepts);
}

TEST(Checker, LinesAreCountedAlikeWithEveryLineEnd) {
    Inputs inputs;
    inputs.pool = replaced(inputs.pool, ".2,", "1.2,");  // line 6
    for (const char* end : {"\n", "\r", "\r\n"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(end)));
        TempFolder folder;
        Inputs ended = inputs;
        ended.pool = allReplaced(ended.pool, "\n", end);
        ended.responses = allReplaced(replaced(ended.responses, "EXAMINEE0030", "EXAMINEE0034"), "\n", end);
        const quillon::CheckReport report = quillon::checkInputs(ended.write(folder));
        ASSERT_EQ(report.findings.size(), 2u) << describe(report);
        EXPECT_EQ(report.findings[0].line, 6);
        EXPECT_EQ(report.findings[0].column, 9);
        EXPECT_EQ(report.findings[1].line, 3);
        EXPECT_EQ(report.findings[1].column, 12);
    }
}

TEST(Checker, TextShowsFiftyOfEachKindThenACount) {
    TempFolder folder;
    Inputs inputs;
    for (int i = 0; i < 60; ++i) inputs.pool += "X" + std::to_string(i) + ",1,,0,7,.5\n";
    inputs.pool += "Y,1,,0,.5,.5\n";
    inputs.settings.followScript = false;
    const quillon::CheckReport report = quillon::checkInputs(inputs.write(folder));
    const std::string text = quillon::checkReportText(report);
    EXPECT_NE(text.find("... and 10 more errors\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("more warnings"), std::string::npos);
    EXPECT_NE(text.find(":70:8: warning: item \"Y\" has the same probability in every group"), std::string::npos)
        << text;
    EXPECT_NE(text.find("The run cannot complete"), std::string::npos);
    std::size_t lines = 0;
    for (std::size_t at = text.find(": error: "); at != std::string::npos; at = text.find(": error: ", at + 1)) ++lines;
    EXPECT_EQ(lines, 50u);
}

TEST(Checker, JsonCarriesTheSameReport) {
    TempFolder folder;
    Inputs inputs;
    inputs.pool = replaced(inputs.pool, ".2,", "1.2,");
    inputs.settings.sprtAlpha = 2;
    inputs.responses = replaced(inputs.responses, "EXAMINEE0030", "EXAMINEE003x");
    const quillon::CheckReport report = quillon::checkInputs(inputs.write(folder));
    const nlohmann::json json = nlohmann::json::parse(quillon::checkReportJson(report));
    EXPECT_EQ(json["errors"], 2);
    EXPECT_EQ(json["warnings"], 1);
    EXPECT_EQ(json["exitCode"], 1);
    ASSERT_EQ(json["findings"].size(), report.findings.size());
    for (std::size_t i = 0; i < report.findings.size(); ++i) {
        const nlohmann::json& f = json["findings"][i];
        EXPECT_EQ(f["text"], quillon::findingText(report.findings[i]));
        EXPECT_EQ(f["file"], report.findings[i].file);
    }
    EXPECT_TRUE(json["findings"][0]["line"].is_null());  // the setting comes first and has no place
    EXPECT_EQ(json["findings"][1]["line"], 6);
    EXPECT_EQ(json["findings"][1]["column"], 9);
    EXPECT_EQ(json["summary"]["examinees"], 4);
    EXPECT_EQ(json["summary"]["priors"][1], .5);
    EXPECT_EQ(json["summary"]["collections"][0]["kept"], 6);
    EXPECT_EQ(json["summary"]["canComplete"], false);
}

struct Outcome {
    int exitCode;
    std::string out;
    std::string err;
};

Outcome runSim(const TempFolder& folder, const std::string& arguments) {
    const std::string command = std::string(QUILLON_SIM) + " " + arguments + " >" + folder.file("out") + " 2>" +
                                folder.file("err") + " </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, TempFolder::read(folder.file("out")),
            TempFolder::read(folder.file("err"))};
}

TEST(CheckCommand, ExitCodesAndTheHintAfterALoadMessage) {
    TempFolder folder;
    Inputs inputs;
    inputs.write(folder);
    const std::string files = "--pool " + folder.file("pool.csv") + " --script " + folder.file("script.csv") +
                              " --enemies " + folder.file("enemies.csv") + " --data " + folder.file("responses.txt") +
                              " --results " + folder.file("results.csv") + " --exposure " + folder.file("expos.csv") +
                              " --max-length 4 --follow-script --block-enemies --no-uniform-priors";
    EXPECT_EQ(runSim(folder, "check " + files).exitCode, 0);
    const Outcome scripted = runSim(folder, "check " + files + " --alpha .5 --randomization 0");
    EXPECT_EQ(scripted.exitCode, 0) << "the factor is not read while the script is followed: " << scripted.out;
    EXPECT_EQ(runSim(folder, "check " + files + " --tests-per-person 2").exitCode, 1);
    EXPECT_EQ(runSim(folder, "check --json " + files + " --categories 1").exitCode, 1);
    EXPECT_EQ(runSim(folder, "check " + files + " --no-such-option").exitCode, 2);
    folder.write("pool.csv", replaced(cleanPool, "A5,", "A1,"));
    const Outcome duplicate = runSim(folder, "check " + files);
    EXPECT_EQ(duplicate.exitCode, 3);
    EXPECT_NE(duplicate.out.find(folder.file("pool.csv") + ":8:1: warning: identifier \"A1\" is also on line 4"),
              std::string::npos)
        << duplicate.out;
    const Outcome json = runSim(folder, "check --json " + files);
    EXPECT_EQ(nlohmann::json::parse(json.out)["warnings"], 1);
    EXPECT_FALSE(std::filesystem::exists(folder.file("results.csv")));

    // A run that stops at a load message says how to check the same inputs.
    folder.write("pool.csv", "Item_ID\n");
    const Outcome stopped = runSim(folder, files + " --quiet");
    EXPECT_EQ(stopped.exitCode, 1);
    const std::string message = "Pool file " + quillon::upperName(folder.file("pool.csv")) + " has no items.\n";
    ASSERT_EQ(stopped.err.substr(0, message.size()), message);
    EXPECT_EQ(stopped.err.substr(message.size()),
              "To see where and why, run: " + std::string(QUILLON_SIM) + " check " + files + " --quiet\n");
    const Outcome done = runSim(folder, "--max-length 2 --quiet --pool " + std::string(QUILLON_SOURCE_DIR) +
                                            "/data/samplepassfail_pool.csv --data " + std::string(QUILLON_SOURCE_DIR) +
                                            "/data/samplepassfail.txt --results " + folder.file("r.csv") +
                                            " --exposure " + folder.file("e.csv"));
    EXPECT_EQ(done.exitCode, 0);
    EXPECT_EQ(done.err.find("check"), std::string::npos);
}

}  // namespace
