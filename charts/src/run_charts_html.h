#pragma once

#include <string>
#include <vector>

#include "quillon/charts/chart_model.h"

namespace quillon::charts {

/// The run report's charts as HTML figures: a set's panels side by side under one key with its
/// notes once, its strips under them; a chart of its own as it is.
std::string runChartsHtml(std::vector<Chart> charts);

}  // namespace quillon::charts
