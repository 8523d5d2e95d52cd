#pragma once

#include <CLI/CLI.hpp>

#include "run_options.h"

namespace quillon::cli {

/// The `generate` subcommand: its options fill `line.sample`, `line.outFolder`, `line.force`, `line.quiet`.
CLI::App* addGenerateCommand(CLI::App& app, CommandLine& line);

/// Writes the sample files the command line asks for; returns the exit code.
int generateSamples(const CommandLine& line);

}  // namespace quillon::cli
