#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quillon/random_generator.h"
#include "quillon/run_host.h"
#include "quillon/run_settings.h"
#include "quillon/simulation.h"

namespace quillon {

/// The first line of every part file; a part of another format version is refused.
inline constexpr const char* partFormatLine = "quillon-part 1";

/// The most shards a run may be split into: the shard option and the part reader both hold to it.
inline constexpr std::int32_t maxShardCount = 1000000;

/// A shard's stored state and the digest of the run it belongs to.
struct RunPart {
    std::string digest;  // 16 lowercase hex digits
    ShardState state;
};

/// The 64-bit FNV-1a digest, as 16 hex digits, of everything that changes the two tables: the
/// generator's starting state, the settings that shape the replay and the bytes of the input
/// files the run reads. Empty, with `problem` set, when an input file cannot be read.
std::string runDigest(const RunSettings& settings, std::uint32_t seed, std::string& problem);

/// The part as text, every accumulator stored exactly (sums as their hex-float partials).
std::string runPartText(const RunPart& part);

/// Reads a part written by runPartText; false, with what is wrong in `problem`, otherwise.
bool parseRunPart(const std::string& text, RunPart& part, std::string& problem);

/// Adds the parts up, in shard order, into what the one-process run of `digest` would have
/// counted and shown, for `itemCount` items and `lengthCount` kept lengths; returns why the
/// parts cannot be merged (one missing, duplicated, or from another run), or empty. `names`
/// names each part's file for the messages.
std::string mergeRunParts(const std::vector<RunPart>& parts, const std::vector<std::string>& names,
                          const std::string& digest, std::int64_t expectedTests, std::size_t itemCount,
                          std::size_t lengthCount, ShardState& merged);

/// Replays the `shard`-th of `shardCount` ranges of examinees and writes its part to
/// `partFile` instead of the tables; `random` holds the run's starting state.
RunSummary runShard(const RunSettings& settings, RandomGenerator& random, RunHost& host, int threadCount,
                    std::int32_t shard, std::int32_t shardCount, const std::string& partFile);

/// Writes the tables, and shows the messages, of the one-process run from its parts; with the
/// same settings and `random` as the shards, the files are the same bytes.
RunSummary runMerge(const RunSettings& settings, RandomGenerator& random, RunHost& host,
                    const std::vector<std::string>& partFiles);

}  // namespace quillon
