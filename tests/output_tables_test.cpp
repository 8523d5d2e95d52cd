#include "quillon/engine/output_tables.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "other_user.h"
#include "recording_host.h"

using namespace quillon;
using quillon::testing::TempFolder;

TEST(NumberForms, PlainMasksThousandsAndPercent) {
    const std::tuple<double, std::string, const char*, const char*> cases[] = {
        // plain "": not written plain
        {0, "0", ".0000", ".000"},
        {0.5, ".5", ".5000", ".500"},
        {1, "1", "1.0000", "1.000"},
        {0.0625, ".0625", ".0625", ".062"},  // an exact half rounds to the even digit
        {1.0 / 3.0, ".333333333333333", ".3333", ".333"},
        {2.0 / 3.0, ".666666666666667", ".6667", ".667"},
        // One spelling of the special values in every form (0/0 shares are the tables' own case).
        {std::nan(""), "NaN", "NaN", "NaN"},
        {HUGE_VAL, "Infinity", "Infinity", "Infinity"},
        {-HUGE_VAL, "-Infinity", "-Infinity", "-Infinity"},
        // Rounding works on the exact binary value: .00015 is stored just below the half, .00005 above.
        {0.00015, ".00015", ".0001", ".000"},
        {0.00005, ".00005", ".0001", ".000"},
        {0.0005, ".0005", ".0005", ".001"},
        {0.99995, ".99995", "1.0000", "1.000"},
        {0.00001, ".00001", ".0000", ".000"},
        {1e-15, ".000000000000001", ".0000", ".000"},
        {1e-16, "1E-16", ".0000", ".000"},
        {0.1 + 0.2, ".3", ".3000", ".300"},
        {-0.25, "-.25", "-.2500", "-.250"},
        {1234.5, "1234.5", "1234.5000", "1234.500"},
        {123456789012345, "123456789012345", "123456789012345.0000", "123456789012345.000"},
    };
    for (const auto& [value, plain, four, three] : cases)
        EXPECT_EQ(
            (plain.empty() ? "" : formatPlain(value)) + " " + formatDecimals(value, 4) + " " + formatDecimals(value, 3),
            plain + " " + four + " " + three);
    EXPECT_EQ(formatThousands(0) + formatThousands(999) + formatThousands(1000) + formatThousands(1234567),
              " 0 999 1,000 1,234,567");
    const std::int64_t percents[][3] = {{1, 8, 12}, {3, 8, 38}, {2, 3, 67}, {3, 200, 2}, {5, 5, 100}, {1, 0, 0}};
    for (const auto& c : percents) EXPECT_EQ(roundedPercent(c[0], c[1]), c[2]) << c[0] << "/" << c[1];
}

TEST(ResultsTable, TwoAndThreeGroups) {
    // Four tests; at length 5 MAP classed 3 accurately and 1 as a false negative (probability sum 3.1),
    // the SPRT decided 2, both accurate, and Bayes classed all 4 (sum 3.3).
    RunStatistics run;
    run.testsStarted = 4;
    run.lengths.resize(5);
    LengthStatistics& s = run.lengths[4];
    s.mapAccurate = 3, s.mapFalseNeg = 1, s.mapProbSum = 3.1, s.sprtDecided = s.sprtAccurate = 2;
    s.bayesAccurate = 4, s.bayesProbSum = 3.3;
    const std::string header =
        "Nitems,MAP_Accurate,MAP_FalsePos, MAP_FalseNeg,MAP_MeanProb,,SPRTPerClass,SPRTAcc,SPRTfalsePos,SPRTFlaseNeg,"
        ",BR_Accurate,BR_FalsePos,BR_FalseNeg,BR_meanProb\r\n";
    std::string two = header;
    for (char n : {'1', '2', '3', '4'})
        two += n + std::string(",.0000,.0000,.0000,.0000,,.000,.0000,.0000,.0000,,.0000,.0000,.0000,.0000\r\n");
    EXPECT_EQ(resultsTableText(run, 2),
              two + "5,.7500,.0000,.2500,.7750,,.500,1.0000,.0000,.0000,,1.0000,.0000,.0000,.8250\r\n");

    // Three groups: no Bayes columns, and each line ends with a comma.
    run.lengths.erase(run.lengths.begin(), run.lengths.begin() + 3);
    LengthStatistics& one = run.lengths[0];
    one.mapAccurate = one.mapFalsePos = 2, one.mapProbSum = 2, one.sprtDecided = 4, one.sprtFalsePos = 1;
    one.sprtFalseNeg = 3;
    EXPECT_EQ(resultsTableText(run, 3), header +
                                            "1,.5000,.5000,.0000,.5000,,1.000,.0000,.2500,.7500,\r\n"
                                            "2,.7500,.0000,.2500,.7750,,.500,1.0000,.0000,.0000,\r\n");
}

