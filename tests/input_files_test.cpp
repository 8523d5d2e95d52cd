#include "quillon/input_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace quillon {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Ints = std::vector<std::int32_t>;
using Vec = std::vector<double>;

// A fresh folder per test, removed afterwards.
class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* t = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("quillon-") + t->test_suite_name() + "-" + t->name() + "-" +
                                            std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
        return path(name);
    }
    std::string contents(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    fs::path dir_;
};

// Upper case as messages show names, spelled out here rather than borrowed from the loader.
std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return text;
}

const std::vector<std::pair<std::string, Lines>> lineCases = {
    {"", {}},
    {"a\rb\r", {"a", "b"}},
    {"a\r\nb\r\n", {"a", "b"}},
    {"a\nb\n", {"a", "b"}},
    {"a\n\rb", {"a", "", "b"}},  // a lone LF, then a CR: two line ends
    {"a\r\n\nb", {"a", "", "b"}},
    {"a\r\nlast", {"a", "last"}},  // the last line needs no end
    {"a\r\n\r\nb\r\n\r\n", {"a", "", "b", ""}},  // empty lines kept, no extra one after the final end
    {"\r", {""}},
    {"a\x1A" "b\r\nc", {"a"}},  // 0x1A ends the file
    {"a\r\n\x1A\r\nb", {"a"}},
    {"x\ty \r\n", {"x\ty "}},
};

TEST(SplitLines, LineRule) {
    for (const auto& [bytes, lines] : lineCases) EXPECT_EQ(splitLines(bytes), lines) << testing::PrintToString(bytes);
}

using LineReaderTest = FileTest;

TEST_F(LineReaderTest, SameLineRuleFromAFile) {
    int n = 0;
    for (const auto& [bytes, lines] : lineCases) {
        LineReader reader(write(std::to_string(n++), bytes));
        Lines got;
        for (std::string line; reader.nextLine(line);) got.push_back(line);
        EXPECT_EQ(got, lines) << testing::PrintToString(bytes);
    }
    EXPECT_FALSE(LineReader(path("missing")).isOpen());
    EXPECT_FALSE(LineReader(dir_.string()).isOpen());
    EXPECT_FALSE(LineReader("").isOpen());
}

TEST_F(LineReaderTest, CrLfAcrossTheReadBufferThenCountAndRewind) {
    // The CR is the last byte of the first 64 KiB block and its LF the first byte of the next.
    const Lines expected = {std::string(65535, 'x'), "next", std::string(70000, 'y'), "z"};
    LineReader reader(write("long", expected[0] + "\r\n" + expected[1] + "\r\n" + expected[2] + "\r" + expected[3]));
    EXPECT_EQ(reader.countLinesAndRewind(), 4);
    Lines got;
    for (std::string line; reader.nextLine(line);) got.push_back(line);
    EXPECT_EQ(got, expected);
}

TEST(CsvFields, FieldRule) {
    const std::pair<std::string, Lines> cases[] = {
        {"  a  , b ,c  ", {"a", "b", "c"}},
        {"\"x, y\",z", {"x, y", "z"}},                   // a quoted comma does not split
        {"  \" A1 \" ,2", {" A1 ", "2"}},                // blanks inside quotes stay
        {"\"abc\"junk,2", {"abc", "2"}},                 // text after the closing quote is skipped
        {"1,\"open, never closed", {"1", "open, never closed"}},
        {"\"\"x\"\",y", {"", "y"}},                      // two quotes are no escape
        {"a\tb ,\tc", {"a\tb", "\tc"}},                  // tabs are not blanks
        {"a,,", {"a", "", ""}},
        {"", {""}},
    };
    for (const auto& [line, fields] : cases) {
        EXPECT_EQ(csvFields(line), fields) << line;
        EXPECT_EQ(csvField(line, 2), fields.size() > 1 ? fields[1] : "") << line;
        EXPECT_EQ(csvField(line, static_cast<int>(fields.size()) + 1), "") << line;
    }
    EXPECT_EQ(trimSpaces("\t a b \t "), "\t a b \t");
}

