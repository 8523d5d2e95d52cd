#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

namespace quillon::cli {

/// Reads a shard as "K/N" (K from 1 to N); false for anything else.
bool parseShard(const std::string& text, std::int32_t& shard, std::int32_t& count);

/// The `merge` subcommand: the part files to merge; the run's own options (files, settings,
/// --seed, --results, --exposure, --no-exposure) apply to it as to a run.
CLI::App* addMergeCommand(CLI::App& app, std::vector<std::string>& partFiles);

/// Why a shard or a merge cannot take these report options, or empty: a trace follows every item
/// of the one-process run, and a shard writes nothing but its part (`tables`: stopping,
/// confusion or an HTML report asked for).
std::string reportOptionsRefusal(bool sharded, bool trace, bool tables);

}  // namespace quillon::cli
