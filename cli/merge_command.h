#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "quillon/engine/run_settings.h"
#include "quillon/run_reports/run_reports.h"

namespace quillon::cli {

/// Reads a shard as "K/N" (K from 1 to N, N from 1 to maxShardCount); false for anything else.
bool parseShard(const std::string& text, std::int32_t& shard, std::int32_t& count);

/// The `merge` subcommand: the part files to merge; the run's own options (files, settings,
/// --seed, --results, --exposure, --no-exposure) apply to it as to a run.
CLI::App* addMergeCommand(CLI::App& app, std::vector<std::string>& partFiles);

/// Why a shard's part cannot be written as named: it would replace one of the files the shard
/// reads; the message naming it, or empty.
std::string shardPartRefusal(const RunSettings& settings, const std::string& partFile);

/// Why a merge's tables and reports cannot be written as named: one would replace a part the merge
/// reads; the message naming it, or empty. (An input is refused by the run itself, as for any run.)
std::string mergeTablesRefusal(const RunSettings& settings, const RunReportOptions& reports,
                               const std::vector<std::string>& partFiles);

/// Why a shard or a merge cannot take these report options, or empty: a trace follows every item
/// of the one-process run, and a shard writes nothing but its part (`tables`: stopping,
/// confusion or an HTML report asked for).
std::string reportOptionsRefusal(bool sharded, bool trace, bool tables);

}  // namespace quillon::cli
