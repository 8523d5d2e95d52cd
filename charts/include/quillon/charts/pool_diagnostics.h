#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quillon/charts/chart_model.h"

namespace quillon::charts {

/// The exposure rate above which the report lists an item as over-used, unless told otherwise.
inline constexpr double defaultOverUsedRate = 0.25;

/// How well an item tells the groups apart from its probabilities of a correct answer in groups
/// 1 to G: with two groups |p2 - p1|; with more, the largest difference between adjacent groups,
/// since a classification test decides between neighbouring groups. Nothing with fewer than two.
std::optional<double> itemSeparation(const std::vector<double>& pCorrect);

/// The pool's charts for the runs that have an exposure table: the items ranked by use (one run:
/// each item in its content collection's colour; several: one colour per run), then per run a
/// scatter of each item's separation against its exposure rate.
std::vector<Chart> poolCharts(const std::vector<RunTables>& runs);

/// The report's lists of each run's over-used items (exposure rate above `overUsedRate`) and
/// never-used items by identifier, escaped; long lists give their first entries and a count.
std::string poolItemListsHtml(const std::vector<RunTables>& runs, double overUsedRate);

}  // namespace quillon::charts
