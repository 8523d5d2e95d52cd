// The run record: its JSON read back, what a reader refuses, what a run writes beside its results
// and what the report makes of it.
#include "quillon/run_record/run_record.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "quillon/charts/report.h"
#include "quillon/engine/output_tables.h"
#include "recording_host.h"

namespace {

using quillon::RecordedFile;
using quillon::RunRecord;
using quillon::testing::TempFolder;

RunRecord sampleRecord() {
    RunRecord record;
    record.settings.poolFile = "pools/a pool, \"quoted\" \xC3\xA9.csv";
    record.settings.responseFile = "data.txt";
    record.settings.resultsFile = "out/r.csv";
    record.settings.maxTestLength = 37;
    record.settings.groupCount = 3;
    record.settings.selectionMethod = quillon::SelectionMethod::MinCost;
    record.settings.sprtAlpha = 0.1 + 0.2;  // a double that needs all its digits
    record.settings.saveExposure = false;   // written as no-exposure: true
    record.settings.stopProbabilities = {.9, .99};
    record.seed = 4294967295u;
    record.inputs = {{"pool", record.settings.poolFile, 6610, "0de1e1dc9686526c"},
                     {"data", "", 12, "0123456789abcdef"}};
    record.outputs = {{"results", "out/r.csv", 1689, "d1b9fcd71d97bc97"}};
    record.examinees = 2000;
    record.tests = 4000;
    record.programVersion = "1.10";
    record.date = "2026-12-07T21:47:08Z";
    record.commandLine = {"quillon-sim", "--pool", "a b.csv"};
    return record;
}

void expectSame(const RunRecord& got, const RunRecord& want) {
    EXPECT_EQ(quillon::recordValues(got), quillon::recordValues(want));
    EXPECT_EQ(got.settings.sprtAlpha, want.settings.sprtAlpha);  // bit for bit, not as shown
    EXPECT_EQ(got.inputs, want.inputs);
    EXPECT_EQ(got.outputs, want.outputs);
    EXPECT_EQ(got.examinees, want.examinees);
    EXPECT_EQ(got.tests, want.tests);
    EXPECT_EQ(got.programVersion, want.programVersion);
    EXPECT_EQ(got.date, want.date);
    EXPECT_EQ(got.commandLine, want.commandLine);
}

TEST(RunRecord, ReadsBackWhatItWrites) {
    const RunRecord record = sampleRecord();
    const std::string json = quillon::runRecordJson(record);
    EXPECT_TRUE(json.ends_with("}\n"));
    const quillon::Outcome<RunRecord> read = quillon::parseRunRecord(json, "r_run.json");
    ASSERT_TRUE(read) << read.failure().message;
    expectSame(*read, record);
    EXPECT_EQ(quillon::runRecordJson(*read), json);  // the key order is stable
    // Flags under the runner's names: a cleared "save exposure" is no-exposure, true.
    EXPECT_EQ(nlohmann::json::parse(json)["settings"]["no-exposure"], true);
}

TEST(RunRecord, RefusesWhatIsNotARecordOfARun) {
    const nlohmann::ordered_json good = nlohmann::ordered_json::parse(quillon::runRecordJson(sampleRecord()));
    struct Case {
        const char* what;
        std::function<void(nlohmann::ordered_json&)> change;
        std::string said;
    };
    const std::vector<Case> cases = {
        {"another format", [](auto& j) { j["format"] = "quillon-run-record-2"; }, "\"format\" is not"},
        {"a key missing", [](auto& j) { j.erase("seed"); }, "\"seed\" is missing"},
        {"an unknown key", [](auto& j) { j["extra"] = 1; }, "the key \"extra\" is unknown"},
        {"a negative count", [](auto& j) { j["tests"] = -1; }, "\"tests\" is not a whole number"},
        {"a seed past 32 bits", [](auto& j) { j["seed"] = 4294967296ull; }, "\"seed\" is not a whole number"},
        {"a date not in UTC", [](auto& j) { j["date"] = "2026-12-07 21:47"; }, "\"date\" is not a UTC time"},
        {"a setting missing", [](auto& j) { j["settings"].erase("alpha"); }, "\"settings\": \"alpha\" is missing"},
        {"an unknown setting", [](auto& j) { j["settings"]["max-lenght"] = 5; }, "unknown setting \"max-lenght\""},
        {"a whole number as text", [](auto& j) { j["settings"]["max-length"] = "37"; }, "is not a whole number"},
        {"a flag as a number", [](auto& j) { j["settings"]["use-sprt"] = 1; }, "is neither true nor false"},
        {"an unknown method", [](auto& j) { j["settings"]["method"] = "Best"; }, "not one of Shannon"},
        {"settings no run takes", [](auto& j) { j["settings"]["max-length"] = 0; }, "Maximum test length"},
        {"a bad stop probability", [](auto& j) { j["settings"]["stop-probability"] = {1.5}; }, "Stop probability 1.5"},
        {"a short digest", [](auto& j) { j["outputs"][0]["fnv1a"] = "abc"; }, "\"outputs\" entry 1: \"fnv1a\""},
        {"a file without a role", [](auto& j) { j["inputs"][1]["role"] = ""; }, "\"inputs\" entry 2: \"role\""},
        {"a file with a size as text", [](auto& j) { j["inputs"][0]["bytes"] = "1"; }, "\"bytes\" is not"},
    };
    for (const Case& c : cases) {
        nlohmann::ordered_json changed = good;
        c.change(changed);
        const quillon::Outcome<RunRecord> read = quillon::parseRunRecord(changed.dump(), "dir/r_run.json");
        ASSERT_FALSE(read) << c.what;
        EXPECT_EQ(read.failure().kind, quillon::FailureKind::Input) << c.what;
        EXPECT_TRUE(read.failure().message.starts_with("Run record dir/r_run.json cannot be used: "))
            << c.what << ": " << read.failure().message;
        EXPECT_NE(read.failure().message.find(c.said), std::string::npos) << c.what << ": " << read.failure().message;
    }
    for (const char* text : {"", "{", "[]", "null", "{\"format\": \"quillon-run-record-1\"} trailing"}) {
        const quillon::Outcome<RunRecord> read = quillon::parseRunRecord(text, "x.json");
        EXPECT_FALSE(read) << text;
    }
}

TEST(RunRecord, SitsBesideTheResultsAsTheStoppingTableDoes) {
    struct Case {
        std::string results, record, stopping;
    };
    for (const Case& c : std::vector<Case>{{"out/r.csv", "out/r_run.json", "out/r_stopping.csv"},
                                           {"r", "r_run.json", "r_stopping.csv"},
                                           {"a.b/r", "a.b/r_run.json", "a.b/r_stopping.csv"},
                                           {"r.tsv", "r_run.json", "r_stopping.tsv"}}) {
        EXPECT_EQ(quillon::runRecordFileBeside(c.results), c.record) << c.results;
        EXPECT_EQ(quillon::fileBesideResults(c.results, "_stopping"), c.stopping) << c.results;
    }
}

struct Ran {
    int code;
    std::string err;
};

Ran sim(const TempFolder& folder, const std::string& arguments) {
    const std::string command = "cd " + folder.file("") + " && exec " + QUILLON_SIM + " " + arguments + " >" +
                                folder.file("out") + " 2>" + folder.file("err") + " </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, TempFolder::read(folder.file("err"))};
}

const std::string sample = std::string(QUILLON_SOURCE_DIR) + "/data/";
const std::string sampleRun =
    "--quiet --max-length 8 --pool " + sample + "samplepassfail_pool.csv --data " + sample + "samplepassfail.txt";

TEST(RunRecord, ARunRecordsItsFilesBesideItsResults) {
    TempFolder folder;
    const Ran ran = sim(folder, sampleRun + " --results r.csv --exposure e.csv --use-sprt --seed 7");
    ASSERT_EQ(ran.code, 0) << ran.err;
    const quillon::Outcome<RunRecord> record = quillon::readRunRecord(folder.file("r_run.json"));
    ASSERT_TRUE(record) << record.failure().message;
    EXPECT_EQ(record->seed, 7u);
    EXPECT_EQ(record->tests, 2000);
    EXPECT_EQ(record->settings.maxTestLength, 8);
    EXPECT_EQ(record->commandLine.back(), "7");
    std::vector<std::string> roles;
    for (const RecordedFile& file : record->inputs) roles.push_back(file.role);
    EXPECT_EQ(roles, (std::vector<std::string>{"pool", "data"}));
    // Each table the run wrote, with the size and digest of the bytes now there.
    for (const char* role : {"results", "exposure", "stopping"}) {
        const RecordedFile* output = quillon::recordedOutput(*record, role);
        ASSERT_NE(output, nullptr) << role;
        EXPECT_EQ(quillon::recordedFile(role, folder.file(output->path))->digest, output->digest) << role;
    }
    // A merge records its parts among the files it read, and the same results as the one-process run.
    const std::string shard = sampleRun + " --results m.csv --exposure me.csv --seed 7 --part p";
    ASSERT_EQ(sim(folder, shard + "1 --shard 1/2").code, 0);
    ASSERT_EQ(sim(folder, shard + "2 --shard 2/2").code, 0);
    ASSERT_EQ(sim(folder, "merge p1 p2 " + sampleRun + " --results m.csv --exposure me.csv --seed 7").code, 0);
    const quillon::Outcome<RunRecord> merged = quillon::readRunRecord(folder.file("m_run.json"));
    ASSERT_TRUE(merged) << merged.failure().message;
    std::vector<std::string> mergedRoles;
    for (const RecordedFile& file : merged->inputs) mergedRoles.push_back(file.role);
    EXPECT_EQ(mergedRoles, (std::vector<std::string>{"pool", "data", "part", "part"}));
    EXPECT_EQ(quillon::recordedOutput(*merged, "results")->digest, quillon::recordedOutput(*record, "results")->digest);
}

TEST(RunRecord, ARunNeverWritesItsRecordOverAnotherOfItsFiles) {
    TempFolder folder;
    const std::string pool = TempFolder::read(sample + "samplepassfail_pool.csv");
    folder.write("r_run.json", pool);
    struct Case {
        std::string arguments, keptFile, said;
    };
    const std::vector<Case> cases = {
        {"--pool r_run.json --data " + sample +
             "samplepassfail.txt --quiet --max-length 8 --results r.csv --no-exposure",
         "", "would replace the pool file"},
        {sampleRun + " --results r.csv --exposure r_run.json", "e", "would replace the exposure file"},
        {sampleRun + " --results r.csv --no-exposure --report r_run.json", "h", "would replace the report file"},
    };
    for (const Case& c : cases) {
        folder.write("r_run.json", pool);
        const Ran ran = sim(folder, c.arguments);
        // The run did all it was asked; the record is left out and said so.
        EXPECT_EQ(ran.code, 0) << c.arguments << ": " << ran.err;
        EXPECT_NE(ran.err.find(c.said), std::string::npos) << c.arguments << ": " << ran.err;
        const std::string kept = TempFolder::read(folder.file("r_run.json"));
        if (c.keptFile.empty()) {
            EXPECT_EQ(kept, pool) << c.arguments;
        } else if (c.keptFile == "e") {
            EXPECT_TRUE(kept.starts_with(pool.substr(0, 20))) << "an exposure table";
        } else {
            EXPECT_TRUE(kept.starts_with("<!DOCTYPE html>")) << kept.substr(0, 40);
        }
    }
}

TEST(RunRecord, TheReportComparesRunsAndDistrustsAStaleRecord) {
    TempFolder folder;
    ASSERT_EQ(sim(folder, sampleRun + " --results a.csv --no-exposure").code, 0);
    ASSERT_EQ(sim(folder, sampleRun + " --results b.csv --no-exposure --method MinCost").code, 0);
    // A name with markup in it, which every part of the report must escape.
    ASSERT_EQ(sim(folder, sampleRun + " --results 'c<i>.csv' --no-exposure").code, 0);
    const auto report = [&](const std::vector<std::string>& results) {
        std::vector<quillon::charts::RunTables> runs;
        for (const std::string& name : results)
            runs.push_back(*quillon::charts::loadRunTables({folder.file(name), "", "", ""}));
        return quillon::charts::reportHtml(runs);
    };
    struct Case {
        std::vector<std::string> results;
        std::vector<std::string> shown, notShown;
    };
    const std::vector<Case> cases = {
        {{"a.csv"},
         {"<h2>What made this run</h2>", "<td>method</td><td class=\"text\">Shannon</td>"},
         {"Differs between runs"}},
        {{"a.csv", "b.csv"},
         {"<h2>Differs between runs</h2>",
          "<td>method</td><td class=\"text\">Shannon</td><td class=\"text\">MinCost</td>",
          "<h2>What made these runs</h2>"},
         {"<td>max-length</td><td class=\"text\">8</td><td"}},
        // Only the results' names differ: the settings agree, and nothing else is listed.
        {{"a.csv", "c<i>.csv"}, {"<td>results</td>"}, {"<td>method</td><td class=\"text\">Shannon</td><td"}},
    };
    for (const Case& c : cases) {
        const std::string html = report(c.results);
        for (const std::string& shown : c.shown) EXPECT_NE(html.find(shown), std::string::npos) << shown;
        for (const std::string& hidden : c.notShown) EXPECT_EQ(html.find(hidden), std::string::npos) << hidden;
        // The comparison comes right after the title.
        if (c.results.size() > 1) {
            EXPECT_LT(html.find("Differs between runs"), html.find("<h2>Runs</h2>"));
        }
    }
    // Results replaced since their record was written: the record describes other tables.
    folder.write("a.csv", TempFolder::read(folder.file("b.csv")));
    const std::string stale = report({"a.csv", "c<i>.csv"});
    EXPECT_NE(stale.find("does not belong to the results table"), std::string::npos);
    EXPECT_EQ(stale.find("<h2>Differs between runs</h2>\n<table>"), std::string::npos);
    // A record that cannot be read is said, not trusted, and does not stop the report.
    folder.write("c<i>_run.json", "{");
    const std::string broken = report({"c<i>.csv"});
    EXPECT_NE(broken.find("cannot be used: it is not JSON"), std::string::npos);
    for (const std::string& html : {broken, report({"b.csv", "c<i>.csv"})})
        EXPECT_EQ(html.find("c<i>"), std::string::npos) << "unescaped";
}

}  // namespace
