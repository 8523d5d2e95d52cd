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

/// Generated examinees are named E0000000001 on: "E" and ten digits fill the 11 characters that
/// name an examinee, and one more digit would push the group digit out of character 12.
inline constexpr std::int64_t maxGeneratedExaminees = 9'999'999'999;

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
