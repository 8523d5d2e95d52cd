#include "quillon/engine/setting_names.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

namespace quillon {

namespace {

constexpr NamedSetting textSetting(std::string_view name, std::string RunSettings::*field) {
    return {.name = name, .kind = SettingKind::Text, .text = field};
}
constexpr NamedSetting wholeSetting(std::string_view name, std::int32_t RunSettings::*field) {
    return {.name = name, .kind = SettingKind::WholeNumber, .whole = field};
}
constexpr NamedSetting numberSetting(std::string_view name, double RunSettings::*field) {
    return {.name = name, .kind = SettingKind::Number, .number = field};
}
constexpr NamedSetting methodSetting(std::string_view name, SelectionMethod RunSettings::*field) {
    return {.name = name, .kind = SettingKind::Text, .method = field};
}
constexpr NamedSetting controlSetting(std::string_view name, ExposureControl RunSettings::*field) {
    return {.name = name, .kind = SettingKind::Text, .control = field, .recordedWhenSet = true};
}
constexpr NamedSetting flagSetting(std::string_view name, bool RunSettings::*field, bool inverted = false) {
    return {.name = name, .kind = SettingKind::Flag, .flag = field, .inverted = inverted};
}

// Each name with the field it sets, in the runner's order.
constexpr std::array settingTable{
    textSetting("pool", &RunSettings::poolFile),
    textSetting("script", &RunSettings::scriptFile),
    textSetting("enemies", &RunSettings::enemiesFile),
    textSetting("data", &RunSettings::responseFile),
    textSetting("results", &RunSettings::resultsFile),
    textSetting("exposure", &RunSettings::exposureFile),
    wholeSetting("max-length", &RunSettings::maxTestLength),
    wholeSetting("categories", &RunSettings::groupCount),
    wholeSetting("tests-per-person", &RunSettings::testsPerPerson),
    methodSetting("method", &RunSettings::selectionMethod),
    wholeSetting("randomization", &RunSettings::randomizationFactor),
    numberSetting("alpha", &RunSettings::sprtAlpha),
    numberSetting("beta", &RunSettings::sprtBeta),
    numberSetting("cost-pass-pass", &RunSettings::costPassPass),
    numberSetting("cost-pass-fail", &RunSettings::costPassFail),
    numberSetting("cost-fail-pass", &RunSettings::costFailPass),
    numberSetting("cost-fail-fail", &RunSettings::costFailFail),
    flagSetting("drop-items", &RunSettings::dropItems),
    flagSetting("block-enemies", &RunSettings::blockEnemies),
    flagSetting("follow-script", &RunSettings::followScript),
    flagSetting("use-sprt", &RunSettings::useSprt),
    flagSetting("no-exposure", &RunSettings::saveExposure, true),
    flagSetting("no-uniform-priors", &RunSettings::uniformPriors, true),
    controlSetting("exposure-control", &RunSettings::exposureControl),
    NamedSetting{.name = "max-exposure",
                 .kind = SettingKind::Number,
                 .number = &RunSettings::maxExposure,
                 .recordedWhenSet = true},
};

Failure refused(std::string message) { return {FailureKind::Usage, std::move(message)}; }

template <class T>
bool parseWhole(std::string_view text, T& out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

std::span<const NamedSetting> namedRunSettings() { return settingTable; }

const NamedSetting* findRunSetting(std::string_view name) {
    for (const NamedSetting& setting : settingTable) {
        if (setting.name == name) return &setting;
    }
    return nullptr;
}

Status setRunSetting(RunSettings& settings, std::string_view name, std::string_view value, std::string_view shownName) {
    if (shownName.empty()) shownName = name;
    const NamedSetting* setting = findRunSetting(name);
    if (setting == nullptr) return refused("there is no setting named \"" + std::string(shownName) + "\"");
    const std::string quoted = "\"" + std::string(value) + "\"";
    const std::string where = "setting " + std::string(shownName) + ": ";
    switch (setting->kind) {
        case SettingKind::WholeNumber: {
            std::int32_t whole = 0;
            if (!parseWhole(value, whole)) return refused(where + quoted + " is not a whole number");
            settings.*setting->whole = whole;
            return {};
        }
        case SettingKind::Number: {
            double number = 0;
            const std::string_view digits = !value.empty() && value.front() == '+' ? value.substr(1) : value;
            const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
            if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
                !std::isfinite(number)) {
                return refused(where + quoted + " is not a number");
            }
            settings.*setting->number = number;
            return {};
        }
        case SettingKind::Flag:
            if (value != "true" && value != "false") return refused(where + quoted + " is neither true nor false");
            settings.*setting->flag = (value == "true") != setting->inverted;
            return {};
        case SettingKind::Text:
            if (setting->control != nullptr) {
                const std::optional<ExposureControl> control = exposureControlFromName(value);
                if (!control)
                    return refused(where + quoted + " is not one of none, sympson-hetter, eligibility and progressive");
                settings.*setting->control = *control;
                return {};
            }
            if (setting->method != nullptr) {
                const std::optional<SelectionMethod> method = selectionMethodFromName(value);
                if (!method) return refused(where + quoted + " is not one of Shannon, MaxDiscr and MinCost");
                settings.*setting->method = *method;
                return {};
            }
            settings.*setting->text = std::string(value);
            return {};
    }
    return refused(where + "unknown kind");
}

bool recordsSetting(const NamedSetting& setting, const RunSettings& settings) {
    if (!setting.recordedWhenSet) return true;
    const RunSettings defaults;
    if (setting.control != nullptr) return settings.*setting.control != defaults.*setting.control;
    if (setting.number != nullptr) return !(settings.*setting.number == defaults.*setting.number);
    return true;
}

std::string closestName(std::string_view name, const std::vector<std::string>& names) {
    std::string closest;
    std::size_t best = std::string::npos;
    std::vector<std::size_t> previous, current;
    for (const std::string& candidate : names) {
        // Levenshtein distance, one row at a time.
        previous.resize(candidate.size() + 1);
        current.resize(candidate.size() + 1);
        for (std::size_t j = 0; j <= candidate.size(); ++j) previous[j] = j;
        for (std::size_t i = 1; i <= name.size(); ++i) {
            current[0] = i;
            for (std::size_t j = 1; j <= candidate.size(); ++j)
                current[j] = std::min(
                    {previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (name[i - 1] == candidate[j - 1] ? 0 : 1)});
            std::swap(previous, current);
        }
        const std::size_t distance = previous[candidate.size()];
        if (distance < best) {
            closest = candidate;
            best = distance;
        }
    }
    return closest;
}

}  // namespace quillon