TEST(ExposureTable, LaidOutAsAPool) {
    // A1's own drop flag is not carried over: the table flags what the run never used.
    const std::string poolText =
        "Item,Coll,Cal,Drop,Fail,Pass\r\nN, , , ,120,80 \r\nP_Grp,,,,0.5,0.5\r\n"
        "A1,3,9,1,0.80,.3\r\n\"B2\",1,,,.5,.25\r\nC3,2,,,1,0,0\r\n";
    const std::tuple<std::int32_t, std::vector<std::int64_t>, std::string> cases[] = {
        {2,
         {25, 0, 1},
         "Item_ID,Collection,Freq,dropQQ,1,2\r\nN, , , ,120,80 \r\nP_Grp, , , ,.5,.5\r\n"
         "A1,3,25, ,.8,.3\r\nB2,1,0,1,.5,.25\r\nC3,2,1, ,1,0\r\n"},
        {3,
         {0, 7, 0},
         "Item_ID,Collection,Freq,dropQQ,1,2,3\r\nN, , , ,120,80 \r\nP_Grp, , , ,.5,.5,0\r\n"
         "A1,3,0,1,.8,.3,0\r\nB2,1,7, ,.5,.25,0\r\nC3,2,0,1,1,0,0\r\n"},
    };
    for (const auto& [groups, used, table] : cases) {
        RunSettings s;
        s.groupCount = groups;
        RunStatistics run;
        run.exposureCount = used;
        EXPECT_EQ(exposureTableText(run, parsePool(poolText, s, "p")), table);
    }
}

TEST(ResultsTable, ZeroSumsAndSpecialMeans) {
    // Terms of -0.0 (a prior of -0) still make a mean of .0000; an undefined or infinite mean
    // is spelled as the plain form spells it, never "-.0000", "inf" or "nan".
    RunStatistics run;
    run.testsStarted = 2;
    run.lengths.resize(1);
    LengthStatistics& s = run.lengths[0];
    s.mapAccurate = 2, s.bayesAccurate = 2;
    s.bayesProbSum.add(-0.0);
    s.bayesProbSum.add(-0.0);
    s.mapProbSum.add(HUGE_VAL);
    const std::string table = resultsTableText(run, 2);
    EXPECT_EQ(table.substr(table.find("\r\n") + 2),
              "1,1.0000,.0000,.0000,Infinity,,.000,.0000,.0000,.0000,,1.0000,.0000,.0000,.0000\r\n");
    s.mapProbSum.add(-HUGE_VAL);
    const std::string undefined = resultsTableText(run, 3);
    EXPECT_EQ(undefined.substr(undefined.find("\r\n") + 2), "1,1.0000,.0000,.0000,NaN,,.000,.0000,.0000,.0000,\r\n");
}

TEST(ExposureTable, IdentifiersWithCommasLoadBackAsTheSamePool) {
    // Only an identifier holding a comma is quoted; the table then loads as the same pool.
    const std::string poolText =
        "Item,Coll,Cal,Drop,Fail,Pass\r\nN\r\nP_Grp,,,,0.4,0.6\r\n"
        "\"A,1\",1,,,.8,.3\r\nB\"2,1,,,.6,.5\r\n\" C, 3 \",2,,,.7,.1\r\nD4,2,,,.2,.9\r\n";
    RunSettings settings;
    const ItemPool pool = parsePool(poolText, settings, "p");
    RunStatistics run;
    run.exposureCount = {3, 0, 1, 2};
    const std::string table = exposureTableText(run, pool);
    EXPECT_NE(table.find("\r\n\"A,1\",1,3, ,.8,.3\r\nB\"2,1,0,1,.6,.5\r\n\"C, 3\",2,1, ,.7,.1\r\nD4,2,2, ,"),
              std::string::npos)
        << table;
    const ItemPool again = parsePool(table, settings, "expos");
    EXPECT_EQ(again.itemId, pool.itemId);
    EXPECT_EQ(again.itemCollection, pool.itemCollection);
    EXPECT_EQ(again.pCorrect, pool.pCorrect);
    EXPECT_EQ(again.groupPrior, pool.groupPrior);
    settings.dropItems = true;
    EXPECT_EQ(parsePool(table, settings, "expos").itemId, (std::vector<std::string>{"A,1", "C, 3", "D4"}));
}

// Every entry of a folder, hidden ones included, so that a temporary file cannot hide.
std::vector<std::string> entries(const TempFolder& dir, const std::string& sub = "") {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file(sub)))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Runs `body` in a child process and returns its wait status, so a test can set limits, drop
// privileges or be killed by a signal without touching the test runner.
int inChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

