#include "score_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>

#include "exit_codes.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/observed_answers/observed_answers.h"
#include "quillon/scoring/scoring.h"

namespace quillon::cli {

namespace {

// The run options that change a score; any other would be silently ignored, so it is refused.
const char* const scoreRunOptions[] = {
    "--pool",           "--categories",     "--no-uniform-priors", "--drop-items",
    "--alpha",          "--beta",           "--cost-pass-pass",    "--cost-pass-fail",
    "--cost-fail-pass", "--cost-fail-fail", "--stop-probability",  "--quiet"};

// The option of the run's that was given but does not apply to scoring, or empty.
std::string unusedRunOption(const CLI::App& app) {
    for (const CLI::Option* option : app.get_options()) {
        if (option->count() == 0 || option->get_lnames().empty()) continue;
        const std::string name = "--" + option->get_lnames().front();
        if (std::find(std::begin(scoreRunOptions), std::end(scoreRunOptions), name) == std::end(scoreRunOptions))
            return name;
    }
    return {};
}

Status scoreFiles(const CommandLine& line, const ScoreCommandOptions& options, std::int64_t& scored,
                  std::int64_t& unanswered, std::int64_t& sprtDecided) {
    // Scoring reads the pool alone: neither the script nor the enemies have a part in it.
    RunSettings settings = line.settings;
    settings.blockEnemies = false;
    settings.followScript = false;
    if (Status checked = checkRunSettings(settings); !checked) return checked;

    std::vector<RoleFile> inputs = {{"pool", settings.poolFile}};
    for (const std::string& path : options.dataFiles) inputs.push_back({"data", path});
    inputs.push_back({"item-order", options.itemOrderFile});
    if (std::string refusal = sameFileRefusal("Score table", options.outFile, "score table", inputs); !refusal.empty())
        return Failure{FailureKind::Output, refusal};
    if (!options.force)
        if (std::string refusal = existingOutputsRefusal({options.outFile}, "another --out"); !refusal.empty())
            return Failure{FailureKind::Output, refusal};

    const Outcome<InputFiles> inputFiles = catchFailure([&settings] { return loadRunInputs(settings); });
    if (!inputFiles) return inputFiles.failure();
    const ItemPool& pool = inputFiles->pool;
    const Outcome<ObservedAnswers> data = readObservedAnswerFiles(options.dataFiles);
    if (!data) return data.failure();

    ScoreOptions scoring{settings, options.sequential, {}};
    if (!options.itemOrderFile.empty()) {
        Outcome<std::vector<std::vector<std::int32_t>>> orders =
            readItemOrderFile(options.itemOrderFile, *data, pool.itemId);
        if (!orders) return orders.failure();
        scoring.itemOrders = std::move(*orders);
    }
    const Outcome<std::vector<ExamineeScore>> scores = scoreExaminees(pool, *data, scoring);
    if (!scores) return scores.failure();
    if (!replaceFileContents(options.outFile, scoreTableText(*scores, scoring)))
        return Failure{FailureKind::Output, "The score table " + options.outFile + " could not be written."};
    scored = static_cast<std::int64_t>(scores->size());
    for (const ExamineeScore& s : *scores) {
        if (s.answered == 0) ++unanswered;
        if (s.sprtDecision != 0) ++sprtDecided;
    }
    return {};
}

}  // namespace

CLI::App* addScoreCommand(CLI::App& app, ScoreCommandOptions& options) {
    CLI::App* score =
        app.add_subcommand("score",
                           "Classify real examinees with a pool: each group's posterior after the answered items "
                           "(a blank is an item not administered), the MAP group, the Bayes-risk and SPRT "
                           "decisions; one CSV row per examinee (--out FILE)")
            ->fallthrough();
    std::string shared;
    for (const char* name : scoreRunOptions) shared += std::string(shared.empty() ? "" : ", ") + name;
    score->footer("Of the run's options, score takes " + shared +
                  "; any other is refused.\n\n"
                  "Exit codes:\n"
                  "  0    every examinee scored and the table written\n"
                  "  1    an input refused, or the table not written (it exists without --force, names an "
                  "input or cannot be written)\n"
                  "  2    the command line is wrong");
    score->add_option("--data", options.dataFiles, "Response file of the examinees; repeatable")->required();
    score->add_option("--out", options.outFile, "Score table to write (CSV)")->required();
    score->add_flag("--sequential", options.sequential,
                    "Take the answers one at a time and give the length at which each stopping rule first decided");
    score->add_option("--item-order", options.itemOrderFile,
                      "Item-order file: per examinee, its identifier and then the items in the order given "
                      "(default: pool order)");
    score->add_flag("--force", options.force, "Replace the score table when it exists");
    return score;
}

int runScoreCommand(const CommandLine& line, const CLI::App& app, const ScoreCommandOptions& options) {
    const auto usage = [](const std::string& text) {
        std::cerr << "quillon-sim score: " << text << "\nRun with --help for the options.\n";
        return exitUsage;
    };
    if (const std::string name = unusedRunOption(app); !name.empty()) {
        // The run's --data stands before the word; score's own, repeatable one after it.
        if (app.get_subcommand("score")->get_option_no_throw(name) != nullptr)
            return usage("give " + name + " after score.");
        return usage(name + " is not for score: it classifies the examinees with the pool alone.");
    }
    if (app.count("--pool") == 0) return usage("name the pool with --pool FILE.");

    std::int64_t scored = 0, unanswered = 0, sprtDecided = 0;
    const Status done = scoreFiles(line, options, scored, unanswered, sprtDecided);
    if (!done) {
        std::cerr << "quillon-sim score: " << done.failure().message << '\n';
        return exitCode(done);
    }
    if (!line.quiet)
        std::cout << "Scored " << scored << " examinees"
                  << (unanswered > 0 ? " (" + std::to_string(unanswered) + " without an answer)" : std::string())
                  << "; the SPRT decided " << sprtDecided << ". Wrote " << options.outFile << '\n';
    return exitDone;
}

}  // namespace quillon::cli
