// `quillon-sim score` as a user meets it: the posterior it gives is, to the bit, the one the
// simulation reached after the same answers (read from a run's trace), and its refusals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "quillon/text/csv_fields.h"
#include "quillon/text/line_reader.h"
#include "recording_host.h"
#include "sim_command.h"

namespace {

using quillon::testing::runSimCommand;
using quillon::testing::SimRun;
using quillon::testing::TempFolder;

const std::string samplePool = std::string(QUILLON_SOURCE_DIR) + "/data/samplepassfail_pool.csv";
const std::string sampleData = std::string(QUILLON_SOURCE_DIR) + "/data/samplepassfail.txt";

// A table's rows, each by column name.
std::vector<std::map<std::string, std::string>> tableRows(const std::string& text) {
    const std::vector<std::string> lines = quillon::splitLines(text);
    std::vector<std::map<std::string, std::string>> rows;
    if (lines.empty()) return rows;
    const std::vector<std::string> names = quillon::csvFields(lines[0]);
    for (std::size_t n = 1; n < lines.size(); ++n) {
        const std::vector<std::string> fields = quillon::csvFields(lines[n]);
        std::map<std::string, std::string>& row = rows.emplace_back();
        for (std::size_t c = 0; c < names.size() && c < fields.size(); ++c) row[names[c]] = fields[c];
    }
    return rows;
}

}  // namespace

// MaxDiscr leaves the posterior alone between answers (Shannon and MinCost normalise it while
// they score candidates, which may move its last bits), so the trace's posterior after the last
// item is exactly what the same answers in the same order give. The response file the test builds
// holds only the items the run gave, each answered as the run scored it.
TEST(ScoreCommand, PosteriorAndStopsAreTheSimulations) {
    TempFolder folder;
    const SimRun run = runSimCommand(folder, "--pool " + samplePool + " --data " + sampleData + " --results " +
                                                 folder.file("results.csv") +
                                                 " --no-exposure --method MaxDiscr --max-length 15 --trace " +
                                                 folder.file("trace.csv") + " --trace-examinees 80 --examinees " +
                                                 folder.file("examinees.csv") + " --stop-probability .9 --quiet");
    ASSERT_EQ(run.exitCode, 0) << run.err;

    struct Examinee {
        std::string id, answers, order;
        std::map<std::string, std::string> last;
    };
    std::vector<Examinee> examinees;
    for (const auto& row : tableRows(TempFolder::read(folder.file("trace.csv")))) {
        if (row.at("position") == "1") examinees.push_back({row.at("examinee_id"), "", "", {}});
        Examinee& e = examinees.back();
        const std::size_t at = std::stoul(row.at("item_position")) - 1;
        if (e.answers.size() <= at) e.answers.resize(at + 1, ' ');
        e.answers[at] = row.at("answer") == "1" ? '1' : '0';  // a blank was scored wrong
        e.order += "," + row.at("item_id");
        e.last = row;
    }
    ASSERT_EQ(examinees.size(), 80u);
    std::string data, orders;
    for (const Examinee& e : examinees) {
        data += e.id + std::string(11 - e.id.size(), ' ') + "0 " + e.answers + "\n";
        orders += e.id + e.order + "\n";
    }
    const SimRun scored =
        runSimCommand(folder, "score --pool " + samplePool + " --data " + folder.write("data.txt", data) +
                                  " --item-order " + folder.write("orders.csv", orders) + " --out " +
                                  folder.file("scores.csv") + " --sequential --stop-probability .9");
    ASSERT_EQ(scored.exitCode, 0) << scored.err;

    const auto scores = tableRows(TempFolder::read(folder.file("scores.csv")));
    const auto stops = tableRows(TempFolder::read(folder.file("examinees.csv")));
    // Both tables write the shortest text that reads back as the same double.
    const std::pair<const char*, const char*> sameAsTrace[] = {
        {"p_group_1", "posterior_1"},    {"p_group_2", "posterior_2"},    {"map_group", "map_group"},
        {"map_probability", "map_prob"}, {"sprt_decision", "sprt_group"}, {"bayes_decision", "bayes_group"}};
    ASSERT_EQ(scores.size(), examinees.size());
    for (std::size_t n = 0; n < scores.size(); ++n) {
        EXPECT_EQ(scores[n].at("answered"), "15");
        for (const auto& [score, trace] : sameAsTrace) EXPECT_EQ(scores[n].at(score), examinees[n].last.at(trace)) << n;
        EXPECT_EQ(scores[n].at("sprt_length"), stops[n].at("sprt_length")) << n;
        EXPECT_EQ(scores[n].at("stop_length_.9"), stops[n].at("posterior_.9_length")) << n;
    }
    EXPECT_TRUE(scored.out.starts_with("Scored 80 examinees; the SPRT decided ")) << scored.out;
}

TEST(ScoreCommand, Refusals) {
    TempFolder folder;
    const std::string data = folder.write("data.txt", "E1         1 1011\nE2         0\n");
    const std::string out = folder.file("scores.csv");
    const std::string score = "score --pool " + samplePool + " --data " + data + " --out ";
    const std::tuple<std::string, int, std::string> cases[] = {
        {"score --data " + data + " --out " + out, 2, "name the pool with --pool FILE."},
        {score + out + " --trace t.csv", 2, "--trace is not for score"},
        {score + samplePool, 1, "is also the pool file"},
        {score + out, 0, ""},
        {score + out, 1, "Nothing written: " + out + " already exists. Use --force"},
        {score + out + " --force", 0, ""},
    };
    for (const auto& [arguments, exitCode, message] : cases) {
        const SimRun ran = runSimCommand(folder, arguments);
        EXPECT_EQ(ran.exitCode, exitCode) << arguments << ": " << ran.err;
        EXPECT_NE(ran.err.find(message), std::string::npos) << arguments << ": " << ran.err;
    }
    EXPECT_EQ(TempFolder::read(folder.file("out")),
              "Scored 2 examinees (1 without an answer); the SPRT decided 0. Wrote " + out + "\n");
}
