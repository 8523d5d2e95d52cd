#include "settings_reader.h"

#include "control_table.h"

namespace quillon::ui {

void readRunSettings(const ControlAccess& controls, RunSettings& settings) {
    const auto integer = [&](int controlId) { return readInteger(controls.controlText(controlId)); };
    const auto number = [&](int controlId) { return readNumber(controls.controlText(controlId)); };

    settings.maxTestLength = integer(id::maxTestLength);
    settings.groupCount = integer(id::groupCount);
    settings.testsPerPerson = integer(id::testsPerPerson);
    // The grid means something only for two groups; otherwise the last two-group values stay.
    if (settings.groupCount == 2) {
        settings.costPassPass = number(id::costPassPass);
        settings.costPassFail = number(id::costPassFail);
        settings.costFailPass = number(id::costFailPass);
        settings.costFailFail = number(id::costFailFail);
    }
    settings.sprtAlpha = number(id::sprtAlpha);
    settings.sprtBeta = number(id::sprtBeta);
    settings.saveExposure = controls.isChecked(id::saveExposure);
    settings.blockEnemies = controls.isChecked(id::blockEnemies);
    settings.dropItems = controls.isChecked(id::dropItems);
    settings.uniformPriors = controls.isChecked(id::uniformPriors);
    settings.followScript = controls.isChecked(id::followScript);
    settings.useSprt = controls.isChecked(id::useSprt);
    // Each selected option writes its literal, in this scan order; with none selected the
    // previous method stays.
    if (controls.isChecked(id::maxDiscr)) settings.selectionMethod = SelectionMethod::MaxDiscr;
    if (controls.isChecked(id::shannon)) settings.selectionMethod = SelectionMethod::Shannon;
    if (controls.isChecked(id::minCost)) settings.selectionMethod = SelectionMethod::MinCost;
    settings.randomizationFactor = integer(id::randomizationFactor);
}

void readFileNames(const ControlAccess& controls, RunSettings& settings) {
    settings.poolFile = controls.controlText(id::poolFile);
    settings.scriptFile = controls.controlText(id::scriptFile);
    settings.enemiesFile = controls.controlText(id::enemiesFile);
    settings.responseFile = controls.controlText(id::responseFile);
    settings.resultsFile = controls.controlText(id::resultsFile);
    settings.exposureFile = controls.controlText(id::exposureFile);
}

}  // namespace quillon::ui
