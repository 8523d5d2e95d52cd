#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_host.h"
#include "quillon/engine/run_settings.h"
#include "quillon/engine/run_statistics.h"
#include "quillon/engine/simulation.h"
#include "quillon/outcome/outcome.h"

namespace quillon {

/// The first line of every part file; a part of another format version is refused.
inline constexpr const char* partFormatLine = "quillon-part 2";

/// The most shards a run may be split into: `--shard K/N` and the merge accept the same N.
inline constexpr std::int32_t maxShardCount = 1000000;

/// What one shard of a run replayed, with where it lies in the run and the digest of the run.
struct RunPart {
    std::string digest;  // 16 lowercase hex digits
    std::int32_t shard = 0, shardCount = 0;
    std::int64_t lineCount = 0;   // lines of the whole response file
    std::int64_t firstLine = 0;   // 0-based first line of the shard's range
    std::int64_t rangeLines = 0;  // lines in the range (0 is a valid range)
    std::int64_t expectedTests = 0;
    RunStatistics statistics;  // the range's examinees and, after a message, any the run went on to
};

/// What a part must fit before any of its counts is read: the run it belongs to and the shape of
/// that run's statistics. Nothing is allocated for a part that does not fit.
struct PartShape {
    std::string digest;
    std::int64_t lineCount = 0;
    std::int64_t expectedTests = 0;
    RunStatistics empty;  // the run's statistics with nothing counted (and whether rows are wanted)
};

/// The 64-bit FNV-1a digest, as 16 hex digits, of everything that changes the run's statistics:
/// the generator's starting state, the settings that shape the replay and the bytes of the input
/// files the run reads. An Input failure when an input file cannot be read.
Outcome<std::string> runDigest(const RunSettings& settings, std::uint32_t seed);

/// The part as text, every count stored exactly (sums as their hex-float partials), closed by a
/// checksum over all of it.
std::string runPartText(const RunPart& part);

/// Reads a part written by runPartText for the run `shape` describes; an Input failure, whose
/// message is what follows the part's name ("is damaged ..."), for a part that is damaged (its
/// checksum), of another version or run, or whose counts do not add up.
Outcome<RunPart> parseRunPart(const std::string& text, const PartShape& shape);

/// Reads only what a part says of itself (its digest and where it lies in the run, every field
/// of `part` but the statistics) after its checksum has vouched for it: enough to tell whether a
/// stored part is the one wanted. An Input failure as from `parseRunPart` otherwise.
Outcome<RunPart> readRunPartHeader(const std::string& text);

/// Adds the parts up, in shard order, into the statistics of the one-process run; an Input failure
/// says why the parts cannot be merged (one missing, duplicated, or from another split). `names`
/// names each part's file for the messages.
Outcome<RunStatistics> mergeRunParts(const std::vector<RunPart>& parts, const std::vector<std::string>& names,
                                     const PartShape& shape);

/// Replays the `shard`-th of `shardCount` ranges of examinees and writes its part to
/// `partFile` instead of the tables; `random` holds the run's starting state. With
/// `examineeRows` the part also carries one row per examinee and test, for the merge's examinees
/// table.
RunSummary runShard(const RunSettings& settings, RandomGenerator& random, RunHost& host, int threadCount,
                    std::int32_t shard, std::int32_t shardCount, const std::string& partFile,
                    bool examineeRows = false);

/// What a merge of parts gives besides the run's statistics.
struct MergeOptions {
    bool examineeRows = false;  // the statistics carry one row per examinee (every part must)
    bool writeTables = true;    // false: only the statistics, for a caller that writes its own tables
};

/// Writes the tables, and shows the messages, of the one-process run from its parts; with the
/// same settings and `random` as the shards, the files are the same bytes. The summary carries
/// the merged statistics.
RunSummary runMerge(const RunSettings& settings, RandomGenerator& random, RunHost& host,
                    const std::vector<std::string>& partFiles, const MergeOptions& options = {});

}  // namespace quillon
