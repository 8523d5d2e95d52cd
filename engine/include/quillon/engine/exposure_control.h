#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "quillon/engine/random_generator.h"

namespace quillon {

/// How a run limits how often items are given, beyond the draw among the best k: not at all, by
/// Sympson–Hetter parameters from the pool, by online item eligibility, or by progressive selection.
enum class ExposureControl { None, SympsonHetter, Eligibility, Progressive };

/// The control's name as options, study files and packages write it ("none", "sympson-hetter",
/// "eligibility", "progressive"); empty for a value that is none of them.
std::string_view exposureControlName(ExposureControl control);

/// The control of that name, or nothing for any other text: the one parse of a control's name.
std::optional<ExposureControl> exposureControlFromName(std::string_view name);

/// The pool header that names the column of Sympson–Hetter parameters (one K per item, 0 to 1).
inline constexpr std::string_view exposureParameterHeader = "Exposure_K";

/// The generator of the draws an exposure control adds for one examinee, derived from the state
/// the examinee's own draws start from: the run's stream is left untouched, and the examinee's
/// control draws are the same whichever thread or shard simulates it.
RandomGenerator controlStream(const RandomGenerator& examineeStart);

/// What the eligibility method has learnt from the tests so far: per item, in how many tests it
/// was eligible and in how many it was given.
struct EligibilityCounts {
    std::vector<std::int64_t> eligible;      // [position - 1]
    std::vector<std::int64_t> administered;  // [position - 1]

    void resize(std::int32_t itemCount);
    void add(const EligibilityCounts& other);
};

/// How much the eligibility method's counts fade per examinee, so that the probabilities follow
/// what the items do now rather than what they did at the start (van der Linden and Veldkamp's
/// fading factor).
inline constexpr double eligibilityFading = 0.999;

/// Per item, the probability that it is eligible for the next tests from the (faded) counts:
/// min(1, R × eligible / administered), 1 for an item not yet given, so that P(given) =
/// P(given | eligible) × P(eligible) stays at or below R.
std::vector<double> eligibilityProbabilities(const std::vector<double>& eligible,
                                             const std::vector<double>& administered, double maxExposure);

}  // namespace quillon
