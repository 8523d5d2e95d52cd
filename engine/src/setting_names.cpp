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

constexpr std::array<NamedSetting, 23> settingTable{{
    {"pool", SettingKind::Text},
    {"script", SettingKind::Text},
    {"enemies", SettingKind::Text},
    {"data", SettingKind::Text},
    {"results", SettingKind::Text},
    {"exposure", SettingKind::Text},
    {"max-length", SettingKind::WholeNumber},
    {"categories", SettingKind::WholeNumber},
    {"tests-per-person", SettingKind::WholeNumber},
    {"method", SettingKind::Text},
    {"randomization", SettingKind::WholeNumber},
    {"alpha", SettingKind::Number},
    {"beta", SettingKind::Number},
    {"cost-pass-pass", SettingKind::Number},
    {"cost-pass-fail", SettingKind::Number},
    {"cost-fail-pass", SettingKind::Number},
    {"cost-fail-fail", SettingKind::Number},
    {"drop-items", SettingKind::Flag},
    {"block-enemies", SettingKind::Flag},
    {"follow-script", SettingKind::Flag},
    {"use-sprt", SettingKind::Flag},
    {"no-exposure", SettingKind::Flag},
    {"no-uniform-priors", SettingKind::Flag},
}};

// Where each name lands; the order follows `settingTable`.
struct Target {
    std::int32_t RunSettings::*whole = nullptr;
    double RunSettings::*number = nullptr;
    std::string RunSettings::*text = nullptr;
    bool RunSettings::*flag = nullptr;
    bool inverted = false;  // "no-…" flags clear the setting they name
    SelectionMethod RunSettings::*method = nullptr;  // the method's name, parsed here once
};

constexpr std::array<Target, 23> targets{{
    {.text = &RunSettings::poolFile},
    {.text = &RunSettings::scriptFile},
    {.text = &RunSettings::enemiesFile},
    {.text = &RunSettings::responseFile},
    {.text = &RunSettings::resultsFile},
    {.text = &RunSettings::exposureFile},
    {.whole = &RunSettings::maxTestLength},
    {.whole = &RunSettings::groupCount},
    {.whole = &RunSettings::testsPerPerson},
    {.method = &RunSettings::selectionMethod},
    {.whole = &RunSettings::randomizationFactor},
    {.number = &RunSettings::sprtAlpha},
    {.number = &RunSettings::sprtBeta},
    {.number = &RunSettings::costPassPass},
    {.number = &RunSettings::costPassFail},
    {.number = &RunSettings::costFailPass},
    {.number = &RunSettings::costFailFail},
    {.flag = &RunSettings::dropItems},
    {.flag = &RunSettings::blockEnemies},
    {.flag = &RunSettings::followScript},
    {.flag = &RunSettings::useSprt},
    {.flag = &RunSettings::saveExposure, .inverted = true},
    {.flag = &RunSettings::uniformPriors, .inverted = true},
}};

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

std::string setRunSetting(RunSettings& settings, std::string_view name, std::string_view value,
                          std::string_view shownName) {
    if (shownName.empty()) shownName = name;
    const NamedSetting* setting = findRunSetting(name);
    if (setting == nullptr) return "there is no setting named \"" + std::string(shownName) + "\"";
    const Target& target = targets[static_cast<std::size_t>(setting - settingTable.data())];
    const std::string quoted = "\"" + std::string(value) + "\"";
    const std::string where = "setting " + std::string(shownName) + ": ";
    switch (setting->kind) {
        case SettingKind::WholeNumber: {
            std::int32_t whole = 0;
            if (!parseWhole(value, whole)) return where + quoted + " is not a whole number";
            settings.*target.whole = whole;
            return {};
        }
        case SettingKind::Number: {
            double number = 0;
            const std::string_view digits = !value.empty() && value.front() == '+' ? value.substr(1) : value;
            const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
            if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
                !std::isfinite(number)) {
                return where + quoted + " is not a number";
            }
            settings.*target.number = number;
            return {};
        }
        case SettingKind::Flag:
            if (value != "true" && value != "false") return where + quoted + " is neither true nor false";
            settings.*target.flag = (value == "true") != target.inverted;
            return {};
        case SettingKind::Text:
            if (target.method != nullptr) {
                const std::optional<SelectionMethod> method = selectionMethodFromName(value);
                if (!method) return where + quoted + " is not one of Shannon, MaxDiscr and MinCost";
                settings.*target.method = *method;
                return {};
            }
            settings.*target.text = std::string(value);
            return {};
    }
    return where + "unknown kind";
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
