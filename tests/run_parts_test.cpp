#include "quillon/engine/run_parts.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>

#include "failure_text.h"
#include "fnv_hex.h"
#include "quillon/engine/sample_data.h"
#include "quillon/run_reports/run_reports.h"
#include "recording_host.h"
#include "same_text.h"

namespace quillon {
namespace {

using testing::RecordingHost;
using testing::sameText;
using testing::TempFolder;

// What a run leaves behind: its two tables (or their absence), its messages and its summary.
struct Outcome {
    std::string results, exposure;
    std::vector<std::string> messages, done;
    RunSummary summary;
    std::string stopping, confusion;  // the tables of the run's statistics
    std::string examinees;            // the examinees table, as the run's reports write it
};

Outcome outcomeOf(const RunSettings& settings, const RecordingHost& host, const RunSummary& summary) {
    Outcome o{TempFolder::read(settings.resultsFile),
              TempFolder::read(settings.exposureFile),
              host.messages,
              host.done,
              summary,
              summary.statistics.stopping.text(),
              summary.statistics.confusion.text(),
              {}};
    return o;
}

void expectSame(const Outcome& whole, const Outcome& merged, const std::string& what) {
    EXPECT_TRUE(sameText(whole.results, merged.results)) << what;
    EXPECT_TRUE(sameText(whole.exposure, merged.exposure)) << what;
    EXPECT_EQ(whole.messages, merged.messages) << what;
    EXPECT_EQ(whole.done, merged.done) << what;
    EXPECT_EQ(whole.summary.completed, merged.summary.completed) << what;
    EXPECT_EQ(whole.summary.cancelled, merged.summary.cancelled) << what;
    EXPECT_EQ(whole.summary.examinees, merged.summary.examinees) << what;
    EXPECT_EQ(whole.summary.testsStarted, merged.summary.testsStarted) << what;
    // The whole value, not only what the two tables show.
    const RunStatistics& a = whole.summary.statistics;
    const RunStatistics& b = merged.summary.statistics;
    EXPECT_TRUE(sameText(whole.stopping, merged.stopping)) << what;
    EXPECT_TRUE(sameText(whole.confusion, merged.confusion)) << what;
    EXPECT_TRUE(sameText(whole.examinees, merged.examinees)) << what;
    EXPECT_EQ(a.exposureCount, b.exposureCount) << what;
    EXPECT_EQ(a.testsTaken, b.testsTaken) << what;
    EXPECT_EQ(a.selections, b.selections) << what;
    EXPECT_EQ(a.stop.messages, b.stop.messages) << what;
    EXPECT_EQ(a.stop.failed, b.stop.failed) << what;
    EXPECT_EQ(a.stop.failedLine, b.stop.failedLine) << what;
}

// A folder of generated files and the run's settings, with runs whole, in shards and merged.
struct Split {
    TempFolder folder;
    RunSettings settings;
    std::uint32_t seed = RandomGenerator::defaultSeed;

    Split(const SampleOptions& sample, const std::function<void(RunSettings&)>& change) {
        EXPECT_EQ(failureText(writeSampleFiles(sample, generateSampleFiles(sample), folder.file("data"))), "");
        setDefaultPaths(settings, folder.file(""), '/');
        if (sample.groups != 2) {
            settings.groupCount = sample.groups;
            settings.costPassPass = settings.costPassFail = settings.costFailPass = settings.costFailFail = 0.0;
        }
        settings.maxTestLength = 12;
        change(settings);
    }

    Outcome whole() {
        RunSettings s = settings;
        s.resultsFile = folder.file("whole_results.csv");
        s.exposureFile = folder.file("whole_expos.csv");
        RunReportOptions options;
        options.examineesFile = folder.file("whole_examinees.csv");
        RunReports reports(options, s);
        RecordingHost host;
        RandomGenerator random(seed);
        const RunSummary summary = runSimulation(s, random, host, RunOptions{2, &reports});
        reports.finish(summary);
        Outcome outcome = outcomeOf(s, host, summary);
        outcome.examinees = TempFolder::read(options.examineesFile);
        return outcome;
    }