TEST(ReplaceFileContents, ReplacesWholeOrNotAtAll) {
    const TempFolder dir;
    const std::string file = dir.write("out.csv", "old content that is longer\r\n");
    EXPECT_TRUE(replaceFileContents(file, "new\r\n"));
    // A pipe, like a folder or a device, is never swapped for a plain file.
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    EXPECT_FALSE(replaceFileContents("", "x") || replaceFileContents(dir.file(""), "x") ||
                 replaceFileContents(dir.file("missing/out.csv"), "x") || replaceFileContents(dir.file("pipe"), "x"));
    EXPECT_EQ(TempFolder::read(file), "new\r\n");
    EXPECT_TRUE(std::filesystem::is_fifo(dir.file("pipe")));
    EXPECT_EQ(entries(dir), (std::vector<std::string>{"out.csv", "pipe"}));
}

TEST(ReplaceFileContents, ConcurrentWritersEachLeaveOneWholeTable) {
    const TempFolder dir;
    const std::string file = dir.write("results.csv", "old\r\n");
    // Long enough that two writes overlap; different lengths so a torn result cannot pass.
    const std::string tables[] = {std::string(100000, 'a'), std::string(70000, 'b')};
    int torn = 0, failed = 0;
    for (int pair = 0; pair < 300; ++pair) {
        bool ok[2] = {false, false};
        std::thread first([&] { ok[0] = replaceFileContents(file, tables[0]); });
        std::thread second([&] { ok[1] = replaceFileContents(file, tables[1]); });
        first.join();
        second.join();
        failed += !ok[0] + !ok[1];
        const std::string now = TempFolder::read(file);
        torn += now != tables[0] && now != tables[1];
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(entries(dir), std::vector<std::string>{"results.csv"});
}

TEST(ReplaceFileContents, FollowsLinksAndAcceptsLongNames) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> links;  // link name, where it points
        std::string write;                                       // the name passed in
        std::string receives;                                    // the file that gets the table
    };
    const std::string longName(250, 'n');
    const Case cases[] = {
        {"250-byte name", {}, longName, longName},
        {"relative link", {{"link.csv", "real.csv"}}, "link.csv", "real.csv"},
        {"chain through a folder",
         {{"a.csv", "sub/b.csv"}, {"sub/b.csv", "../sub/c.csv"}, {"sub/c.csv", "../real.csv"}},
         "a.csv",
         "real.csv"},
        {"absolute link", {{"abs.csv", "@sub/real.csv"}}, "abs.csv", "sub/real.csv"},
        {"link to a file not there yet", {{"dangling.csv", "sub/new.csv"}}, "dangling.csv", "sub/new.csv"},
        {"link beside the file in a folder", {{"sub/l.csv", "real.csv"}}, "sub/l.csv", "sub/real.csv"},
    };
    for (const Case& c : cases) {
        const TempFolder dir;
        fs::create_directory(dir.file("sub"));
        dir.write("real.csv", "old\r\n");
        dir.write("sub/real.csv", "old\r\n");
        for (const auto& [name, to] : c.links)
            fs::create_symlink(to[0] == '@' ? dir.file(to.substr(1)) : to, dir.file(name));
        ASSERT_TRUE(replaceFileContents(dir.file(c.write), "table\r\n")) << c.what;
        EXPECT_EQ(TempFolder::read(dir.file(c.receives)), "table\r\n") << c.what;
        EXPECT_FALSE(fs::is_symlink(dir.file(c.receives))) << c.what;
        for (const auto& [name, to] : c.links) EXPECT_TRUE(fs::is_symlink(dir.file(name))) << c.what << " " << name;
        for (const std::string& folder : {std::string(), std::string("sub")})
            for (const std::string& name : entries(dir, folder)) EXPECT_NE(name.substr(0, 9), ".quillon-") << c.what;
    }

    const TempFolder dir;  // a loop of links is refused, and leaves nothing behind
    fs::create_symlink("two", dir.file("one"));
    fs::create_symlink("one", dir.file("two"));
    EXPECT_FALSE(replaceFileContents(dir.file("one"), "x"));
    EXPECT_EQ(entries(dir), (std::vector<std::string>{"one", "two"}));
}

