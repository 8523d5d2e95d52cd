#pragma once

#include <string>
#include <vector>

#include "quillon/charts/chart_model.h"

namespace quillon::charts {

/// The style of the key-number strip.
extern const char* const keyNumbersStyle;

/// The key numbers a run report opens with: tests, items, test length, MAP accuracy at the full
/// length, the first length at which MAP reaches 95 %, the SPRT's ATL and PCC and the highest
/// exposure rate; a strip for one run, a table with a row per run for several. A figure the
/// tables do not give is left out (a dash in the table).
std::string keyNumbersStrip(const std::vector<RunTables>& runs);

/// `inner` as one block that print keeps on one page: a table or figure with its note.
std::string keptTogether(const std::string& inner);

}  // namespace quillon::charts