    std::vector<std::string> shards(int count) {
        std::vector<std::string> parts;
        for (int k = 1; k <= count; ++k) {
            parts.push_back(
                folder.file("part" + std::to_string(seed) + "_" + std::to_string(k) + "of" + std::to_string(count)));
            RecordingHost host;
            RandomGenerator random(seed);
            const RunSummary summary = runShard(settings, random, host, 1 + k % 2, k, count, parts.back(), true);
            EXPECT_TRUE(summary.completed) << k << "/" << count;
            EXPECT_TRUE(host.messages.empty()) << k << "/" << count;
        }
        return parts;
    }

    Outcome merge(const std::vector<std::string>& parts, const std::string& name) {
        RunSettings s = settings;
        s.resultsFile = folder.file(name + "_results.csv");
        s.exposureFile = folder.file(name + "_expos.csv");
        RunReportOptions options;
        options.examineesFile = folder.file(name + "_examinees.csv");
        RunReports reports(options, s);
        RecordingHost host;
        RandomGenerator random(seed);
        const RunSummary summary = runMerge(s, random, host, parts, {true});
        reports.finish(summary);
        Outcome outcome = outcomeOf(s, host, summary);
        outcome.examinees = TempFolder::read(options.examineesFile);
        return outcome;
    }
};

// Gives the pool an Exposure_K column of varied parameters, some 1, some 0.
void addExposureParameters(const std::string& poolFile) {
    std::istringstream in(TempFolder::read(poolFile));
    std::string text;
    int row = 0;
    for (std::string line; std::getline(in, line); ++row) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        text += line +
                (row == 0  ? ",Exposure_K"
                 : row < 3 ? ","
                           : "," + std::to_string((row * 7 % 11) / 10.0)) +
                "\r\n";
    }
    std::ofstream(poolFile, std::ios::binary) << text;
}

SampleOptions smallSample(std::int32_t groups, std::int64_t examinees) {
    SampleOptions sample;
    sample.items = 80;
    sample.collections = 3;
    sample.groups = groups;
    sample.examinees = examinees;
    sample.scriptLength = 12;
    sample.seed = 11;
    return sample;
}

TEST(RunParts, MergedShardsWriteTheOneProcessRunsBytes) {
    struct Case {
        const char* name;
        SampleOptions sample;
        std::function<void(RunSettings&)> change;
    };
    const std::vector<Case> cases = {
        {"shannon", smallSample(2, 37), [](RunSettings&) {}},
        {"maxdiscr", smallSample(2, 23),
         [](RunSettings& s) {
             s.selectionMethod = SelectionMethod::MaxDiscr;
             s.randomizationFactor = 3;
         }},
        {"mincost enemies", smallSample(2, 19),
         [](RunSettings& s) {
             s.selectionMethod = SelectionMethod::MinCost;
             s.randomizationFactor = 2;
             s.blockEnemies = true;
         }},
        {"script three tests", smallSample(2, 41),
         [](RunSettings& s) {
             s.followScript = true;
             s.testsPerPerson = 3;
             s.uniformPriors = false;
         }},
        {"three groups no exposure", smallSample(3, 29),
         [](RunSettings& s) {
             s.saveExposure = false;
             s.testsPerPerson = 2;
         }},
        {"fewer examinees than shards", smallSample(2, 3), [](RunSettings&) {}},
        // Ranges of several replay batches, and progress points every few tests.
        {"many examinees", smallSample(2, 230), [](RunSettings& s) { s.testsPerPerson = 2; }},
        // Each exposure control adds draws of its own; the eligibility method also learns across
        // examinees, so its shards must learn what the examinees before their range teach.
        {"progressive", smallSample(2, 45),
         [](RunSettings& s) {
             s.exposureControl = ExposureControl::Progressive;
             s.randomizationFactor = 2;
         }},
        {"eligibility", smallSample(2, 230),
         [](RunSettings& s) {
             s.exposureControl = ExposureControl::Eligibility;
             s.maxExposure = .3;
             s.testsPerPerson = 2;
         }},
        {"sympson-hetter", smallSample(2, 70),
         [](RunSettings& s) {
             s.exposureControl = ExposureControl::SympsonHetter;
             s.blockEnemies = true;
             addExposureParameters(s.poolFile);
         }},
        // Every examinee's fifth test finds a collection used up by the first four.
        {"failing", smallSample(2, 30),
         [](RunSettings& s) {
             s.testsPerPerson = 5;
             s.maxTestLength = 20;
         }},
    };
    for (const Case& c : cases) {
        Split split(c.sample, c.change);
        const Outcome whole = split.whole();
        if (std::string(c.name) == "failing") {
            ASSERT_FALSE(whole.messages.empty());
        }
        for (int count = 1; count <= 7; ++count)
            expectSame(whole, split.merge(split.shards(count), "merged" + std::to_string(count)),
                       std::string(c.name) + " in " + std::to_string(count) + " shards");
    }
}

TEST(RunParts, AnEmptyResponseFileMergesToTheEmptyRun) {
    Split split(smallSample(2, 5), [](RunSettings&) {});
    std::ofstream(split.settings.responseFile, std::ios::binary).flush();  // emptied
    const Outcome whole = split.whole();
    ASSERT_TRUE(whole.summary.completed);
    for (int count : {1, 4}) expectSame(whole, split.merge(split.shards(count), "empty"), std::to_string(count));
}

// A collection 9 in the deck shows "icol error" and the run stops at its next progress point,
// which may lie in a later shard's range and falls by the whole run's count of tests.
TEST(RunParts, AnIcolErrorStopsTheMergeWhereItStopsTheWholeRun) {
    struct Case {
        std::int64_t examinees;
        std::int32_t length;
        std::int64_t cutAfter;  // a seed is chosen whose cut comes after this many tests
    };
    // A progress point at every test; then one every fourth test, with the cut late in the file.
    for (const Case& c : {Case{4, 3, 0}, Case{430, 2, 150}}) {
        Split split(smallSample(2, c.examinees), [&](RunSettings& s) { s.maxTestLength = c.length; });
        std::string pool = TempFolder::read(split.settings.poolFile);
        // Six items of collection 9 put one 9 into the deck, among many entries of collection 1.
        for (int i = 0; i < 6; ++i) pool += "X" + std::to_string(i) + ",9,,0,.3,.7\r\n";
        for (int i = 0; i < 600; ++i) pool += "Y" + std::to_string(i) + ",1,,0,.4,.6\r\n";
        std::ofstream(split.settings.poolFile, std::ios::binary) << pool;
        Outcome whole;
        for (split.seed = 1; split.seed < 400; ++split.seed) {
            whole = split.whole();
            if (whole.summary.testsStarted > c.cutAfter && !whole.messages.empty()) break;
        }
        ASSERT_LT(split.seed, 400u);
        ASSERT_EQ(whole.messages.front().rfind("icol error  ", 0), 0u);
        if (c.cutAfter > 0) {
            ASSERT_TRUE(whole.summary.cancelled);
        }
        for (int count = 1; count <= 7; ++count)
            expectSame(whole, split.merge(split.shards(count), "icol" + std::to_string(count)),
                       std::to_string(c.examinees) + " examinees in " + std::to_string(count) + " shards");
    }
}

TEST(RunParts, PartsThatDoNotMakeOneRunAreRefusedAndNothingIsWritten) {
    Split split(smallSample(2, 20), [](RunSettings&) {});
    const std::vector<std::string> three = split.shards(3);
    const std::vector<std::string> two = split.shards(2);
    split.seed = 7;
    const std::vector<std::string> otherSeed = split.shards(3);
    split.seed = RandomGenerator::defaultSeed;
    const std::string foreignVersion = split.folder.write(
        "v1", "quillon-part 1" + TempFolder::read(three[0]).substr(std::string(partFormatLine).size()));
    std::string cut = TempFolder::read(three[1]);
    const std::string truncated = split.folder.write("cut", cut.substr(0, cut.size() / 2));
    struct Case {
        std::vector<std::string> parts;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{three[0], three[2]}, "Shard 2 of 3 is missing."},
        {{three[1]}, "Shards 1, 3 of 3 are missing."},
        {{three[0], three[1], three[1], three[2]}, "Shard 2/3 is given twice: " + three[1] + " and " + three[1] + "."},
        {{three[0], otherSeed[1], three[2]},
         "Part file " + otherSeed[1] +
             " is from another run: its input files, settings or seed differ from this merge's."},
        {{three[0], two[1], three[2]},
         "Part file " + two[1] + " is shard 2/2, but " + three[0] + " is shard 1/3: they are from different splits."},
        {{foreignVersion, three[1], three[2]},
         "Part file " + foreignVersion + " is of format \"quillon-part 1\"; this program reads \"quillon-part 2\"."},
        {{three[0], truncated, three[2]}, ""},
        {{three[0], split.settings.poolFile, three[2]},
         "Part file " + split.settings.poolFile + " is not a part file."},
        {{three[0], split.folder.file("absent"), three[2]},
         "Part file " + split.folder.file("absent") + " is not available."},
        {{}, "No part file to merge."},
    };
    for (const Case& c : cases) {
        const Outcome merged = split.merge(c.parts, "refused");
        ASSERT_EQ(merged.messages.size(), 1u) << c.message;
        if (c.message.empty()) {
            EXPECT_NE(merged.messages[0].find(" is damaged"), std::string::npos) << merged.messages[0];
        } else {
            EXPECT_EQ(merged.messages[0], c.message);
        }
        EXPECT_TRUE(merged.summary.inputsRejected);
        EXPECT_TRUE(merged.done.empty());
        EXPECT_EQ(merged.results, "") << c.message;
        EXPECT_EQ(merged.exposure, "") << c.message;
    }
    // A changed setting is another run as well.
    split.settings.randomizationFactor = 2;
    EXPECT_NE(split.merge(three, "changed").messages.at(0).find("is from another run"), std::string::npos);
}

