// Settings that the run refuses, or that make its tables meaningless.
#include "checking.h"

namespace quillon::checking {

namespace {

void settingsFinding(CheckState& state, FindingKind kind, std::string what, std::string fix) {
    state.findings.add(CheckedInput::Settings, {}, 0, 0, kind, std::move(what), std::move(fix));
}

}  // namespace

void checkSettings(CheckState& state) {
    const RunSettings& settings = state.settings;
    if (const Status checked = checkRunSettings(settings); !checked)
        settingsFinding(state, FindingKind::Error,
                        "the run refuses these settings: " + inQuotes(checked.failure().message),
                        "change the setting the message names");
    const auto rate = [&](const char* name, double value) {
        if (!(value > 0.0 && value < 1.0))
            settingsFinding(state, FindingKind::Error,
                            std::string(name) + " is " + diagnosticNumber(value) +
                                ", outside (0, 1), so the SPRT bounds are undefined",
                            std::string("set ") + name + " to an error rate such as .05");
    };
    rate("a", settings.sprtAlpha);
    rate("B", settings.sprtBeta);
    if (!settings.followScript && settings.randomizationFactor < 1)
        settingsFinding(state, FindingKind::Warning,
                        "Randomization Factor is " + std::to_string(settings.randomizationFactor) + " and counts as 1",
                        "set it to 1 or more");
    if (settings.maxTestLength == settings.randomizationFactor)
        settingsFinding(state, FindingKind::Warning,
                        "Maximum test length equals Randomization Factor (" + std::to_string(settings.maxTestLength) +
                            "), so every item is put in collection 1 whatever column B of the pool says",
                        "change one of the two if the collections should count");
    if (settings.selectionMethod == SelectionMethod::MinCost && settings.groupCount != 2)
        settingsFinding(
            state, FindingKind::Warning,
            "MinCost weighs only groups 1 and 2, but N Categories is " + std::to_string(settings.groupCount),
            "use Shannon or MaxDiscr with more than two groups");
}

}  // namespace quillon::checking
