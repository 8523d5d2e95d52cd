#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/engine/run_settings.h"
#include "quillon/outcome/outcome.h"

namespace quillon {

/// What a named setting's value must be.
enum class SettingKind { WholeNumber, Number, Text, Flag };

/// One run setting under the runner's long option name, as study files and the packages name it,
/// with the field of `RunSettings` its value lands in (the one member of its kind that is set).
struct NamedSetting {
    std::string_view name;  // e.g. "max-length", the runner's option without its dashes
    SettingKind kind;
    std::int32_t RunSettings::*whole = nullptr;
    double RunSettings::*number = nullptr;
    std::string RunSettings::*text = nullptr;
    bool RunSettings::*flag = nullptr;
    bool inverted = false;                            // "no-…" flags clear the setting they name
    SelectionMethod RunSettings::*method = nullptr;   // the method's name, parsed here once
    ExposureControl RunSettings::*control = nullptr;  // the control's name, parsed here once
    // Came after records and reports were first written: they carry it only when it differs from
    // the default, and a record without it reads as the default, so older files stay valid.
    bool recordedWhenSet = false;
};

/// Whether a record or report names this setting of `settings` (see `recordedWhenSet`).
bool recordsSetting(const NamedSetting& setting, const RunSettings& settings);

/// Every setting of `RunSettings` by name, in the runner's order: the one table that study files
/// and the R and Python packages set runs through.
std::span<const NamedSetting> namedRunSettings();

/// The named setting, or nullptr when no setting has that name.
const NamedSetting* findRunSetting(std::string_view name);

/// Sets one setting from its value written as text ("40", "0.05", "MinCost", "true"/"false"); a
/// Usage failure says why not, naming the setting `shownName` (by default `name`), the name the
/// caller knows it by. Whole numbers and numbers must be the whole text; flags are "true" or
/// "false"; the method is one of the three names.
Status setRunSetting(RunSettings& settings, std::string_view name, std::string_view value,
                     std::string_view shownName = {});

/// The name of `names` nearest to `name` by edit distance (the first of equals), for a message
/// about a misspelt name; empty when `names` is.
std::string closestName(std::string_view name, const std::vector<std::string>& names);

}  // namespace quillon