// The shape a merge of `split` expects of its parts.
PartShape shapeOf(const RunSettings& settings, std::uint32_t seed) {
    PartShape shape;
    EXPECT_EQ(takeInto(runDigest(settings, seed), shape.digest), "");
    PreparedRun prepared;
    EXPECT_EQ(takeInto(prepareRun(settings), prepared), "");
    shape.lineCount = prepared.lineCount;
    shape.expectedTests = prepared.expectedTests;
    shape.empty = emptyRunStatistics(settings, prepared.inputs.pool.itemCount);
    return shape;
}

// The part's checksum as the file format documents it: 64-bit FNV-1a over every byte before the
// checksum line, in 16 lowercase hex digits; computed here independently of the writer.
std::string withChecksum(const std::string& body) { return body + "checksum " + testing::fnv1aHex(body) + "\n"; }

TEST(RunParts, PartTextKeepsEveryCountAndSumExactly) {
    Split split(smallSample(2, 20), [](RunSettings& s) { s.stopProbabilities = {.9, .6}; });
    const std::vector<std::string> parts = split.shards(3);
    const PartShape shape = shapeOf(split.settings, split.seed);
    const std::string text = TempFolder::read(parts[1]);
    RunPart part;
    std::string problem;
    ASSERT_TRUE((problem = takeInto(parseRunPart(text, shape), part)).empty()) << problem;
    EXPECT_EQ(part.shard, 2);
    EXPECT_EQ(withChecksum(text.substr(0, text.rfind("checksum "))), text);  // the documented checksum
    // Sums keep every partial: 1e300 + 1 - 1e300 is 1, not 0, after the text.
    part.statistics.lengths[0].mapProbSum.add(1e300);
    part.statistics.lengths[0].mapProbSum.add(1.0);
    part.statistics.lengths[0].mapProbSum.add(-1e300);
    const double before = part.statistics.lengths[0].mapProbSum.value();
    part.statistics.lengths[1].bayesProbSum.add(std::numeric_limits<double>::infinity());
    RunPart back;
    ASSERT_TRUE((problem = takeInto(parseRunPart(runPartText(part), shape), back)).empty()) << problem;
    EXPECT_EQ(back.statistics.lengths[0].mapProbSum.value(), before);
    EXPECT_EQ(back.statistics.lengths[1].bayesProbSum.value(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(back.statistics.stopping.text(), part.statistics.stopping.text());
    EXPECT_EQ(back.statistics.confusion.text(), part.statistics.confusion.text());
    EXPECT_EQ(back.statistics.exposureCount, part.statistics.exposureCount);
    EXPECT_EQ(resultsTableText(back.statistics, 2), resultsTableText(part.statistics, 2));
}

TEST(RunParts, EveryFlippedBitOfAPartIsRefused) {
    Split split(smallSample(2, 9), [](RunSettings& s) { s.maxTestLength = 4; });
    const std::vector<std::string> parts = split.shards(2);
    const PartShape shape = shapeOf(split.settings, split.seed);
    const std::string text = TempFolder::read(parts[0]);
    ASSERT_LT(text.size(), 4000u);
    std::size_t accepted = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string flipped = text;
            flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
            RunPart part;
            std::string problem;
            if ((problem = takeInto(parseRunPart(flipped, shape), part)).empty()) ++accepted;
        }
    }
    EXPECT_EQ(accepted, 0u);
}

