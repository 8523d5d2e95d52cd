#include "quillon/engine/input_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <functional>
#include <tuple>

#include "collected_diagnostics.h"
#include "recording_host.h"

using namespace quillon;
using quillon::testing::StreamFeed;
using quillon::testing::TempFolder;
using Lines = std::vector<std::string>;
using Ints = std::vector<std::int32_t>;
using Vec = std::vector<double>;
namespace fs = std::filesystem;

// Counts the lines, rewinds, then reads them one by one.
Lines readLines(const std::string& path) {
    LineReader reader(path);
    const std::int64_t count = reader.countLinesAndRewind();
    Lines got;
    for (std::string line; reader.nextLine(line);) got.push_back(line);
    EXPECT_EQ(count, static_cast<std::int64_t>(got.size()));
    return got;
}

TEST(LineRule, TextAndFiles) {
    const std::pair<std::string, Lines> cases[] = {
        {"", {}},
        {"a\rb\r", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb\n", {"a", "b"}},
        {"a\n\rb", {"a", "", "b"}},                      // a lone LF, then a CR: two line ends
        {"a\r\n\r\nb\r\nlast", {"a", "", "b", "last"}},  // empty lines kept; the last line needs no end
        {"a\r\n\r\n", {"a", ""}},                        // no extra line after the final end
        {"a\x1A"
         "b\r\nc",
         {"a"}},
        {"x\ty \r\n", {"x\ty "}},  // 0x1A ends the file; tabs and blanks stay
    };
    const TempFolder dir;
    for (const auto& [bytes, lines] : cases) {
        EXPECT_EQ(splitLines(bytes), lines) << ::testing::PrintToString(bytes);
        EXPECT_EQ(readLines(dir.write("f", bytes)), lines) << ::testing::PrintToString(bytes);
    }
    EXPECT_FALSE(LineReader(dir.file("missing")).isOpen() || LineReader(dir.file("")).isOpen());
    // The CR is the last byte of the first 64 KiB block and its LF the first byte of the next.
    const Lines long4 = {std::string(65535, 'x'), "next", std::string(70000, 'y'), "z"};
    EXPECT_EQ(readLines(dir.write("long", long4[0] + "\r\n" + long4[1] + "\r\n" + long4[2] + "\r" + long4[3])), long4);
}

TEST(FieldRule, QuotesBlanksAndTabs) {
    const std::pair<std::string, Lines> cases[] = {
        {"  a  , b ,c  ", {"a", "b", "c"}},
        {"\"x, y\",z", {"x, y", "z"}},     // a quoted comma does not split
        {"  \" A1 \" ,2", {" A1 ", "2"}},  // blanks inside quotes stay
        {"\"abc\"junk,2", {"abc", "2"}},   // text after the closing quote is skipped
        {"1,\"open, never closed", {"1", "open, never closed"}},
        {"\"\"x\"\",y", {"", "y"}},  // "" is no escape
        {"a\tb ,\tc", {"a\tb", "\tc"}},
        {"a,,", {"a", "", ""}},
        {"", {""}},  // tabs are not blanks
    };
    for (const auto& [line, fields] : cases) EXPECT_EQ(csvFields(line), fields) << line;
}

TEST(ParsePool, PriorsItemsDropFlagsAndEmptyLines) {
    const std::string text =
        "Item,Coll\r\nN, , , ,120,80 \r\nP_Grp,,,,0.3,0.7\r\nA1,1,5,0,.8,.3\r\n"
        "\" B 2 \",2.5,,,0.5,0.25,0.9\r\n"  // outer blanks go; 2.5 rounds to 2; extra column
        "C3,3.5,,,1\r\n";                   // a missing probability reads 0; 3.5 rounds to 4
    RunSettings s;
    const ItemPool pool = parsePool(text, s, "p");
    EXPECT_EQ(std::tie(pool.calibrationRow, pool.groupPrior, pool.itemId, pool.itemCollection, pool.pCorrect),
              std::make_tuple("N, , , ,120,80 ", Vec{0.3, 0.7}, Lines{"A1", "B 2", "C3"}, Ints{1, 2, 4},
                              Vec{0.8, 0.3, 0.5, 0.25, 1, 0}));

    // The third line is the priors row, never an item; "P_Grp" is case-sensitive, blanks around it go.
    const std::pair<const char*, Vec> thirdLines[] = {
        {"I0,1,,,0.5,0.5", {0, 0}}, {"p_grp,,,,0.5,0.5", {0, 0}}, {" P_Grp ,,,,0.5,0.5", {0.5, 0.5}}};
    for (const auto& [third, priors] : thirdLines) {
        const ItemPool p = parsePool(std::string("h\r\nc\r\n") + third + "\r\nA1,1,,,.8,.3\r\n", RunSettings{}, "p");
        EXPECT_EQ(std::make_pair(p.groupPrior, p.itemId), std::make_pair(priors, Lines{"A1"})) << third;
    }

    const std::string flags =
        "h\nc\nP_Grp,,,,.5,.5\none,1,,1,.8,.3\nspaced,1,, 1 ,.8,.3\nquoted,1,,\" 1 \",.8,.3\n"
        "decimal,1,,1.0,.8,.3\nword,1,,yes,.8,.3\nzero,1,,0,.8,.3\n\n";
    const ItemPool all = parsePool(flags, s, "p");
    EXPECT_EQ(all.itemId, (Lines{"one", "spaced", "quoted", "decimal", "word", "zero", ""}));
    // The empty line is an item of collection 0 with every probability 0.
    EXPECT_EQ(std::tuple(all.itemCollection.back(), all.pCorrect.end()[-2], all.pCorrect.back()), std::tuple(0, 0., 0));
    s.dropItems = true;
    EXPECT_EQ(parsePool(flags, s, "p").itemId, (Lines{"decimal", "word", "zero", ""}));
}

TEST(ParsePool, CollectionDeck) {
    const auto pool = [](const std::vector<std::pair<int, int>>& sizes, std::int32_t factor) {
        std::string text = "h\r\nc\r\nP_Grp,,,,.5,.5\r\n";  // sizes: (collection, items) in file order
        for (const auto& [collection, count] : sizes)
            for (int i = 0; i < count; ++i) text += "I," + std::to_string(collection) + ",,,.8,.3\r\n";
        RunSettings s;
        s.maxTestLength = 10, s.randomizationFactor = factor;
        return parsePool(text, s, "p");
    };
    const std::pair<std::vector<std::pair<int, int>>, Ints> cases[] = {
        {{{1, 3}, {2, 5}, {3, 15}, {4, 26}}, {3, 3, 4, 4, 4}},
        {{{4, 26}, {1, 3}, {3, 15}, {2, 5}}, {3, 3, 4, 4, 4}},
        {{{2, 25}}, {2, 2}},
        {{{2, 35}}, {2, 2, 2, 2}},
        {{{2, 45}}, {2, 2, 2, 2}},
        {{{0, 30}, {5, 10}}, {5}},  // collection 0 never enters
    };
    for (const auto& [sizes, deck] : cases)
        EXPECT_EQ(pool(sizes, 1).collectionDeck, deck) << ::testing::PrintToString(sizes);
    // With the factor equal to the test length every item is in collection 1.
    const ItemPool one = pool({{3, 8}, {0, 7}}, 10);
    EXPECT_EQ(one.itemCollection, Ints(15, 1));
    EXPECT_EQ(one.collectionDeck, (Ints{1, 1}));
}

TEST(ParseEnemiesAndScript, RowsInFileOrder) {
    RunSettings s;
    s.dropItems = true;
    const ItemPool pool = parsePool("h\nc\nP_Grp\nZ0,,,,1,1\nA7\nGONE,1,,1\nB2\nC9\nD4\nA7\n", s, "p");
    ASSERT_EQ(pool.itemId, (Lines{"Z0", "A7", "B2", "C9", "D4", "A7"}));
    std::vector<Ints> sets;
    for (const EnemySet& set : parseEnemies("Set,N,Items\r\n1, 3, A7, B2, C9, D4\r\n1, 0, A7\r\n2, 1, B2, C9\r\n"
                                            "3, 2, NOPE, \" C9 \"\r\n4, 2, GONE, D4\r\n5, 3, C9, D4\r\n",
                                            pool, "e"))
        sets.push_back(set.positions);
    // D4 lies past the three named; unmatched, dropped and missing identifiers give 0.
    EXPECT_EQ(sets, (std::vector<Ints>{{2, 3, 4}, {2}, {3}, {0, 4}, {0, 5}, {4, 5, 0}}));

    s.maxTestLength = 3;
    Ints slots;
    for (const ScriptSlot& slot : parseScript("Slot,Coll,Note,Factor\n5, 2, x, 3\n1,4.5,,2.5\n,7\n", s, "s").slots)
        slots.insert(slots.end(), {slot.slotCollection, slot.slotFactor});
    EXPECT_EQ(slots, (Ints{2, 3, 4, 2, 7, 0}));
}

TEST(ParseResponseLine, GroupFromCharacterTwelveAnswersFromFourteen) {
    const std::tuple<std::string, std::int32_t, std::string, Ints> cases[] = {
        // values: answerValue at 1, 2, ...
        {"ABCDEFGHIJK1 1 01", 2, "1 01", {1, 0, 0, 1, 0, 0}},
        {"ABCDEFGHIJK 1 1 01", 1, " 1 01", {0, 1, 0, 0, 1, 0}},  // one blank more shifts everything
        {"short", 1, "", {0}},
        {"ABCDEFGHIJK9", 10, "", {0}},
        {"ABCDEFGHIJKx 1", 1, "1", {1, 0}},
        {"ABCDEFGHIJK3 2x9+0", 4, "2x9+0", {2, 0, 9, 0, 0, 0}},
    };
    for (const auto& [line, trueGroup, answers, values] : cases) {
        const ResponseRecord r = parseResponseLine(line);
        Ints got;
        for (std::size_t k = 1; k <= values.size(); ++k) got.push_back(r.answerValue(static_cast<std::int32_t>(k)));
        EXPECT_EQ(std::tie(r.trueGroup, r.answers, got), std::tie(trueGroup, answers, values)) << line;
    }
}

// The load's message, with the folder shown as "~/" (names are shown in upper case); empty
// when the load succeeds.
std::string loadMessage(const RunSettings& s, const TempFolder& dir) {
    std::string got, folder = dir.file("");
    try {
        loadInputFiles(s);
    } catch (const FailureError& e) {
        got = e.what();
    }
    std::transform(folder.begin(), folder.end(), folder.begin(), [](unsigned char c) { return std::toupper(c); });
    if (const auto at = got.find(folder); at != std::string::npos) got.replace(at, folder.size(), "~/");
    return got;
}

TEST(LoadInputFiles, FailureMessagesInLoadOrder) {
    const std::string pool = "h\r\nc\r\nP_Grp,,,,.4,.6\r\nA1,1,,,.8,.3\r\n", enemies = "h\r\n1,1,A1\r\n";
    const std::string script = "h\r\n1,1,,1\r\n1,1,,1\r\n", noPriors = "h\r\nc\r\nA0,1,,,.5,.5\r\nA1,1,,,.5,.5\r\n";
    using Change = void (*)(RunSettings&);
    const Change none = [](RunSettings&) {}, both = [](RunSettings&s) { s.blockEnemies = s.followScript = true; };
    const std::tuple<std::array<std::string, 3>, Change, std::string> cases[] = {
        // "-": no such file
        {{"-", enemies, script}, both, "Pool file ~/POOL.CSV is not available."},
        {{pool, "-", "-"}, [](RunSettings& s) { s.poolFile += "-dir"; }, "Pool file ~/POOL.CSV-DIR is not available."},
        {{"h\r\nc\r\nP_Grp\r\nA1,1,,1\r\n", "-", "-"},
         [](RunSettings& s) { s.dropItems = true; },
         "Pool file ~/POOL.CSV has no items."},
        {{noPriors, "-", "-"},
         [](RunSettings& s) { s.uniformPriors = false, s.blockEnemies = true; },
         "Pool file ~/POOL.CSV has no group priors; turn on Uniform Priors or add a P_Grp row."},
        {{noPriors, "-", "-"}, none, ""},
        {{pool, "-", "-"}, both, "Enemies file ~/ENEMIES.CSV is not available."},
        {{pool, "Set,N,Items\r\n", "-"}, both, "Enemies file ~/ENEMIES.CSV has no enemy sets."},
        {{pool, enemies, "-"}, both, "Script file ~/SCRIPT.CSV is not available."},
        {{pool, enemies, "Slot,Coll,,Factor\r\n"}, both, "Script file ~/SCRIPT.CSV has no slots."},
        {{pool, enemies, script},
         [](RunSettings& s) { s.followScript = true, s.maxTestLength = 3; },
         "Script file ~/SCRIPT.CSV has only 2 slots for a test length of 3."},
        {{pool, "-", "-"},
         [](RunSettings& s) { s.resultsFile = s.poolFile + "-dir"; },
         "Output file ~/POOL.CSV-DIR has a problem."},
        {{pool, "-", "-"},
         [](RunSettings& s) { s.followScript = true, s.resultsFile = ""; },
         "Script file ~/SCRIPT.CSV is not available."},
    };
    for (const auto& [files, change, message] : cases) {
        const TempFolder dir;
        fs::create_directories(dir.file("pool.csv-dir"));
        for (std::size_t k = 0; k < 3; ++k)
            if (files[k] != "-") dir.write(std::array{"pool.csv", "enemies.csv", "script.csv"}[k], files[k]);
        RunSettings s;
        s.maxTestLength = 2;
        s.poolFile = dir.file("pool.csv"), s.enemiesFile = dir.file("enemies.csv");
        s.scriptFile = dir.file("script.csv"), s.resultsFile = dir.file("results.csv");
        change(s);
        EXPECT_EQ(loadMessage(s, dir), message);
        // A missing results file is created, but not by a load that fails before the check.
        if (message.rfind("Output", 0) != 0) {
            EXPECT_EQ(fs::exists(dir.file("results.csv")), message.empty()) << message;
        }
    }
}

TEST(LineRule, StreamsThatCannotBeReadTwiceAreCountedFromACopy) {
    // Lines across several 64 KiB blocks, a CR LF split by a block border, and text after 0x1A.
    std::string bytes;
    for (int i = 0; i < 3000; ++i) bytes += "EXAMINEE" + std::to_string(i) + std::string(40, 'a') + "\r\n";
    bytes += std::string(65536 - bytes.size() % 65536 - 1, 'z') + "\r\nlast\x1A" + "ignored\r\n";
    const TempFolder dir;
    for (const auto kind : {StreamFeed::Kind::Fifo, StreamFeed::Kind::Pipe}) {
        StreamFeed feed(kind, dir.file("fifo"), bytes);
        EXPECT_EQ(readLines(feed.path), splitLines(bytes));
        fs::remove(dir.file("fifo"));
    }
    EXPECT_EQ(readLines("/dev/null"), Lines{});
}

TEST(LineRule, ALineLongerThanTheLimitStopsTheReadingThere) {
    const TempFolder dir;
    const std::string full(maxLineLength, 'x');
    struct Case {
        std::string bytes;
        std::int64_t countedLines;
        ReadProblem problem;
    };
    for (const Case& c : {Case{"a\r\n" + full + "\r\nb", 3, ReadProblem::None},
                          Case{"a\r\nb\n" + full + "x\r\nc", 2, ReadProblem::LineTooLong}}) {
        const std::string path = dir.write("f", c.bytes);
        LineReader counter(path);
        EXPECT_EQ(counter.countLinesAndRewind(), c.countedLines);
        EXPECT_EQ(counter.problem(), c.problem);
        LineReader reader(path);
        std::int64_t read = 0;
        for (std::string line; reader.nextLine(line);) ++read;
        EXPECT_EQ(std::make_tuple(read, reader.problem()), std::make_tuple(c.countedLines, c.problem));
        if (c.problem != ReadProblem::None) {
            EXPECT_EQ(readProblemMessage("Data", "d.txt", reader),
                      "Data file D.TXT has a problem: line 3 is longer than 64 MB.");
        }
    }
    // An endless device without a line end stops at the limit instead of filling the memory.
    RunSettings s;
    s.poolFile = "/dev/zero";
    s.resultsFile = dir.file("results.csv");
    try {
        loadInputFiles(s);
        ADD_FAILURE() << "loaded /dev/zero";
    } catch (const InputError& e) {
        EXPECT_STREQ(e.what(), "Pool file /DEV/ZERO has a problem: line 1 is longer than 64 MB.");
    }
}

TEST(ParsePool, RefusesMoreGroupsThanProbabilityColumns) {
    // The widest item line decides (dropped lines included); the priors row does not count.
    const std::string pool = "h\r\nc\r\nP_Grp,,,,.2,.3,.5,.1\r\nA,1,,,.8,.3\r\nB,1,,1,.8,.3,.5\r\nC,1,,,.8\r\n";
    const std::tuple<std::int32_t, bool, std::string> cases[] = {
        {2, false, ""},
        {3, false, ""},
        {3, true, ""},
        {4, false, "Pool file P.CSV has 3 probability columns (from column E on), fewer than N Categories (4)."},
        {2147483647, false,
         "Pool file P.CSV has 3 probability columns (from column E on), fewer than N Categories (2147483647)."},
    };
    for (const auto& [groups, drop, message] : cases) {
        RunSettings s;
        s.groupCount = groups, s.dropItems = drop;
        std::string got;
        try {
            EXPECT_EQ(parsePool(pool, s, "p.csv").pCorrect.size(), static_cast<std::size_t>(groups) * (drop ? 2 : 3));
        } catch (const InputError& e) {
            got = e.what();
        }
        EXPECT_EQ(got, message) << groups;
    }
    RunSettings one;
    one.groupCount = 2;
    EXPECT_THROW(parsePool("h\r\nc\r\nP_Grp,,,,.5,.5\r\nA,1,,,.8\r\n", one, "p"), InputError);  // 1 column
}

TEST(LoadInputFiles, RefusesAnOutputThatIsAnInputOrTheOtherOutput) {
    using Change = std::function<void(RunSettings&, const TempFolder&)>;
    const std::string results = "Output file ~/";
    const std::pair<Change, std::string> cases[] = {
        {[](RunSettings& s, const TempFolder&) { s.resultsFile = s.poolFile; },
         results + "POOL.CSV is also the pool file; choose another name for the results."},
        {[](RunSettings& s, const TempFolder& d) { s.resultsFile = d.file("./pool.csv"); },
         results + "./POOL.CSV is also the pool file; choose another name for the results."},
        {[](RunSettings& s, const TempFolder& d) {
             fs::create_hard_link(s.poolFile, d.file("hard.csv"));
             s.resultsFile = d.file("hard.csv");
         },
         results + "HARD.CSV is also the pool file; choose another name for the results."},
        {[](RunSettings& s, const TempFolder& d) {
             fs::create_symlink(s.responseFile, d.file("soft.txt"));
             s.resultsFile = d.file("soft.txt");
         },
         results + "SOFT.TXT is also the data file; choose another name for the results."},
        {[](RunSettings& s, const TempFolder&) { s.followScript = true, s.resultsFile = s.scriptFile; },
         results + "SCRIPT.CSV is also the script file; choose another name for the results."},
        {[](RunSettings& s, const TempFolder&) { s.resultsFile = s.scriptFile; }, ""},  // not read: not an input
        {[](RunSettings& s, const TempFolder&) { s.blockEnemies = true, s.resultsFile = s.enemiesFile; },
         results + "ENEMIES.CSV is also the enemies file; choose another name for the results."},
        {[](RunSettings& s, const TempFolder&) { s.exposureFile = " " + s.resultsFile + " "; },
         results + "RESULTS.CSV is also the exposure file; choose another name for the results."},
        {[](RunSettings& s, const TempFolder& d) {  // neither exists yet: the exposure would still replace it
             s.resultsFile = d.file("new.csv"), s.exposureFile = d.file("./new.csv");
         },
         results + "NEW.CSV is also the exposure file; choose another name for the results."},
        {[](RunSettings& s, const TempFolder&) { s.saveExposure = false, s.exposureFile = s.resultsFile; }, ""},
        {[](RunSettings& s, const TempFolder&) { s.exposureFile = s.poolFile; },
         "Exposure file ~/POOL.CSV is also the pool file; choose another name for the exposure table."},
        {[](RunSettings& s, const TempFolder&) { s.saveExposure = false, s.exposureFile = s.poolFile; }, ""},
        {[](RunSettings& s, const TempFolder&) { s.exposureFile = s.responseFile; },
         "Exposure file ~/DATA.TXT is also the data file; choose another name for the exposure table."},
    };
    const std::string pool = "h\r\nc\r\nP_Grp,,,,.4,.6\r\nA1,1,,,.8,.3\r\n";
    for (const auto& [change, message] : cases) {
        const TempFolder dir;
        RunSettings s;
        s.maxTestLength = 1;
        s.poolFile = dir.write("pool.csv", pool), s.responseFile = dir.write("data.txt", "EXAMINEE0001 1\r\n");
        s.scriptFile = dir.write("script.csv", "h\r\n1,1,,1\r\n"),
        s.enemiesFile = dir.write("enemies.csv", "h\r\n1,1,A1\r\n");
        s.resultsFile = dir.write("results.csv", "old"), s.exposureFile = dir.file("expos.csv");
        change(s, dir);
        EXPECT_EQ(loadMessage(s, dir), message);
        EXPECT_EQ(TempFolder::read(s.poolFile), pool) << message;      // never touched
        EXPECT_EQ(fs::exists(dir.file("new.csv")), false) << message;  // refused before the results check
    }
}

// Every refusal of a parse is also reported as a located error at the place that causes it, and a
// clean file reports nothing.
TEST(LoadDiagnostics, EveryRefusalIsLocated) {
    RunSettings s;
    s.groupCount = 2, s.uniformPriors = false, s.maxTestLength = 3, s.dropItems = true;
    RunSettings threeGroups = s;
    threeGroups.groupCount = 3;
    const auto pool = [](const RunSettings& settings, const std::string& text) {
        return [settings, text](LoadDiagnostics* d) { parsePool(splitLines(text), settings, "f", d); };
    };
    const auto script = [&](const std::string& text) {
        return [&s, text](LoadDiagnostics* d) { parseScript(splitLines(text), s, "f", d); };
    };
    const std::string head = "h\nc\nP_Grp,,,,.5,.5\n";
    const struct {
        const char* name;
        std::function<void(LoadDiagnostics*)> parse;
        std::int64_t line, column;  // 0: the parse loads
    } cases[] = {
        {"clean pool", pool(s, head + "A,1,,0,.4,.6\n"), 0, 0},
        {"no item row", pool(s, head), 1, 1},
        {"every item dropped", pool(s, head + "A,1,,1,.4,.6\n"), 4, 1},
        {"fewer columns than groups", pool(threeGroups, head + "A,1,,0,.4,.6\n"), 1, 1},
        {"no priors row", pool(s, "h\nc\nQ\nA,1,,0,.4,.6\n"), 3, 1},
        {"priors summing to 0", pool(s, "h\nc\nP_Grp,,,,0,0\nA,1,,0,.4,.6\n"), 3, 1},
        {"clean script", script("S\n1,1,,1\n1,1,,1\n1,1,,1\n"), 0, 0},
        {"empty script", script(""), 1, 1},
        {"script without slots", script("S\n"), 2, 1},
        {"script too short", script("S\n1,1,,1\n1,1,,1\n"), 3, 1},
        {"enemies without sets", [](LoadDiagnostics* d) { parseEnemies(Lines{"Set"}, ItemPool{}, "f", d); }, 2, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        quillon::testing::CollectedDiagnostics diagnostics;
        if (c.line == 0) {
            EXPECT_NO_THROW(c.parse(&diagnostics));
            EXPECT_TRUE(diagnostics.list.empty());
            continue;
        }
        EXPECT_THROW(c.parse(&diagnostics), InputError);
        ASSERT_TRUE(diagnostics.hasLocatedRefusal("f"));
        const auto refusal = std::find_if(diagnostics.list.begin(), diagnostics.list.end(),
                                          [](const LoadDiagnostic& d) { return d.refusesLoad; });
        EXPECT_EQ(std::make_pair(refusal->line, refusal->column), std::make_pair(c.line, c.column));
    }
}
