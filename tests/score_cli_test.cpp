// `quillon-sim score` as a user meets it: the posterior it gives is, to the bit, the one the
// simulation reached after the same answers (read from a run's trace), and its refusals.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "quillon/text/csv_fields.h"
#include "quillon/text/line_reader.h"
#include "recording_host.h"

namespace {

using quillon::testing::TempFolder;

struct Ran {
    int exitCode;
    std::string out;
    std::string err;
};

Ran runSim(const TempFolder& folder, const std::string& arguments) {
    const std::string command = std::string("exec ") + QUILLON_SIM + " " + arguments + " >" + folder.file("out") +
                                " 2>" + folder.file("err") + " </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, TempFolder::read(folder.file("out")),
            TempFolder::read(folder.file("err"))};
}

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
    const Ran run =
        runSim(folder, "--pool " + samplePool + " --data " + sampleData + " --results " + folder.file("results.csv") +
                           " --no-exposure --method MaxDiscr --max-length 15 --trace " + folder.file("trace.csv") +
                           " --trace-examinees 80 --examinees " + folder.file("examinees.csv") +
                           " --stop-probability .9 --quiet");
    ASSERT_EQ(run.exitCode, 0) << run.err;

    struct Examinee {
        std::string id, group;
        std::string answers;
        std::string order;
        std::map<std::string, std::string> last;
    };
    std::vector<Examinee> examinees;
    for (const auto& row : tableRows(TempFolder::read(folder.file("trace.csv")))) {
        if (row.at("position") == "1") examinees.push_back({row.at("examinee_id"), row.at("true_group"), "", "", {}});
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
        data +=
            e.id + std::string(11 - e.id.size(), ' ') + std::to_string(std::stoi(e.group) - 1) + " " + e.answers + "\n";
        orders += e.id + e.order + "\n";
    }
    const Ran scored = runSim(folder, "score --pool " + samplePool + " --data " + folder.write("data.txt", data) +
                                          " --item-order " + folder.write("orders.csv", orders) + " --out " +
                                          folder.file("scores.csv") + " --sequential --stop-probability .9");
    ASSERT_EQ(scored.exitCode, 0) << scored.err;

    const auto scores = tableRows(TempFolder::read(folder.file("scores.csv")));
    const auto stops = tableRows(TempFolder::read(folder.file("examinees.csv")));
    ASSERT_EQ(scores.size(), examinees.size());
    for (std::size_t n = 0; n < scores.size(); ++n) {
        const auto& s = scores[n];
        const auto& t = examinees[n].last;
        EXPECT_EQ(s.at("answered"), "15");
        // Both tables write the shortest text that reads back as the same double.
        EXPECT_EQ(s.at("p_group_1"), t.at("posterior_1")) << n;
        EXPECT_EQ(s.at("p_group_2"), t.at("posterior_2")) << n;
        EXPECT_EQ(s.at("map_group"), t.at("map_group")) << n;
        EXPECT_EQ(s.at("map_probability"), t.at("map_prob")) << n;
        EXPECT_EQ(s.at("sprt_decision"), t.at("sprt_group")) << n;
        EXPECT_EQ(s.at("bayes_decision"), t.at("bayes_group")) << n;
        EXPECT_EQ(s.at("sprt_length"), stops[n].at("sprt_length")) << n;
        EXPECT_EQ(s.at("stop_length_.9"), stops[n].at("posterior_.9_length")) << n;
    }
    EXPECT_TRUE(scored.out.starts_with("Scored 80 examinees; the SPRT decided ")) << scored.out;
}

TEST(ScoreCommand, Refusals) {
    TempFolder folder;
    const std::string data = folder.write("data.txt", "E1         1 1011\nE2         0\nE3         0 10x\n");
    const std::string good = folder.write("good.txt", "E1         1 1011\nE2         0\n");
    const std::string out = folder.file("scores.csv");
    const std::string pool = " --pool " + samplePool;
    const struct {
        std::string arguments;
        int exitCode;
        std::string message;
    } cases[] = {
        {"score --data " + data + " --out " + out, 2, "name the pool with --pool FILE."},
        {"score" + pool + " --data " + data + " --out " + out + " --trace t.csv", 2, "--trace is not for score"},
        {"score" + pool + " --data " + data + " --out " + samplePool, 1, "is also the pool file"},
        {"score" + pool + " --data " + data + " --out " + data, 1, "is also the data file"},
        {"score" + pool + " --data " + data + " --out " + out, 1, data + ", line 3, column 16: the answer \"x\""},
        {"score" + pool + " --data " + data + " --out " + out + " --categories 3", 1, "fewer than N Categories (3)"},
        {"score" + pool + " --data " + good + " --out " + out + " --item-order " + folder.write("o.csv", "E1,I0001\n"),
         1, "Item-order file " + folder.file("o.csv") + ", line 1: the item \"I0002\", answered in"},
    };
    for (const auto& c : cases) {
        const Ran ran = runSim(folder, c.arguments);
        EXPECT_EQ(ran.exitCode, c.exitCode) << c.arguments << ": " << ran.err;
        EXPECT_NE(ran.err.find(c.message), std::string::npos) << c.arguments << ": " << ran.err;
    }

    // A table is written once; replacing it takes --force.
    const std::string score = "score" + pool + " --data " + good + " --out " + out;
    const Ran first = runSim(folder, score);
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.out, "Scored 2 examinees (1 without an answer); the SPRT decided 0. Wrote " + out + "\n");
    const Ran again = runSim(folder, score);
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
    EXPECT_EQ(runSim(folder, score + " --force").exitCode, 0);
}