// Parts that carry a valid checksum but could not come from a replay are refused by name of
// what is wrong, and nothing the size fields claim is allocated before they are checked.
TEST(RunParts, ForgedPartsWithAValidChecksumAreRefused) {
    Split split(smallSample(2, 20), [](RunSettings&) {});
    const std::vector<std::string> parts = split.shards(2);
    const PartShape shape = shapeOf(split.settings, split.seed);
    RunPart real;
    std::string problem;
    ASSERT_TRUE((problem = takeInto(parseRunPart(TempFolder::read(parts[0]), shape), real)).empty()) << problem;
    ASSERT_GT(real.statistics.testsTaken, 0);
    struct Case {
        const char* name;
        std::function<void(RunPart&)> forge;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"negative count", [](RunPart& p) { p.statistics.lengths[3].mapAccurate = -1; }, "is impossible"},
        {"outcomes beyond the tests",
         [](RunPart& p) {
             ++p.statistics.lengths[0].mapAccurate;
             ++p.statistics.lengths[0].mapFalseNeg;
         },
         "do not add up"},
        {"outcomes short of the tests", [](RunPart& p) { --p.statistics.lengths[2].mapFalsePos; }, ""},
        {"sprt outcomes against decided", [](RunPart& p) { ++p.statistics.lengths[5].sprtDecided; }, "do not add up"},
        {"exposure against items given", [](RunPart& p) { ++p.statistics.exposureCount[7]; }, "exposure"},
        {"negative exposure", [](RunPart& p) { p.statistics.exposureCount[7] = -5; }, "exposure"},
        {"tests beyond the run", [](RunPart& p) { p.statistics.testsStarted = p.expectedTests + 1; },
         "test counts are impossible"},
        {"stopping counts",
         [](RunPart& p) {
             std::vector<std::int64_t> flat = p.statistics.stopping.flatCounts();
             flat[0] += 1;
             flat[1] += 1;
             ASSERT_TRUE(p.statistics.stopping.setFlatCounts(flat));
         },
         "stopping"},
        {"confusion counts", [](RunPart& p) { ++p.statistics.confusion.denseCounts()[0]; }, "confusion"},
        {"a failure without its message",
         [](RunPart& p) {
             p.statistics.stop.failed = p.statistics.stop.ended = true;
             p.statistics.stop.failedLine = 1;
         },
         "failure"},
        {"an extra length", [](RunPart& p) { p.statistics.lengths.emplace_back(); }, "does not fit"},
        {"a missing item", [](RunPart& p) { p.statistics.exposureCount.pop_back(); }, "does not fit"},
        {"another range", [](RunPart& p) { ++p.firstLine; }, "does not fit"},
    };
    for (const Case& c : cases) {
        RunPart forged = real;
        c.forge(forged);
        RunPart read;
        EXPECT_FALSE((problem = takeInto(parseRunPart(runPartText(forged), shape), read)).empty()) << c.name;
        EXPECT_NE(problem.find(c.says), std::string::npos) << c.name << ": " << problem;
    }
    // A short part whose sizes claim a billion lengths is refused on its sizes, before any count is read.
    const std::string text = TempFolder::read(parts[0]);
    const std::size_t shapeAt = text.find("shape ");
    const std::string huge = withChecksum(text.substr(0, shapeAt) + "shape 80 1000000000 2 2\ntests 1 1\n");
    EXPECT_LT(huge.size(), 400u);
    EXPECT_FALSE((problem = takeInto(parseRunPart(huge, shape), real)).empty());
    EXPECT_EQ(problem, "does not fit this run's files.");
}