RunSettings settings10() {
    RunSettings s;
    s.maxTestLength = 10;
    return s;
}

TEST(ParsePool, PriorsItemsAndCalibrationRow) {
    const std::string items =
        "A1,1,5,0,.8,.3\r\n"
        "\" B 2 \",2.5,,,0.5,0.25,0.9\r\n"  // quoted id loses outer blanks; 2.5 rounds to 2; extra column ignored
        "C3,3.5,,,1\r\n";                   // missing probability reads 0; 3.5 rounds to 4
    const ItemPool pool = parsePool("Item,Coll\r\nN, , , ,120,80 \r\nP_Grp,,,,0.3,0.7\r\n" + items, settings10(), "p");
    EXPECT_EQ(pool.calibrationRow, "N, , , ,120,80 ");
    EXPECT_EQ(pool.groupPrior, (Vec{0.3, 0.7}));
    EXPECT_EQ(pool.itemCount, 3);
    EXPECT_EQ(pool.itemId, (Lines{"A1", "B 2", "C3"}));
    EXPECT_EQ(pool.itemCollection, (Ints{1, 2, 4}));
    EXPECT_EQ(pool.pCorrect, (Vec{0.8, 0.3, 0.5, 0.25, 1, 0}));

    RunSettings three = settings10();
    three.groupCount = 3;
    const ItemPool wide = parsePool("h\r\nc\r\nP_Grp,,,,0.3,0.7\r\n" + items, three, "p");
    EXPECT_EQ(wide.groupPrior, (Vec{0.3, 0.7, 0}));
    EXPECT_EQ(wide.pCorrect, (Vec{0.8, 0.3, 0, 0.5, 0.25, 0.9, 1, 0, 0}));

    const std::pair<const char*, Vec> thirdLines[] = {
        {"I0,1,,,0.5,0.5", {0, 0}},         // an item here is not loaded
        {"p_grp,,,,0.5,0.5", {0, 0}},       // case-sensitive
        {" P_Grp ,,,,0.5,0.5", {0.5, 0.5}},  // blanks around a field are not part of it
    };
    for (const auto& [third, priors] : thirdLines) {
        const ItemPool p = parsePool(std::string("h\r\nc\r\n") + third + "\r\nA1,1,,,.8,.3\r\n", settings10(), "p");
        EXPECT_EQ(p.groupPrior, priors) << third;
        EXPECT_EQ(p.itemId, Lines{"A1"}) << third;
    }
}

TEST(ParsePool, DropFlagsAndEmptyLines) {
    const std::string text =
        "h\nc\nP_Grp,,,,.5,.5\n"
        "one,1,,1,.8,.3\nspaced,1,, 1 ,.8,.3\nquoted,1,,\" 1 \",.8,.3\n"
        "decimal,1,,1.0,.8,.3\nword,1,,yes,.8,.3\nzero,1,,0,.8,.3\n\n";
    RunSettings s = settings10();
    const ItemPool all = parsePool(text, s, "p");
    EXPECT_EQ(all.itemId, (Lines{"one", "spaced", "quoted", "decimal", "word", "zero", ""}));
    // The empty line is an item of collection 0 with every probability 0.
    EXPECT_EQ(all.itemCollection.back(), 0);
    EXPECT_EQ(Vec(all.pCorrect.end() - 2, all.pCorrect.end()), (Vec{0, 0}));
    s.dropItems = true;
    EXPECT_EQ(parsePool(text, s, "p").itemId, (Lines{"decimal", "word", "zero", ""}));
}

