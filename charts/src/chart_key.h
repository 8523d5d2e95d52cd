#pragma once

#include <string>

#include "quillon/charts/chart_model.h"

namespace quillon::charts {

/// A line (or mark) as the charts draw it, as a small <svg>, to find it on them.
std::string swatch(SeriesStyle style);

/// One entry of a page's key: the swatch and its text, escaped.
std::string keyEntry(SeriesStyle style, const std::string& text);

/// The rules a page of panels with one key adds to the report's style.
extern const char* const panelStyle;

}  // namespace quillon::charts