// Each part is bounded by the run's tests, and so are they all together.
TEST(RunParts, PartsThatTogetherCountMoreTestsThanTheRunAreRefused) {
    Split split(smallSample(2, 20), [](RunSettings&) {});
    const std::vector<std::string> parts = split.shards(2);
    const PartShape shape = shapeOf(split.settings, split.seed);
    RunPart first;
    std::string problem;
    ASSERT_TRUE((problem = takeInto(parseRunPart(TempFolder::read(parts[0]), shape), first)).empty()) << problem;
    RunPart bloated = first;
    bloated.statistics = shape.empty;
    bloated.statistics.testsStarted = shape.expectedTests;  // alone possible: every test begun, none counted
    bloated.statistics.keepsExamineeRows = true;
    const std::string forged = split.folder.write("bloated", runPartText(bloated));
    const Outcome merged = split.merge({forged, parts[1]}, "bloated");
    ASSERT_EQ(merged.messages.size(), 1u);
    EXPECT_NE(merged.messages[0].find("count more tests than the run has"), std::string::npos) << merged.messages[0];
    EXPECT_EQ(merged.results, "");
}

// The runner's exit status for `arguments`, its output thrown away.
int runner(const std::string& arguments) {
    const int status = std::system((std::string(QUILLON_SIM) + " " + arguments + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RunParts, TheRunnerShardsAndMergesWithARunsExitCodes) {
    Split split(smallSample(2, 25), [](RunSettings&) {});
    const std::string files =
        "--pool " + split.settings.poolFile + " --data " + split.settings.responseFile + " --max-length 12 --quiet ";
    const std::string whole = split.folder.file("w.csv"), wholeExposure = split.folder.file("wx.csv");
    // The stopping table (beside the results, with --use-sprt) and the confusion table come from
    // the parts as from the one-process run.
    const std::string reports = "--use-sprt --stop-probability .8 --stop-probability .9 --confusion ";
    ASSERT_EQ(runner(files + "--seed 99 --results " + whole + " --exposure " + wholeExposure + " " + reports +
                     split.folder.file("wc.csv")),
              0);
    std::string parts;
    for (int k = 1; k <= 3; ++k) {
        const std::string part = split.folder.file("p" + std::to_string(k));
        EXPECT_EQ(runner(files + "--seed 99 --use-sprt --stop-probability .8 --stop-probability .9 --shard " +
                         std::to_string(k) + "/3 --part " + part),
                  0);
        parts += " " + part;
    }
    const std::string merged = split.folder.file("m.csv"), mergedExposure = split.folder.file("mx.csv");
    EXPECT_EQ(runner("merge" + parts + " " + files + "--seed 99 --results " + merged + " --exposure " + mergedExposure +
                     " " + reports + split.folder.file("mc.csv")),
              0);
    EXPECT_TRUE(sameText(TempFolder::read(whole), TempFolder::read(merged)));
    EXPECT_TRUE(sameText(TempFolder::read(wholeExposure), TempFolder::read(mergedExposure)));
    const std::string wholeStopping = TempFolder::read(split.folder.file("w_stopping.csv"));
    EXPECT_NE(wholeStopping.find("Posterior,.9,summary"), std::string::npos);
    EXPECT_TRUE(sameText(wholeStopping, TempFolder::read(split.folder.file("m_stopping.csv"))));
    EXPECT_NE(TempFolder::read(split.folder.file("wc.csv")), "");
    EXPECT_TRUE(sameText(TempFolder::read(split.folder.file("wc.csv")), TempFolder::read(split.folder.file("mc.csv"))));
    EXPECT_EQ(runner("merge" + parts + " " + files + "--seed 1 --results " + merged), 1);  // another run
    for (const char* usage :
         {"--shard 0/3 --part x", "--shard 4/3 --part x", "--shard 1/3", "--shard 1-3 --part x",
          "--shard 1/3 --part x --trace t.csv", "--shard 1/3 --part x --stopping s.csv", "--shard 1/1000001 --part x"})
        EXPECT_EQ(runner(files + usage), 2) << usage;
    EXPECT_EQ(runner("merge" + parts + " " + files + "--trace t.csv"), 2);
    // Parts of shards run without --keep-examinees cannot give the examinees table.
    EXPECT_EQ(
        runner("merge" + parts + " " + files + "--seed 99 --use-sprt --stop-probability .8 --stop-probability .9 " +
               "--results " + merged + " --examinees " + split.folder.file("me.csv")),
        1);
    EXPECT_FALSE(std::filesystem::exists(split.folder.file("me.csv")));
}

// Every part a shard writes is one that merge reads back: the shard counts both allow are the same.
TEST(RunParts, TheRunnerShardsIntoNoMorePartsThanMergeReads) {
    Split split(smallSample(2, 5), [](RunSettings&) {});
    const std::string files =
        "--pool " + split.settings.poolFile + " --data " + split.settings.responseFile + " --max-length 3 --quiet ";
    const std::string most = std::to_string(maxShardCount), tooMany = std::to_string(maxShardCount + 1);
    const struct {
        std::string shard;
        int exitCode;
    } cases[] = {
        {"1/" + most, 0},  // an empty range is a part too
        {most + "/" + most, 0}, {"1/" + tooMany, 2}, {tooMany + "/" + tooMany, 2},
        {"1/1000000000", 2},    {"1/2147483647", 2},
    };
    for (const auto& c : cases) {
        const std::string part = split.folder.file("part");
        std::filesystem::remove(part);
        EXPECT_EQ(runner(files + "--shard " + c.shard + " --part " + part), c.exitCode) << c.shard;
        if (c.exitCode != 0) {
            EXPECT_FALSE(std::filesystem::exists(part)) << c.shard;
            continue;
        }
        RunPart back;
        std::string problem;
        RunSettings asRun = split.settings;
        asRun.maxTestLength = 3;
        EXPECT_TRUE(
            (problem = takeInto(parseRunPart(TempFolder::read(part), shapeOf(asRun, split.seed)), back)).empty())
            << c.shard << ": " << problem;
        EXPECT_EQ(std::to_string(back.shard) + "/" + std::to_string(back.shardCount), c.shard);
    }
}

}  // namespace
}  // namespace quillon
