#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/engine/run_settings.h"

namespace quillon {

/// What a named setting's value must be.
enum class SettingKind { WholeNumber, Number, Text, Flag };

/// One run setting under the runner's long option name, as study files and the packages name it.
struct NamedSetting {
    std::string_view name;  // e.g. "max-length", the runner's option without its dashes
    SettingKind kind;
};

/// Every setting of `RunSettings` by name, in the runner's order: the one table that study files
/// and the R and Python packages set runs through.
std::span<const NamedSetting> namedRunSettings();

/// The named setting, or nullptr when no setting has that name.
const NamedSetting* findRunSetting(std::string_view name);

/// Sets one setting from its value written as text ("40", "0.05", "MinCost", "true"/"false");
/// empty when done, otherwise why not, naming the setting `shownName` (by default `name`), the
/// name the caller knows it by. Whole numbers and numbers must be the whole text; flags are "true"
/// or "false"; the method is one of the three names.
std::string setRunSetting(RunSettings& settings, std::string_view name, std::string_view value,
                          std::string_view shownName = {});

/// The name of `names` nearest to `name` by edit distance (the first of equals), for a message
/// about a misspelt name; empty when `names` is.
std::string closestName(std::string_view name, const std::vector<std::string>& names);

}  // namespace quillon
