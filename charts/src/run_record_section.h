#pragma once

#include <string>
#include <vector>

#include "quillon/charts/chart_model.h"

namespace quillon::charts {

/// Reads the run record beside the run's results table when there is one, keeping it only when its
/// results digest is that of the table read; otherwise `recordNote` says why it is not used.
void attachRunRecord(RunTables& run);

/// With several runs, the settings and inputs whose recorded values differ, one column per run, or
/// one line saying they agree; empty when no run has a record.
std::string differsSection(const std::vector<RunTables>& runs);

/// What made each run: program, date, command line, seed, counts, settings and files; empty when
/// no run has a record or a note about one.
std::string recordSection(const std::vector<RunTables>& runs);

}  // namespace quillon::charts