std::string poolOfSizes(const std::vector<std::pair<int, int>>& sizes) {  // (collection, items) in file order
    std::string text = "h\r\nc\r\nP_Grp,,,,.5,.5\r\n";
    int id = 0;
    for (const auto& [collection, count] : sizes)
        for (int i = 0; i < count; ++i) text += "I" + std::to_string(id++) + "," + std::to_string(collection) + ",,,.8,.3\r\n";
    return text;
}

TEST(ParsePool, CollectionDeck) {
    const std::pair<std::vector<std::pair<int, int>>, Ints> cases[] = {
        {{{1, 3}, {2, 5}, {3, 15}, {4, 26}}, {3, 3, 4, 4, 4}},
        {{{4, 26}, {1, 3}, {3, 15}, {2, 5}}, {3, 3, 4, 4, 4}},
        {{{2, 6}}, {2}},       {{{2, 14}}, {2}},          {{{2, 25}}, {2, 2}},
        {{{2, 34}}, {2, 2, 2}}, {{{2, 35}}, {2, 2, 2, 2}}, {{{2, 45}}, {2, 2, 2, 2}},
        {{{0, 30}, {5, 10}}, {5}},  // collection 0 never enters
    };
    for (const auto& [sizes, deck] : cases)
        EXPECT_EQ(parsePool(poolOfSizes(sizes), settings10(), "p").collectionDeck, deck) << testing::PrintToString(sizes);

    // With the factor equal to the test length every item is in collection 1.
    RunSettings s = settings10();
    s.randomizationFactor = 10;
    const ItemPool one = parsePool(poolOfSizes({{3, 8}, {0, 7}}), s, "p");
    EXPECT_EQ(one.itemCollection, Ints(15, 1));
    EXPECT_EQ(one.collectionDeck, (Ints{1, 1}));  // 15 items
}

TEST(ParseEnemies, RowsBecomePoolPositions) {
    RunSettings s = settings10();
    s.dropItems = true;
    const ItemPool pool = parsePool("h\nc\nP_Grp\nZ0\nA7\nGONE,1,,1\nB2\nC9\nD4\nA7\n", s, "p");
    ASSERT_EQ(pool.itemId, (Lines{"Z0", "A7", "B2", "C9", "D4", "A7"}));
    const std::vector<EnemySet> sets = parseEnemies(
        "Set,N,Items\r\n"
        "1, 3, A7, B2, C9, D4\r\n"  // D4 lies past the three named
        "1, 0, A7\r\n"
        "2, 1, B2, C9\r\n"
        "3, 2, NOPE, \" C9 \"\r\n"  // unmatched: 0
        "4, 2, GONE, D4\r\n"        // dropped: 0
        "5, 4, C9, D4\r\n",         // named fields past the row's end name nothing
        pool, "e");
    ASSERT_EQ(sets.size(), 6u);
    const Ints expected[] = {{2, 3, 4}, {2}, {3}, {0, 4}, {0, 5}};
    for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(sets[k].positions, expected[k]) << "row " << k + 1;
    const Ints& last = sets[5].positions;
    ASSERT_GE(last.size(), 2u);
    EXPECT_EQ(Ints(last.begin(), last.begin() + 2), (Ints{4, 5}));
    EXPECT_EQ(std::count(last.begin() + 2, last.end(), 0), static_cast<long>(last.size() - 2));
}

TEST(ParseScript, SlotsInFileOrder) {
    RunSettings s = settings10();
    s.maxTestLength = 3;
    const Script script = parseScript("Slot,Coll,Note,Factor\n5, 2, x, 3\n1,4.5,,2.5\n,7\n", s, "s");
    ASSERT_EQ(script.slots.size(), 3u);
    const Ints got = {script.slots[0].slotCollection, script.slots[0].slotFactor, script.slots[1].slotCollection,
                      script.slots[1].slotFactor,     script.slots[2].slotCollection, script.slots[2].slotFactor};
    EXPECT_EQ(got, (Ints{2, 3, 4, 2, 7, 0}));
}

