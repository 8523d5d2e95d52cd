#pragma once

#include <cstddef>
#include <cstdint>

#include "quillon/text/line_reader.h"

// The limits of what a run takes, in one place for the runner's checks, the sample generator's
// and the R and Python packages'.

#include "quillon/text/line_reader.h"

namespace quillon {

/// The most items a response line can answer: its answers start at character 14, one per pool
/// item, and the runner reads no line longer than maxLineLength.
inline constexpr std::int32_t maxAnsweredItems = static_cast<std::int32_t>(maxLineLength) - 13;

/// The most items generated data may have: the generator holds every item's probabilities in
/// memory, and no item bank a test is given from comes near 100,000 items, while the runner's
/// line limit alone (67 million) would let one option ask for gigabytes before anything is written.
inline constexpr std::int32_t maxGeneratedItems = 100'000;
static_assert(maxGeneratedItems <= maxAnsweredItems);

/// The most examinees generated data may have: 10^8 is far beyond what a simulation needs for
/// exact figures, and already a response file of tens of gigabytes; more only fills the disk.
/// (Names E0000000001 on fit the 11 characters of an identifier up to 9,999,999,999.)
inline constexpr std::int64_t maxGeneratedExaminees = 100'000'000;

/// A response line gives its examinee's group as one digit, 0 for group 1.
inline constexpr std::int32_t maxResponseGroup = 10;

/// A run classifies into at least two groups.
inline constexpr std::int32_t minGroupCount = 2;

/// Tests per examinee.
inline constexpr std::int32_t minTestsPerPerson = 1;
inline constexpr std::int32_t maxTestsPerPerson = 5;

/// Best candidates a trace row can show: each takes two columns of every row.
inline constexpr std::int32_t maxTraceCandidates = 1000;

/// The most threads a run may be given: a replay starts every one of them, whatever the cores.
inline constexpr int maxThreadCount = 1024;

}  // namespace quillon
