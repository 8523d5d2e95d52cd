#include "run_options.h"

#include <cstdlib>

#include "quillon/engine/run_limits.h"

namespace quillon::cli {

CLI::Validator stopProbabilityCheck() {
    return CLI::Validator(
        [](std::string& text) {
            const double x = std::strtod(text.c_str(), nullptr);
            return x > 0.0 && x < 1.0 ? std::string() : "must lie between 0 and 1 (both excluded)";
        },
        "X in (0, 1)");
}

void addRunOptions(CLI::App& app, CommandLine& line) {
    RunSettings& settings = line.settings;
    app.add_option("--pool", settings.poolFile, "Pool file");
    app.add_option("--script", settings.scriptFile, "Script file (read with --follow-script)");
    app.add_option("--enemies", settings.enemiesFile, "Enemies file (read with --block-enemies)");
    app.add_option("--data", settings.responseFile, "Response file");
    app.add_option("--results", settings.resultsFile, "Results table to write");
    app.add_option("--exposure", settings.exposureFile, "Exposure table to write");
    app.add_option("--max-length", settings.maxTestLength, "Maximum test length");
    app.add_option("--categories", settings.groupCount, "N Categories (classification groups)");
    app.add_option("--tests-per-person", settings.testsPerPerson, "N tests per person (1 to 5)");
    // The check runs before the function, so the name always parses.
    app.add_option_function<std::string>(
           "--method",
           [&settings](const std::string& name) {
               settings.selectionMethod = quillon::selectionMethodFromName(name).value_or(settings.selectionMethod);
           },
           "Item selection: Shannon, MaxDiscr or MinCost")
        ->check(CLI::IsMember({"Shannon", "MaxDiscr", "MinCost"}))
        ->default_str(std::string(quillon::selectionMethodName(settings.selectionMethod)));
    app.add_option("--randomization", settings.randomizationFactor,
                   "Randomization factor: draw among the best k items (0 or more; 0 and 1 take the best)");
    app.add_option_function<std::string>(
           "--exposure-control",
           [&settings](const std::string& name) {
               settings.exposureControl = quillon::exposureControlFromName(name).value_or(settings.exposureControl);
           },
           "Exposure control: none, sympson-hetter (K from the pool's Exposure_K column), eligibility or progressive")
        ->check(CLI::IsMember({"none", "sympson-hetter", "eligibility", "progressive"}))
        ->default_str(std::string(quillon::exposureControlName(settings.exposureControl)));
    app.add_option("--max-exposure", settings.maxExposure,
                   "Target maximum exposure rate R: the eligibility method's bound, and the line reports draw");
    app.add_option("--alpha", settings.sprtAlpha, "SPRT error rate a");
    app.add_option("--beta", settings.sprtBeta, "SPRT error rate B");
    app.add_option("--cost-pass-pass", settings.costPassPass, "Bayes cost: predicted Pass, actual Pass");
    app.add_option("--cost-pass-fail", settings.costPassFail, "Bayes cost: predicted Pass, actual Fail");
    app.add_option("--cost-fail-pass", settings.costFailPass, "Bayes cost: predicted Fail, actual Pass");
    app.add_option("--cost-fail-fail", settings.costFailFail, "Bayes cost: predicted Fail, actual Fail");
    app.add_flag("--drop-items", settings.dropItems, "Leave out pool items whose drop flag is 1");
    app.add_flag("--block-enemies", settings.blockEnemies, "Load the enemies file and block enemies");
    app.add_flag("--follow-script", settings.followScript, "Load the script and follow its slots");
    app.add_flag("--use-sprt", settings.useSprt,
                 "Use SPRT: after the run, print its average test length and share correctly classified, and "
                 "write the stopping table beside the results (NAME_stopping.csv) unless --stopping names one");
    app.add_flag("--no-exposure", line.noExposure, "Do not write the exposure table");
    app.add_flag("--no-uniform-priors", line.noUniformPriors, "Start every test from the pool's P_Grp priors");
    app.add_option("--seed", line.seed, "Starting state of the random generator");
    app.add_option("--threads", line.threads,
                   "Threads for the replay (default: the CPUs this process may run on; the tables do not depend on it)")
        ->check(CLI::Range(1u, static_cast<unsigned>(maxThreadCount)));
    app.add_option("--trace", line.reports.traceFile,
                   "Trace file: one row per administered item (the choice, its score, the posterior after it)");
    app.add_option("--trace-candidates", line.reports.traceCandidates,
                   "Trace: also the best K candidates of each selection, in ranked order")
        ->check(CLI::Range(0, maxTraceCandidates));
    app.add_option("--trace-examinees", line.reports.traceExaminees, "Trace only the first N examinees")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--stopping", line.reports.stoppingFile,
                   "Stopping table: where each test would have stopped under each rule, with ATL and PCC");
    app.add_option("--stop-probability", line.settings.stopProbabilities,
                   "Posterior rule: stop once the MAP group's probability reaches X, in (0, 1); repeatable "
                   "(default .95). The SPRT rule stops at the first length it decides; a test no rule stops "
                   "is classified by its last MAP group and counted undecided")
        ->check(stopProbabilityCheck());
    app.add_option("--confusion", line.reports.confusionFile,
                   "Confusion table: per length, true group against MAP group (and SPRT group)");
    app.add_option("--examinees", line.reports.examineesFile,
                   "Examinees table: one row per examinee and test with the final MAP group and probability and, "
                   "for each stopping rule, the length at which it first decided and what it decided");
    app.add_flag("--keep-examinees", line.keepExaminees,
                 "With --shard: the part keeps one row per examinee and test, so that merge can write --examinees");
    app.add_option("--shard", line.shard,
                   "Replay only the K-th of N equal ranges of examinees (K/N) and write a part file (--part) "
                   "instead of the tables; `merge` writes the tables from all N parts");
    app.add_option("--part", line.partFile, "Part file a --shard run writes");
    app.add_flag("--quiet", line.quiet, "No progress line");
    app.add_option("--report", line.reportPath, "After a completed run, write its HTML report here");
    app.add_flag("--stats", line.stats, "After the run, print its counts and time to standard error (for benchmarks)");
}

void completeSettings(RunSettings& settings, const CommandLine& line) {
    settings.saveExposure = !line.noExposure;
    settings.uniformPriors = !line.noUniformPriors;
    clearUnreadCosts(settings);
}

}  // namespace quillon::cli