TEST(ParseResponseLine, GroupFromCharacterTwelveAnswersFromFourteen) {
    const struct {
        std::string line;
        std::int32_t trueGroup;
        std::string answers;
        Ints values;  // answerValue at positions 1, 2, ...
    } cases[] = {
        {"ABCDEFGHIJK1 1 01", 2, "1 01", {1, 0, 0, 1, 0, 0}},
        {"ABCDEFGHIJK 1 1 01", 1, " 1 01", {0, 1, 0, 0, 1, 0}},  // one blank more shifts everything
        {"", 1, "", {0}},
        {"short", 1, "", {0}},
        {"ABCDEFGHIJK9", 10, "", {0}},
        {"ABCDEFGHIJKx 1", 1, "1", {1, 0}},
        {"ABCDEFGHIJK3 2x9+0", 4, "2x9+0", {2, 0, 9, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        const ResponseRecord r = parseResponseLine(c.line);
        EXPECT_EQ(r.trueGroup, c.trueGroup) << c.line;
        EXPECT_EQ(r.answers, c.answers) << c.line;
        Ints values;
        for (std::size_t k = 1; k <= c.values.size(); ++k) values.push_back(r.answerValue(static_cast<std::int32_t>(k)));
        EXPECT_EQ(values, c.values) << c.line;
    }
}

class LoadInputFiles : public FileTest {
protected:
    static constexpr const char* goodPool = "h\r\nc\r\nP_Grp,,,,.4,.6\r\nA1,1,,,.8,.3\r\nB2,1,,1,.7,.2\r\n";
    RunSettings settings() const {
        RunSettings s;
        s.maxTestLength = 2;
        s.poolFile = path("pool.csv");
        s.enemiesFile = path("enemies.csv");
        s.scriptFile = path("script.csv");
        s.resultsFile = path("results.csv");
        return s;
    }
};

TEST_F(LoadInputFiles, LoadsEveryFileAndKeepsAnExistingResultsFile) {
    write("pool.csv", "h\rc\rP_Grp,,,,.4,.6\rA1,1,,,.8,.3\rB2,2,,1,.7,.2\rC3,1,,,.6,.4");
    write("enemies.csv", "h\nE,2,C3,A1\n");
    write("script.csv", "h\r\n1,2,,3\r\n2,1,,1\r\n");
    RunSettings s = settings();
    s.dropItems = s.blockEnemies = s.followScript = true;
    s.uniformPriors = false;
    InputFiles in = loadInputFiles(s);
    EXPECT_EQ(in.pool.itemId, (Lines{"A1", "C3"}));
    ASSERT_EQ(in.enemySets.size(), 1u);
    EXPECT_EQ(in.enemySets[0].positions, (Ints{2, 1}));
    ASSERT_EQ(in.script.slots.size(), 2u);
    EXPECT_EQ(in.script.slots[0].slotFactor, 3);
    EXPECT_TRUE(fs::exists(path("results.csv")));  // a missing results file is created

    write("results.csv", "old results\r\n");
    s.blockEnemies = s.followScript = false;
    fs::remove(path("enemies.csv"));  // files whose box is off are not opened
    fs::remove(path("script.csv"));
    in = loadInputFiles(s);
    EXPECT_TRUE(in.enemySets.empty() && in.script.slots.empty());
    EXPECT_EQ(contents("results.csv"), "old results\r\n");
}

TEST_F(LoadInputFiles, FailureMessagesInLoadOrder) {
    const std::string P = upper(path("pool.csv")), E = upper(path("enemies.csv")), S = upper(path("script.csv"));
    const std::string noPriors = " has no group priors; turn on Uniform Priors or add a P_Grp row.";
    const std::string enemies = "h\r\n1,1,A1\r\n", script = "h\r\n1,1,,1\r\n1,1,,1\r\n";
    using Change = void (*)(RunSettings&);
    const Change none = [](RunSettings&) {};
    const Change both = [](RunSettings& s) { s.blockEnemies = s.followScript = true; };
    const Change uniformOff = [](RunSettings& s) { s.uniformPriors = false; s.blockEnemies = true; };
    const struct {
        std::string pool, enemies, script;  // "-": no such file
        Change change;
        std::string message;
    } cases[] = {
        {"-", enemies, script, both, "Pool file " + P + " is not available."},
        {goodPool, "-", "-", [](RunSettings& s) { s.poolFile = ""; }, "Pool file  is not available."},
        {goodPool, "-", "-", [](RunSettings& s) { s.poolFile += "-dir"; }, "Pool file " + P + "-DIR is not available."},
        {"h\r\nc\r\n", "-", "-", none, "Pool file " + P + " has no items."},
        {"h\r\nc\r\nP_Grp,,,,.5,.5\r\n", "-", "-", none, "Pool file " + P + " has no items."},
        {"h\r\nc\r\nP_Grp\r\nA1,1,,1\r\n", "-", "-", [](RunSettings& s) { s.dropItems = true; },
         "Pool file " + P + " has no items."},
        {"h\r\nc\r\nA0,1,,,.5,.5\r\nA1\r\n", "-", "-", uniformOff, "Pool file " + P + noPriors},
        {"h\r\nc\r\nP_Grp,,,,-.5,.5\r\nA1\r\n", "-", "-", uniformOff, "Pool file " + P + noPriors},
        {"h\r\nc\r\nA0,1,,,.5,.5\r\nA1\r\n", "-", "-", none, ""},
        {goodPool, "-", "-", both, "Enemies file " + E + " is not available."},
        {goodPool, "Set,N,Items\r\n", "-", both, "Enemies file " + E + " has no enemy sets."},
        {goodPool, "", "-", both, "Enemies file " + E + " has no enemy sets."},
        {goodPool, enemies, "-", both, "Script file " + S + " is not available."},
        {goodPool, enemies, "Slot,Coll,,Factor\r\n", both, "Script file " + S + " has no slots."},
        {goodPool, enemies, script, [](RunSettings& s) { s.followScript = true; s.maxTestLength = 3; },
         "Script file " + S + " has only 2 slots for a test length of 3."},
        {goodPool, "-", "h\r\n1,1,,1\r\n", [](RunSettings& s) { s.maxTestLength = 3; }, ""},
        {goodPool, enemies, script, [](RunSettings& s) { s.followScript = true; s.resultsFile = s.poolFile + "/r.csv"; },
         "Output file " + P + "/R.CSV has a problem."},
        {goodPool, "-", "-", [](RunSettings& s) { s.resultsFile = ""; }, "Output file  has a problem."},
        {goodPool, "-", "-", [](RunSettings& s) { s.resultsFile = s.poolFile + "-dir"; },
         "Output file " + P + "-DIR has a problem."},
        {goodPool, "-", "-", [](RunSettings& s) { s.followScript = true; s.resultsFile = ""; },
         "Script file " + S + " is not available."},
    };
    fs::create_directories(path("pool.csv-dir"));
    for (const auto& c : cases) {
        for (const char* name : {"pool.csv", "enemies.csv", "script.csv", "results.csv"}) fs::remove(path(name));
        if (c.pool != "-") write("pool.csv", c.pool);
        if (c.enemies != "-") write("enemies.csv", c.enemies);
        if (c.script != "-") write("script.csv", c.script);
        RunSettings s = settings();
        c.change(s);
        std::string message;
        try {
            loadInputFiles(s);
        } catch (const InputError& e) {
            message = e.what();
        }
        EXPECT_EQ(message, c.message);
        // A load that fails before the results check leaves no results file behind.
        if (message.rfind("Output", 0) != 0) {
            EXPECT_EQ(fs::exists(path("results.csv")), message.empty()) << c.message;
        }
    }
}

}  // namespace
}  // namespace quillon
