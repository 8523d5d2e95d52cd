#pragma once

#include <string>
#include <vector>

#include "quillon/charts/chart_model.h"

namespace quillon::charts {

/// The style of the key-number strip.
extern const char* const keyNumbersStyle;

/// The strip a run report opens with: per run its tests, items, test length, MAP accuracy at the
/// full length, the first length at which MAP reaches 95 %, the SPRT's ATL and PCC and the
/// highest exposure rate; a figure the run's tables do not give is left out.
std::string keyNumbersStrip(const std::vector<RunTables>& runs);

/// `inner` as one block that print keeps on one page: a table or figure with its note.
std::string keptTogether(const std::string& inner);

}  // namespace quillon::charts
