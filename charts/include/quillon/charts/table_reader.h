#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/engine/input_files.h"
#include "quillon/outcome/outcome.h"

namespace quillon {

/// One line of a results table as read back: the shares and mean probabilities at one test length.
struct ResultsRow {
    std::int32_t length = 0;
    double mapAccurate = 0, mapFalsePos = 0, mapFalseNeg = 0, mapMeanProb = 0;
    double sprtDecided = 0, sprtAccurate = 0, sprtFalsePos = 0, sprtFalseNeg = 0;
    double bayesAccurate = 0, bayesFalsePos = 0, bayesFalseNeg = 0, bayesMeanProb = 0;  // two groups only
};

/// The plain names of a results table's columns in the table's order, without the blank separator
/// columns: the one spelling that study tables and the R and Python packages use.
inline constexpr std::array<std::string_view, 13> resultsColumnNames = {
    "length",       "map_accurate",  "map_false_pos",  "map_false_neg",  "map_mean_prob",
    "sprt_decided", "sprt_accurate", "sprt_false_pos", "sprt_false_neg", "br_accurate",
    "br_false_pos", "br_false_neg",  "br_mean_prob"};

/// A results table read back; `hasBayes` is false for the tables of any group count but two.
struct ResultsTable {
    bool hasBayes = false;
    std::vector<ResultsRow> rows;  // [length - 1]
};

/// One item line of an exposure table: its identifier, use count, content collection and the
/// probability of a correct answer in each group (groups 1 to G).
struct ExposureItem {
    std::string id;
    std::int64_t uses = 0;
    std::int64_t collection = 0;
    std::vector<double> pCorrect = {};
};

/// An exposure table read back: the items in pool order with their use counts.
struct ExposureTable {
    std::int32_t groupCount = 0;
    std::vector<ExposureItem> items;
};

/// Tests counted at one place of a stopping table, by how the stop classed them.
struct StoppingCounts {
    std::int64_t tests = 0, accurate = 0, falsePos = 0, falseNeg = 0;
};

/// One rule's part of a stopping table read back: where its tests stopped and its summary.
struct StoppingRulePart {
    std::string rule;                     // "SPRT" or "Posterior"
    std::string threshold;                // as written: empty for the SPRT, ".95" for a threshold
    std::vector<StoppingCounts> stopped;  // [length - 1]
    StoppingCounts undecided;             // no stop by the last length: classed by the last MAP group
    StoppingCounts total;
    double averageLength = 0, percentCorrect = 0, undecidedShare = 0;  // shares from 0 to 1
    double fixedAverageLength = 0, fixedPercentCorrect = 0;            // the fixed-length test
};

/// A stopping table read back: every rule, in file order, over test lengths 1 to maxTestLength.
struct StoppingResults {
    std::int32_t maxTestLength = 0;
    std::vector<StoppingRulePart> rules;
};

/// A confusion table read back: for every test length and rule, the tests of each true group put
/// in each decided group (the SPRT's among the tests it had decided).
struct ConfusionCounts {
    std::int32_t groupCount = 0;
    std::int32_t maxTestLength = 0;
    std::vector<std::int64_t> counts;   // [((length - 1) * 2 + rule) * G * G + (true - 1) * G + decided - 1]
    std::vector<std::int64_t> outside;  // [(length - 1) * 2 + rule]: tests of pairs outside groups 1 to G

    /// The tests at `length` that `rule` (0 MAP, 1 SPRT) put in `decided` from `trueGroup`.
    std::int64_t count(std::int32_t length, int rule, std::int32_t trueGroup, std::int32_t decided) const;

    /// Every test `rule` classed at `length`, in a pair of groups or outside them: for MAP all
    /// tests, for the SPRT those it had decided.
    std::int64_t total(std::int32_t length, int rule) const;
};

/// Reads the text of a results table as Quillon writes it; anything else is refused with an Input
/// failure naming the file and the line. `fileName` only names the file in the refusal.
Outcome<ResultsTable> parseResultsTable(std::string_view text, const std::string& fileName);

/// Reads the text of an exposure table as Quillon writes it; anything else is refused.
Outcome<ExposureTable> parseExposureTable(std::string_view text, const std::string& fileName);

/// Reads the text of a stopping table as Quillon writes it; anything else, including a summary
/// that its own rows do not give, is refused.
Outcome<StoppingResults> parseStoppingTable(std::string_view text, const std::string& fileName);

/// Reads the text of a confusion table as Quillon writes it; anything else, including a length and
/// rule that lack a pair of groups, is refused. The group count is the highest decided group.
Outcome<ConfusionCounts> parseConfusionTable(std::string_view text, const std::string& fileName);

/// Reads a results table from a file.
Outcome<ResultsTable> readResultsFile(const std::string& path);

/// Reads an exposure table from a file.
Outcome<ExposureTable> readExposureFile(const std::string& path);

/// Reads a stopping table from a file.
Outcome<StoppingResults> readStoppingFile(const std::string& path);

/// Reads a confusion table from a file.
Outcome<ConfusionCounts> readConfusionFile(const std::string& path);

}  // namespace quillon
