#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quillon/charts/chart_model.h"
#include "quillon/charts/study_report.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/run_statistics.h"
#include "quillon/outcome/outcome.h"
#include "quillon/paired_comparison/paired_comparison.h"

namespace quillon::charts {

/// What the report's paired section is drawn from: the two runs' names and the paired counts.
struct PairedFigures {
    std::string labelA, labelB;
    std::int32_t groupCount = 0;
    std::vector<PairedLength> lengths;  // [length - 1]
};

/// The figures of a comparison.
PairedFigures pairedFigures(const PairedComparison& comparison);

/// "Paired difference, B - A": one small panel per rule that has pairs, on one shared y axis in
/// percentage points, each with a zero line and its exact 95 % interval as a band; the notes say
/// n, the discordant tests at the longest length and how the interval is made.
StudyChartSet pairedChartSet(const PairedFigures& figures);

/// The report's "Paired comparison" section: the panels and a table of the counts at a few lengths.
std::string pairedSectionHtml(const PairedFigures& figures);

/// A run's tables made from its statistics in memory, as the run would have written and the
/// report would read them back, with its settings; an Input failure if they do not read back.
Outcome<RunTables> runTablesInMemory(const RunSettings& settings, const RunStatistics& statistics, const ItemPool& pool,
                                     const std::string& label);

/// The report of a comparison: both runs' ordinary sections and charts, then the paired section.
Outcome<std::string> pairedReportHtml(const PairedComparison& comparison);

}  // namespace quillon::charts
