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
    generate->add_option("--out", line.outFolder, "Folder for the four files");
    generate->add_flag("--force", line.force, "Replace sample files already in the --out folder");
    generate->add_flag("--quiet", line.quiet, "No closing line");
    return generate;
}

int generateSamples(const CommandLine& line) {
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
