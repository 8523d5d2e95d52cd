#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quillon/charts/table_reader.h"

namespace quillon::charts {

/// The test lengths to draw a run's confusion matrices at: the `chosen` ones (none chosen: 5, 10,
/// 20 and the longest test) that its tests reach, ascending and each once.
std::vector<std::int32_t> confusionLengths(const std::vector<std::int32_t>& chosen, std::int32_t maxTestLength);

/// The confusion matrices of one test length as a heat map (an <svg> element): MAP beside the SPRT
/// (of the tests it had decided), rows the true group, columns the decided group, each cell its
/// count and its share of the row, coloured by that share, with a colour key.
std::string confusionMapSvg(const ConfusionCounts& table, std::int32_t length, const std::string& title);

}  // namespace quillon::charts