TEST(ReplaceFileContents, KeepsTheModeAndGivesNewFilesTheUmask) {
    namespace fs = std::filesystem;
    const TempFolder dir;
    for (const fs::perms mode : {fs::perms(0600), fs::perms(0640), fs::perms(0755)}) {
        const std::string file = dir.write("kept.csv", "old\r\n");
        fs::permissions(file, mode);
        ASSERT_TRUE(replaceFileContents(file, "new\r\n"));
        EXPECT_EQ(fs::status(file).permissions(), mode);
    }
    for (const mode_t mask : {022, 027, 077}) {
        const std::string file = dir.file("new-" + std::to_string(mask) + ".csv");
        const mode_t previous = ::umask(mask);
        const bool written = replaceFileContents(file, "new\r\n");
        ::umask(previous);
        ASSERT_TRUE(written);
        EXPECT_EQ(fs::status(file).permissions(), fs::perms(0666 & ~mask)) << mask;
    }
}

TEST(ReplaceFileContents, FailuresKeepTheOldTableAndLeaveNothingBehind) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        bool readOnly;
        rlim_t sizeLimit;
        void (*onXfsz)(int);
    };
    const Case cases[] = {
        {"read-only folder", true, RLIM_INFINITY, SIG_DFL},
        {"file-size limit, SIGXFSZ ignored", false, 4096, SIG_IGN},
        // The signal is held until the temporary file is gone, and only then ends the process.
        {"file-size limit, SIGXFSZ at its default", false, 4096, SIG_DFL},
    };
    // Root writes into any folder, so as root the read-only case runs as another user, in a folder
    // that user can reach: else it would fail for the folders above, not for the read-only one.
    const bool root = ::geteuid() == 0;
    std::string readOnlySkipped;
    fs::path readOnlyBase = fs::temp_directory_path();
    if (root) {
        readOnlyBase = quillon::testing::baseTheOtherUserCanReach(readOnlySkipped);
        if (readOnlySkipped.empty()) readOnlySkipped = quillon::testing::cannotBecomeTheOtherUser();
    }
    for (const Case& c : cases) {
        if (c.readOnly && !readOnlySkipped.empty()) continue;
        const TempFolder dir(c.readOnly ? readOnlyBase : fs::temp_directory_path());
        const std::string file = dir.write("results.csv", "old\r\n");
        if (c.readOnly) {
            fs::permissions(file, fs::perms(0644));
            fs::permissions(dir.file(""), fs::perms(0555));
        }
        const int status = inChild([&] {
            ::signal(SIGXFSZ, c.onXfsz);
            const rlimit limit{c.sizeLimit, c.sizeLimit};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
            if (c.readOnly && root && ::setuid(quillon::testing::otherUser) != 0) return 3;
            if (::access(file.c_str(), R_OK) != 0) return 4;  // the folder must be the only obstacle
            return replaceFileContents(file, std::string(20000, 't')) ? 1 : 0;
        });
        if (c.readOnly) fs::permissions(dir.file(""), fs::perms(0755));
        if (c.sizeLimit != RLIM_INFINITY && c.onXfsz == SIG_DFL) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << c.what << " " << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what << " " << status;
        }
        EXPECT_EQ(TempFolder::read(file), "old\r\n") << c.what;
        EXPECT_EQ(entries(dir), std::vector<std::string>{"results.csv"}) << c.what;
    }
    // The other cases count even so: a failure among them fails the test.
    if (!readOnlySkipped.empty()) GTEST_SKIP() << "the read-only folder case did not run: " << readOnlySkipped;
}

TEST(FileReplacement, StreamedFileAppearsOnlyAtCommitAndLeavesNothingOtherwise) {
    const TempFolder dir;
    const std::string file = dir.write("trace.csv", "old trace\r\n");
    {
        FileReplacement abandoned(file);
        ASSERT_TRUE(abandoned.isOpen());
        EXPECT_TRUE(abandoned.write("half of a "));
    }  // dropped without a commit
    // A writer killed mid-way leaves nothing either: its file never had a name.
    const int status = inChild([&] {
        FileReplacement killed(file);
        killed.write("row\r\n");
        ::raise(SIGKILL);
        return 0;
    });
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(TempFolder::read(file), "old trace\r\n");
    EXPECT_EQ(entries(dir), (std::vector<std::string>{"trace.csv"}));

    FileReplacement streamed(file);
    for (int row = 0; row < 1000; ++row) ASSERT_TRUE(streamed.write("row " + std::to_string(row) + "\r\n"));
    EXPECT_EQ(TempFolder::read(file), "old trace\r\n");
    ASSERT_TRUE(streamed.commit());
    EXPECT_FALSE(streamed.isOpen());
    EXPECT_EQ(TempFolder::read(file).substr(0, 14), "row 0\r\nrow 1\r\n");
    EXPECT_EQ(entries(dir), (std::vector<std::string>{"trace.csv"}));
    EXPECT_FALSE(FileReplacement(dir.file("")).isOpen());  // a folder is never replaced
}
