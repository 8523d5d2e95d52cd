#include "calibrate_command.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <filesystem>
#include <iostream>
#include <memory>

#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/run_limits.h"

namespace quillon::cli {
namespace {

Failure usage(std::string message) { return Failure{FailureKind::Usage, std::move(message)}; }
Failure output(std::string message) { return Failure{FailureKind::Output, std::move(message)}; }

Status readPrior(const std::string& text, CalibrationOptions& options) {
    if (text.empty() || readPriorText(text, options)) return {};
    return usage("--prior \"" + text + "\" is not two numbers A,B (as 0.5,0.5).");
}

Status readLatent(const std::string& text, CalibrationOptions& options) {
    if (text.empty() || readLatentText(text, options)) return {};
    return usage("--latent \"" + text + "\" is not a class count G or a range G..H (as 2..5).");
}

struct Written {
    std::string role, path, text;
};

// Refused before anything is read: an output over an input or over another output, and (without
// --force) an output that exists.
Status refuseOutputs(const CalibrateOptions& options, const std::vector<Written>& outputs) {
    std::vector<RoleFile> inputs;
    for (const std::string& data : options.data) inputs.push_back({"data", data});
    if (!options.items.empty()) inputs.push_back({"item", options.items});
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        std::vector<RoleFile> others = inputs;
        for (std::size_t j = 0; j < k; ++j) others.push_back({outputs[j].role, outputs[j].path});
        if (std::string refusal = sameFileRefusal("Output", outputs[k].path, outputs[k].role, others); !refusal.empty())
            return output(refusal);
    }
    if (options.force) return {};
    std::vector<std::string> paths;
    for (const Written& file : outputs) paths.push_back(file.path);
    if (std::string refusal = existingOutputsRefusal(paths, "other names"); !refusal.empty()) return output(refusal);
    return {};
}

// Every file is made whole beside its target first and only then put in place, so a failed write
// leaves no pool without its table.
Status writeAll(const std::vector<Written>& outputs) {
    std::vector<std::unique_ptr<FileReplacement>> files;
    for (const Written& file : outputs) {
        files.push_back(std::make_unique<FileReplacement>(file.path));
        if (!files.back()->isOpen() || !files.back()->write(file.text))
            return output("Nothing written: cannot write " + file.path + ".");
    }
    for (std::size_t k = 0; k < files.size(); ++k)
        if (!files[k]->commit()) return output("Cannot write " + outputs[k].path + ".");
    return {};
}

std::string groupSizesText(const CalibratedPool& pool) {
    std::string text;
    for (std::size_t g = 0; g < pool.groupSizes.size(); ++g)
        text += (g > 0 ? ", " : "") + fixedRoundTrip(pool.groupSizes[g]);
    return text;
}

}  // namespace

CLI::App* addCalibrateCommand(CLI::App& app, CalibrateOptions& options) {
    CLI::App* calibrate = app.add_subcommand(
        "calibrate",
        "Estimate a pool from pilot answers: each examinee's group from the digit in character 12 (or, with "
        "--latent, latent classes); a blank answer counts as not administered");
    calibrate->option_defaults()->always_capture_default();
    CalibrationOptions& c = options.calibration;
    calibrate->add_option("--data", options.data, "Response file of the pilot (give --data again for more files)")
        ->required();
    calibrate->add_option("--items", options.items,
                          "Item file: a header line, then each column's item identifier in column A and its "
                          "collection in column B (default: I0001, I0002, ... in collection 1)");
    calibrate->add_option("--out", options.out, "Pool file to write")->required();
    calibrate->add_option("--table", options.table,
                          "Calibration table to write (default: the pool's name with _calibration.csv)");
    calibrate->add_option("--fit", options.fit,
                          "Fit table to write with --latent (default: the pool's name with _fit.csv)");
    calibrate
        ->add_option("--prior", options.prior,
                     "Beta prior A,B every estimate is shrunk by: (right + A) / (answers + A + B)")
        ->default_str("0.5,0.5");
    calibrate->add_option("--min-answers", c.minAnswers, "Fewer answers from a group flag an item as thin");
    calibrate->add_flag("--drop-thin", c.dropThin, "Mark thin items dropped in the pool");
    calibrate->add_option("--groups", c.groups, "Groups of the pool (default: the highest group in the data)")
        ->default_str("");
    calibrate->add_option("--latent", options.latent,
                          "Estimate G latent classes instead of reading the groups; G..H fits each count and "
                          "keeps the one BIC chooses");
    calibrate->add_option("--starts", c.starts, "Random starts of each latent class fit");
    calibrate->add_option("--seed", c.seed, "Seed of the random starts");
    calibrate->add_option("--tolerance", c.tolerance,
                          "EM stops when the log-likelihood gains less than this, relative");
    calibrate->add_option("--max-iterations", c.maxIterations, "EM iterations at most");
    calibrate->add_flag("--force", options.force, "Replace output files that exist");
    calibrate->add_flag("--quiet", options.quiet, "Print nothing but warnings and failures");
    return calibrate;
}

