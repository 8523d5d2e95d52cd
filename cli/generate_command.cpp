#include "generate_command.h"

#include <iostream>

#include "exit_codes.h"
#include "quillon/engine/sample_data.h"

namespace quillon::cli {

CLI::App* addGenerateCommand(CLI::App& app, CommandLine& line) {
    CLI::App* generate = app.add_subcommand("generate", "Write a consistent set of sample input files");
    generate->option_defaults()->always_capture_default();
    SampleOptions& sample = line.sample;
    generate->add_option("--items", sample.items, "Items in the pool");
    generate->add_option("--collections", sample.collections, "Content collections (1 to 8), of unequal size");
    generate->add_option("--groups", sample.groups, "Classification groups (2 to 10)");
    generate->add_option("--examinees", sample.examinees, "Lines of the response file");
    generate->add_option("--script-length", sample.scriptLength, "Slots of the script");
    generate->add_option("--blank-share", sample.blankShare, "Share of answers left blank");
    generate->add_option("--seed", sample.seed, "Seed of the generated data");
    generate
        ->add_option("--group-shares", sample.groupShares,
                     "Share of examinees in each group, e.g. .3,.7: one per group, each above 0 and below 1, "
                     "adding up to 1; written as the pool's priors in thousandths (default: priors drawn "
                     "near 1/groups)")
        ->delimiter(',')
        ->default_str("");
    generate->add_option("--item-quality", sample.itemQuality,
                         "How far apart the groups' probabilities of an item lie (0 or more). Each probability "
                         "p of an item becomes m + Q*(p - m), m the mean of the item's probabilities over the "
                         "groups, rounded to thousandths and kept within .01 to .99: 1 the drawn spread, 0 the "
                         "same probability for every group, above 1 further apart");
    AbilityOptions& ability = line.ability;
    generate->add_option("--ability", ability.ability,
                         "Examinees of a continuous ability instead of drawn groups: normal:MEAN,SD, "
                         "mixture:W1,M1,S1;W2,M2,S2... (weights adding up to 1) or file:PATH (one ability a "
                         "line); needs --cuts and takes the items from --item-file or draws them (--irt)");
    generate
        ->add_option("--cuts", ability.cuts,
                     "With --ability: the group boundaries on the ability scale, ascending, one fewer than "
                     "the groups (group g holds the abilities above cut g-1 up to cut g)")
        ->delimiter(',')
        ->default_str("");
    generate->add_option("--item-file", ability.itemFile,
                         "With --ability: the items' parameters, a CSV file with the columns id, a, b, c (c may "
                         "be left out) and optionally collection");
    const auto itemOption = [&](const std::string& name, auto& value, const std::string& help) {
        CLI::Option* option = generate->add_option(name, value, help);
        option->check([&ability](const std::string&) {
            ability.itemOptionsGiven = true;
            return std::string();
        });
        return option;
    };
    itemOption("--irt", ability.irt,
               "With --ability and no --item-file: the model of the drawn items, 1pl, 2pl or 3pl");
    itemOption("--a-range", ability.aRange, "Drawn items' a, uniform from LO to HI (1 under 1pl)")
        ->delimiter(',')
        ->default_str(".5,2");
    itemOption("--b-normal", ability.bNormal, "Drawn items' b, normal with MEAN,SD")
        ->delimiter(',')
        ->default_str("0,1");
    itemOption("--c-range", ability.cRange, "Drawn items' c under 3pl, uniform from LO to HI")
        ->delimiter(',')
        ->default_str("0,.25");
    generate->add_option("--irt-scale", ability.scale,
                         "With --ability: D in P = c + (1-c)/(1+exp(-D a (ability-b))); 1.7 puts a on the normal "
                         "ogive's scale");
    generate->add_option("--pool-from-sample", ability.poolFromSample,
                         "With --ability: write a pool calibrated from this many examinees of their own, with "
                         "known groups, instead of the exact probabilities (0: exact)");
    generate->add_option("--out", line.outFolder, "Folder for the four files");
    generate->add_flag("--force", line.force, "Replace sample files already in the --out folder");
    generate->add_flag("--quiet", line.quiet, "No closing line");
    return generate;
}

namespace {

int generateAbilitySamples(const CommandLine& line) {
    Outcome<AbilityFiles> files = generateAbilityFiles(line.sample, line.ability);
    Status done;
    if (files) {
        for (const std::string& warning : files->warnings) std::cerr << "quillon-sim generate: " << warning << '\n';
        done = writeAbilityFiles(line.sample, *files, line.outFolder, line.force);
    } else {
        done = files.failure();
    }
    if (!done) {
        std::cerr << "quillon-sim generate: " << done.failure().message << '\n';
        return exitCode(done);
    }
    if (!line.quiet) std::cout << "Wrote the sample files into " << line.outFolder << '\n';
    return exitDone;
}

}  // namespace

int generateSamples(const CommandLine& line) {
    if (line.ability.anyGiven()) return generateAbilitySamples(line);
    Status done = checkSampleOptions(line.sample);
    if (done) done = writeSampleFiles(line.sample, generateSampleFiles(line.sample), line.outFolder, line.force);
    if (!done) {
        std::cerr << "quillon-sim generate: " << done.failure().message << '\n';
        return exitCode(done);
    }
    if (!line.quiet) std::cout << "Wrote the sample files into " << line.outFolder << '\n';
    return exitDone;
}

}  // namespace quillon::cli
