#include "compare_command.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "console_host.h"
#include "exit_codes.h"
#include "quillon/charts/paired_chart.h"
#include "quillon/engine/output_tables.h"
#include "quillon/paired_comparison/paired_comparison.h"

namespace quillon::cli {

namespace {

// A flag with its --b-no- partner: set when either is given, to whether the plain one was.
void addSwitch(CLI::App& command, const std::string& name, std::optional<bool>& value, const std::string& help) {
    command.add_flag_function(
        "--b-" + name + ",!--b-no-" + name, [&value](std::int64_t count) { value = count > 0; }, help);
}

// The options of run A that a comparison cannot honour: it writes no table of either run.
const char* const tableOptions[] = {"--results",          "--exposure",  "--no-exposure", "--trace", "--stopping",
                                    "--trace-candidates", "--confusion", "--examinees",   "--shard", "--part",
                                    "--keep-examinees"};

}  // namespace

CLI::App* addCompareCommand(CLI::App& app, CompareOptions& options) {
    CLI::App* compare =
        app.add_subcommand("compare",
                           "Replay run A (the run options) and run B (the same, changed by the --b- options) over "
                           "the same examinees and write a report that pairs their tests (--report FILE)")
            ->fallthrough();
    compare
        ->add_option_function<std::string>(
            "--b-method", [&options](const std::string& name) { options.method = selectionMethodFromName(name); },
            "Run B: item selection, Shannon, MaxDiscr or MinCost")
        ->check(CLI::IsMember({"Shannon", "MaxDiscr", "MinCost"}));
    compare->add_option("--b-randomization", options.randomization, "Run B: randomization factor");
    compare->add_option("--b-max-length", options.maxLength, "Run B: maximum test length");
    compare->add_option("--b-alpha", options.alpha, "Run B: SPRT error rate a");
    compare->add_option("--b-beta", options.beta, "Run B: SPRT error rate B");
    compare
        ->add_option("--b-stop-probability", options.stopProbabilities,
                     "Run B: posterior stopping thresholds, in (0, 1); repeatable")
        ->check(stopProbabilityCheck());
    compare->add_option("--b-seed", options.seed, "Run B: starting state of the random generator (default: run A's)");
    addSwitch(*compare, "uniform-priors", options.uniformPriors, "Run B: start from uniform priors (or not)");
    addSwitch(*compare, "drop-items", options.dropItems, "Run B: leave out the items whose drop flag is 1 (or not)");
    addSwitch(*compare, "block-enemies", options.blockEnemies, "Run B: block enemies (or not)");
    addSwitch(*compare, "follow-script", options.followScript, "Run B: follow the script (or not)");
    compare->add_option("--b-pool", options.pool, "Run B: another pool for the same examinees");
    compare->add_option("--b-cost-pass-pass", options.costPassPass, "Run B: Bayes cost, predicted Pass, actual Pass");
    compare->add_option("--b-cost-pass-fail", options.costPassFail, "Run B: Bayes cost, predicted Pass, actual Fail");
    compare->add_option("--b-cost-fail-pass", options.costFailPass, "Run B: Bayes cost, predicted Fail, actual Pass");
    compare->add_option("--b-cost-fail-fail", options.costFailFail, "Run B: Bayes cost, predicted Fail, actual Fail");
    compare->add_option("--a-label", options.labelA, "Name of run A in the report");
    compare->add_option("--b-label", options.labelB, "Name of run B in the report");
    return compare;
}

RunSettings runBSettings(const RunSettings& a, const CompareOptions& options) {
    RunSettings b = a;
    if (options.method) b.selectionMethod = *options.method;
    if (options.randomization) b.randomizationFactor = *options.randomization;
    if (options.maxLength) b.maxTestLength = *options.maxLength;
    if (options.alpha) b.sprtAlpha = *options.alpha;
    if (options.beta) b.sprtBeta = *options.beta;
    if (!options.stopProbabilities.empty()) b.stopProbabilities = options.stopProbabilities;
    if (options.uniformPriors) b.uniformPriors = *options.uniformPriors;
    if (options.dropItems) b.dropItems = *options.dropItems;
    if (options.blockEnemies) b.blockEnemies = *options.blockEnemies;
    if (options.followScript) b.followScript = *options.followScript;
    if (options.pool) b.poolFile = *options.pool;
    if (options.costPassPass) b.costPassPass = *options.costPassPass;
    if (options.costPassFail) b.costPassFail = *options.costPassFail;
    if (options.costFailPass) b.costFailPass = *options.costFailPass;
    if (options.costFailFail) b.costFailFail = *options.costFailFail;
    clearUnreadCosts(b);
    return b;
}

int runCompareCommand(const CommandLine& line, const CLI::App& app, const CompareOptions& options) {
    const auto usage = [](const std::string& text) {
        std::cerr << "quillon-sim compare: " << text << "\nRun with --help for the options.\n";
        return exitUsage;
    };
    if (line.reportPath.empty()) return usage("name the report with --report FILE.");
    for (const char* name : tableOptions)
        if (app.count(name) > 0)
            return usage(std::string(name) +
                         " is not for compare: it writes the report alone, no table of either run.");
    if (options.labelA == options.labelB) return usage("--a-label and --b-label must differ.");

    const PairedRunSpec a{line.settings, line.seed, options.labelA};
    const PairedRunSpec b{runBSettings(line.settings, options), options.seed.value_or(line.seed), options.labelB};
    // The report is written last and would replace an input file of either run.
    for (const RunSettings* settings : {&a.settings, &b.settings}) {
        if (const std::string refusal = sameFileRefusal("Report", line.reportPath, "report", runInputFiles(*settings));
            !refusal.empty()) {
            std::cerr << refusal << '\n';
            return exitMessage;
        }
    }

    const PairedReplay replay = replayPairedRuns(a, b, line.quiet, line.threads);
    const Outcome<PairedComparison>& comparison = replay.comparison;
    if (!comparison) {
        std::cerr << "quillon-sim compare: " << comparison.failure().message << '\n';
        return exitCode(comparison.failure().kind);
    }
    const Outcome<std::string> html = charts::pairedReportHtml(*comparison);
    if (!html) {
        std::cerr << "quillon-sim compare: no report: " << html.failure().message << '\n';
        return exitMessage;
    }
    if (!replaceFileContents(line.reportPath, *html)) {
        std::cerr << "quillon-sim compare: the report " << line.reportPath << " could not be written.\n";
        return exitMessage;
    }
    return replay.whole ? exitDone : exitMessage;
}

PairedReplay replayPairedRuns(const PairedRunSpec& a, const PairedRunSpec& b, bool quiet, unsigned threads) {
    ConsoleHost host(!quiet && stderrIsTerminal());
    if (!quiet) std::cerr << "Replaying run " << a.label << ", then run " << b.label << ".\n";
    PairedReplay replay{comparePairedRuns(a, b, host, static_cast<int>(threads))};
    // As for one run: whole only when both replays took every test and showed no message.
    replay.whole =
        replay.comparison && wholeRun(replay.comparison->summaryA, host) && wholeRun(replay.comparison->summaryB, host);
    return replay;
}

}  // namespace quillon::cli