Status runCalibrateCommand(CalibrateOptions options) {
    CalibrationOptions& c = options.calibration;
    if (Status read = readPrior(options.prior, c); !read) return read;
    if (Status read = readLatent(options.latent, c); !read) return read;
    const bool latent = c.latentMax > 0;
    if (!latent && !options.fit.empty()) return usage("--fit needs --latent: known groups have no fit table.");

    std::vector<Written> outputs{{"pool", options.out, {}}};
    outputs.push_back({"calibration table",
                       options.table.empty() ? fileBesideResults(options.out, "_calibration", ".csv") : options.table,
                       {}});
    if (latent)
        outputs.push_back(
            {"fit table", options.fit.empty() ? fileBesideResults(options.out, "_fit", ".csv") : options.fit, {}});
    if (Status refused = refuseOutputs(options, outputs); !refused) return refused;

    std::vector<ObservedItem> items;
    if (!options.items.empty()) {
        Outcome<std::vector<ObservedItem>> read = readItemFile(options.items);
        if (!read) return read.failure();
        items = std::move(*read);
    }
    const Outcome<ObservedAnswers> data = readObservedAnswerFiles(options.data, std::move(items));
    if (!data) return data.failure();
    const Outcome<Calibration> calibration = calibratePool(*data, c);
    if (!calibration) return calibration.failure();
    for (const std::string& warning : calibration->warnings) std::cerr << "warning: " << warning << '\n';

    outputs[0].text = calibratedPoolText(calibration->pool);
    outputs[1].text = calibrationTableText(calibration->pool);
    if (latent) outputs[2].text = latentFitTableText(*calibration);
    if (Status written = writeAll(outputs); !written) return written;
    if (options.quiet) return {};

    const CalibratedPool& pool = calibration->pool;
    std::cout << "Wrote " << outputs[0].path;
    for (std::size_t k = 1; k < outputs.size(); ++k)
        std::cout << (k + 1 == outputs.size() ? " and " : ", ") << outputs[k].path;
    std::cout << '\n'
              << data->examineeCount() << " examinees, " << data->itemCount() << " items, " << pool.groupCount
              << (latent ? " latent classes" : " groups") << " (examinees per "
              << (latent ? "class, expected" : "group") << ": " << groupSizesText(pool) << ")\n"
              << "Prior Beta(" << fixedRoundTrip(c.priorA) << ", " << fixedRoundTrip(c.priorB) << ")\n";
    if (latent) {
        const LatentFit& chosen = calibration->fits[calibration->chosenFit];
        std::cout << "Latent classes " << c.latentMin
                  << (c.latentMin < c.latentMax ? ".." + std::to_string(c.latentMax) : "") << ": " << c.starts
                  << " starts from seed " << c.seed << ", tolerance " << formatRoundTrip(c.tolerance) << ", at most "
                  << c.maxIterations << " iterations; " << chosen.classes << " classes chosen by BIC ("
                  << chosen.iterations << " iterations, " << (chosen.converged ? "converged" : "not converged")
                  << ")\n";
    }
    return {};
}

}  // namespace quillon::cli
