#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/engine/exposure_control.h"
#include "quillon/outcome/outcome.h"

namespace quillon {

/// The three selection criteria; a lower score is better for each.
enum class SelectionMethod { Shannon, MaxDiscr, MinCost };

/// The method's name as settings files, options and every table write it ("Shannon", "MaxDiscr",
/// "MinCost"); empty for a value that is none of the three.
std::string_view selectionMethodName(SelectionMethod method);

/// The method of that name, or nothing for any other text: the one parse of a method's name.
std::optional<SelectionMethod> selectionMethodFromName(std::string_view name);

/// Every option and file name that governs one simulation run, with the window's defaults.
struct RunSettings {
    std::int32_t maxTestLength = 80;
    std::int32_t groupCount = 2;
    std::int32_t testsPerPerson = 1;
    SelectionMethod selectionMethod = SelectionMethod::Shannon;
    std::int32_t randomizationFactor = 1;
    double sprtAlpha = 0.05;
    double sprtBeta = 0.05;
    // Two-group Bayes costs, named predicted-then-actual; group 1 is Fail, group 2 is Pass.
    double costPassPass = 0.0;
    double costPassFail = 1.5;
    double costFailPass = 1.0;
    double costFailFail = 0.0;
    bool dropItems = false;
    bool blockEnemies = false;
    bool saveExposure = true;
    bool uniformPriors = true;
    bool followScript = false;
    bool useSprt = false;  // shown in the window; every run computes the SPRT regardless
    // Where variable-length tests would stop besides the SPRT: once the MAP group's probability
    // reaches each of these, every one in (0, 1).
    std::vector<double> stopProbabilities = {.95};
    // Off unless asked for; `maxExposure` is the target rate R of the eligibility method and the
    // line the reports draw for every control.
    ExposureControl exposureControl = ExposureControl::None;
    double maxExposure = 0.25;
    std::string poolFile;
    std::string scriptFile;
    std::string enemiesFile;
    std::string responseFile;
    std::string resultsFile;
    std::string exposureFile;
};

/// The six sample file names that the default paths point at, in the order of `RunSettings`.
inline constexpr std::string_view samplePoolName = "samplepassfail_pool.csv";
inline constexpr std::string_view sampleScriptName = "samplepassfail_script.csv";
inline constexpr std::string_view sampleEnemiesName = "samplepassfail_enemies.csv";
inline constexpr std::string_view sampleResponseName = "samplepassfail.txt";
inline constexpr std::string_view sampleResultsName = "samplepassfail_results.csv";
inline constexpr std::string_view sampleExposureName = "samplepassfail_expos.csv";

/// Points the six file names at the sample files in `folder` (joined with `separator`).
void setDefaultPaths(RunSettings& settings, const std::string& folder, char separator);

/// Reads the longest numeric prefix of `text` after leading blanks, tabs and line ends
/// ("&H", "&B", "&O"/"&Q" integers and "D" exponents included); 0 when nothing forms a number.
double readNumber(std::string_view text);

/// Rounds to the nearest 32-bit integer, halves to even; out-of-range values saturate, NaN gives 0.
std::int32_t roundToInteger(double value);

/// `readNumber` followed by `roundToInteger`: the rule for every integer field.
std::int32_t readInteger(std::string_view text);

/// A run with any number of groups but two never reads the cost grid, so its four costs are 0, as
/// on a fresh start; every way of starting a run applies this.
void clearUnreadCosts(RunSettings& settings);

/// Why settings cannot run: the Usage failure that ends the run, and the runner's option name of
/// the setting it is about ("max-length", "stop-probability"), so that a caller can name it its own way.
struct RunSettingsProblem {
    Failure failure;
    std::string_view setting;
};

/// The settings checks made before any file is opened, in their order; the first that fails, or
/// nothing when the settings can run.
std::optional<RunSettingsProblem> findRunSettingsProblem(const RunSettings& settings);

/// `findRunSettingsProblem` as a Status: a Usage failure when the settings cannot run.
Status checkRunSettings(const RunSettings& settings);

}  // namespace quillon
