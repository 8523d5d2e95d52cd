#pragma once

#include <string_view>

namespace quillon {

/// Settings that name an input file: relative to the study file, they must exist, and no study
/// output may replace them.
bool isFileSetting(std::string_view name);

}  // namespace quillon
