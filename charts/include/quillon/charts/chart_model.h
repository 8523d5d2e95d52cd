#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quillon/charts/table_reader.h"
#include "quillon/outcome/outcome.h"
#include "quillon/run_record/run_record.h"

namespace quillon::charts {

/// One axis: its title (with the unit), its range and the tick values with their labels.
struct Axis {
    std::string title;
    double low = 0, high = 1;
    std::vector<double> ticks;
    std::vector<std::string> tickLabels;  // one per tick
};

/// Whether a rule classified any test, from its accurate, false-positive and false-negative
/// shares: a share counts only then, since the tables write 0/0 as 0.
bool hadCases(double accurate, double falsePos, double falseNeg);

/// Range and ticks at 1, 2 or 5 times a power of ten that cover [low, high] with about
/// `targetTicks` intervals; an empty range is widened so the axis never collapses. With
/// `wholeSteps` the step is at least 1 (test lengths, item ranks).
Axis niceAxis(double low, double high, int targetTicks, bool wholeSteps);

/// A share axis labelled in percent: 0 to 100% unless the data leave that range; with
/// `fitToData` the top is the nice ceiling of the largest value (at least 10%), for small shares.
Axis percentAxis(double dataLow, double dataHigh, bool fitToData);

/// A share axis from about the lowest value up to 100% (or the data's top), for telling close
/// curves apart; it starts at 0% only when the data come near it.
Axis percentAxisFromData(double dataLow, double dataHigh);

/// How a series is drawn; the palette and dashes are indices so that both renderers share them.
struct SeriesStyle {
    int colour = 0;      // index into palette()
    int dash = 0;        // index into dashPattern()
    bool steps = false;  // drawn as a staircase (ranked items) rather than straight segments
    int marker = -1;     // index into the marker kinds (MarkerKind): unjoined points; -1: a line
    int endMarker = -1;  // a line's mark at its last point, so that coinciding lines stay visible
};

/// The marks a point series can use, in the order a chart hands them out.
enum class MarkerKind { Circle, Square, Triangle, Diamond, TriangleDown };
inline constexpr int markerKindCount = 5;

/// The intervals around one point, drawn as whiskers; either may be missing.
struct Whiskers {
    std::optional<std::pair<double, double>> x, y;
};

/// One line of a chart: its legend entry and its points; a missing point (no case to share
/// over) breaks the line.
struct Series {
    std::string name;
    SeriesStyle style;
    std::vector<std::optional<std::pair<double, double>>> points;
    // Low and high of a shaded band at each point (the spread around a mean); empty: no band.
    std::vector<std::optional<std::pair<double, double>>> band = {};
    // The intervals of each point (a marker series'); empty: none.
    std::vector<Whiskers> whiskers = {};
    // Points resting on too few cases to read as a share, drawn faded; empty: none.
    std::vector<bool> faint = {};
};

/// A labelled horizontal line across the plot, such as the share a guess gets right.
struct ReferenceLine {
    double y;
    std::string label;
};

/// A chart as both renderers draw it.
struct Chart {
    std::string id;  // file-name stem for --svg
    std::string title;
    Axis x, y;
    std::vector<Series> series;
    std::vector<std::string> notes;  // lines of figures shown under the plot
    bool legend = true;              // false: the page gives one key for a set of charts
    std::string set = {};            // charts of one set are one figure: panels on shared axes, strips under them
    bool strip = false;              // a thin chart under the panels of its set
    std::vector<ReferenceLine> references = {};
    bool hasData() const;
};

/// One entry of a key: a series' name and how it is drawn.
struct KeyEntry {
    std::string name;
    SeriesStyle style;
};

/// Adds the entries of `series` to a key: each name once, with the style of its first series, in
/// black where series of that name differ in colour (the marks of several curves).
void addKeyEntries(std::vector<KeyEntry>& entries, const std::vector<Series>& series);

/// The colour-blind-safe Okabe-Ito palette as "#rrggbb", black last.
const std::vector<std::string>& palette();

/// Dash patterns as lengths in pixels (empty: solid).
const std::vector<std::vector<double>>& dashPattern();

/// The palette index of the `run`-th of several runs (or study conditions) in a chart of one
/// rule; the colours repeat after seven.
int runColour(std::size_t run);

/// Figures of one run's exposure table, as the adaptive-testing literature states them.
struct ExposureFigures {
    std::int64_t items = 0;
    std::int64_t itemsUsed = 0;
    std::int64_t tests = 0;
    double maxRate = 0;         // highest share of tests that gave one item
    double neverUsedShare = 0;  // share of the pool never given
    double meanOverlap = 0;     // expected share of items two tests share
};

/// One run of the report: its tables and how it is named.
struct RunTables {
    std::string label;
    std::string resultsFile;
    ResultsTable results;
    std::string exposureFile;  // empty: no exposure table
    std::optional<ExposureTable> exposure;
    std::string stoppingFile;  // empty: no stopping table
    std::optional<StoppingResults> stopping;
    std::string confusionFile;  // empty: no confusion table
    std::optional<ConfusionCounts> confusion;
    std::vector<std::pair<std::string, std::string>> settings;  // name and value, when known
    bool inMemory = false;                   // made from a replay's statistics rather than read from written tables
    std::optional<std::int64_t> tests = {};  // the tests the run gave, when a table or its record tells
    std::string recordFile;                  // the run record found beside the results; empty: none
    std::optional<RunRecord> record;         // only a record that belongs to the results read
    std::string recordNote;                  // why a record found was not used
    // The target maximum exposure rate R of a run under exposure control, from its settings or its
    // record; none for an uncontrolled run or one whose settings are not known.
    std::optional<double> exposureTarget = std::nullopt;
};

/// The target rate a run of `settings` is held to: R under exposure control, none without.
std::optional<double> exposureTargetOf(const RunSettings& settings);

/// The tests a run gave: its own count, else what its exposure, stopping or confusion table says;
/// nothing when none of them is there.
std::optional<std::int64_t> testsOfRun(const RunTables& run);

/// The groups a run classified into, from its exposure or confusion table or the Bayes columns of
/// two groups; nothing when none tells.
std::optional<std::int32_t> groupsOfRun(const RunTables& run);

/// Whether a share as the results table writes it reaches a target given in ten-thousandths (9500
/// for 95%): compared in the table's 4 decimals, so that exactly .9500 counts.
bool reachesShare(double share, std::int64_t tenThousandths);

/// The 95 % Wilson score interval of `part` out of `whole` cases (nothing without a case): it stays
/// within 0 to 1 and does not collapse at 0 or all, unlike the normal approximation.
std::optional<std::pair<double, double>> wilsonInterval(std::int64_t part, std::int64_t whole);

/// A share axis that starts at `chance` (the share a guess gets right), or lower where the data
/// go, up to 100%: ticks at nice steps above it.
Axis chanceAxis(double chance, double dataLow, double dataHigh);

/// The figures of a run's exposure table; the number of tests follows from the uses, since every
/// test gives exactly as many items as the results table has lines. Nothing when the two tables
/// cannot belong to one run (the uses are not a whole number of tests).
std::optional<ExposureFigures> exposureFigures(const ExposureTable& exposure, std::int32_t testLength);

/// Checks that each run's exposure, stopping and confusion tables belong to its results table; an Input
/// failure with the first problem found.
Status checkRunPairs(const std::vector<RunTables>& runs);

/// The charts of the report for the given runs, overlaid on shared axes.
std::vector<Chart> buildCharts(const std::vector<RunTables>& runs);

/// What a false positive is, for charts over runs of which some (`anyTwo`) or all (`allTwo`) have
/// two groups: Pass and Fail are named only where a run has them.
std::string falsePositiveNote(bool anyTwo, bool allTwo);

/// A stopping rule as the charts and the report name it: "SPRT", or "Posterior ≥ .95".
std::string stoppingRuleLabel(const StoppingRulePart& rule);

/// Formats a number with `decimals` decimals, without the sign of a value that rounds to zero.
std::string fixedText(double value, int decimals);

/// Formats a share as a percentage with `decimals` decimals ("87.5%").
std::string percentText(double share, int decimals);

}  // namespace quillon::charts
