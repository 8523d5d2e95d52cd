#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quillon/engine/input_files.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_host.h"
#include "quillon/engine/run_settings.h"
#include "quillon/engine/simulation.h"
#include "quillon/outcome/outcome.h"

namespace quillon {

/// The rules a paired comparison counts, in this order: MAP; the SPRT among the tests both runs
/// had decided at that length; the Bayes risk rule (two groups only).
enum class PairedRule { Map = 0, Sprt = 1, Bayes = 2 };
inline constexpr std::size_t pairedRuleCount = 3;

/// The rule's name as charts and reports show it.
const char* pairedRuleName(PairedRule rule);

/// The pairs of tests (same examinee, same test number) at one length under one rule, by whether
/// each run classified them correctly.
struct PairedCounts {
    std::int64_t bothRight = 0, aOnly = 0, bOnly = 0, bothWrong = 0;

    std::int64_t pairs() const { return bothRight + aOnly + bOnly + bothWrong; }
    std::int64_t discordant() const { return aOnly + bOnly; }
    bool operator==(const PairedCounts&) const = default;
};

/// The counts of every rule at one test length.
struct PairedLength {
    std::array<PairedCounts, pairedRuleCount> rules{};
    bool operator==(const PairedLength&) const = default;
};

/// The difference B - A in the share classified correctly, with its exact paired 95 % interval,
/// all as shares of the pairs.
struct PairedDifference {
    double difference = 0, low = 0, high = 0;
};

/// The quantile of the Beta(a, b) distribution at `p` in [0, 1], a and b above 0, by bisection
/// down to adjacent doubles so that it is the same on every IEEE machine.
double betaQuantile(double p, double a, double b);

/// The Clopper-Pearson interval of a binomial proportion from `successes` of `trials` (trials at
/// least 1) at `confidence`: the exact interval, never narrower than its level.
std::pair<double, double> clopperPearson(std::int64_t successes, std::int64_t trials, double confidence = 0.95);

/// B - A = (bOnly - aOnly) / pairs with its exact interval: conditional on the m discordant pairs,
/// bOnly is Binomial(m, pi); the Clopper-Pearson interval of pi maps to (m / pairs)(2 pi - 1). With
/// no discordant pair the interval is the point 0. Nothing without a pair.
std::optional<PairedDifference> pairedDifference(const PairedCounts& counts);

/// The response file as a comparison identifies it: the path, the size in bytes and the FNV-1a
/// digest of its bytes.
struct ResponseIdentity {
    std::string path;
    std::int64_t size = 0;
    std::string digest;
};

/// Reads the response file once to identify it; an Input failure when it cannot be read or is no
/// regular file (a comparison reads it once per run, which a pipe cannot give).
Outcome<ResponseIdentity> identifyResponses(const std::string& path);

/// Why two identities do not name the same examinees (the path leads to another file, or the size
/// or digest differs); empty when they do.
std::string identityRefusal(const ResponseIdentity& a, const ResponseIdentity& b);

/// One of the two runs: its settings and the generator's starting state.
struct PairedRunSpec {
    RunSettings settings;
    std::uint32_t seed = RandomGenerator::defaultSeed;
    std::string label;
};

/// What the two replays gave: the paired counts at every length both runs reached, and each run's
/// summary (with its statistics) and pool, from which its ordinary tables and charts follow.
struct PairedComparison {
    PairedRunSpec a, b;
    ResponseIdentity responses;
    std::int32_t groupCount = 0;
    std::vector<PairedLength> lengths;  // [length - 1], up to the last length with a MAP pair
    RunSummary summaryA, summaryB;
    ItemPool poolA, poolB;
};

/// Replays run A, then run B, over the same examinees without writing any table, and pairs their
/// tests. Refused with an Input failure when the runs' response files, tests per person or group
/// counts differ, or when A's record would not fit in memory: it keeps 4 bits per test and length
/// (MAP right; SPRT decided, SPRT right; Bayes right) plus each test's length. A run that ends with
/// a message fails the comparison (the message went to `host`); a cancelled one is Cancelled.
Outcome<PairedComparison> comparePairedRuns(const PairedRunSpec& a, const PairedRunSpec& b, RunHost& host,
                                            int threadCount);

}  // namespace quillon
