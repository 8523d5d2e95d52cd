#include "quillon/engine/exposure_control.h"

#include <algorithm>

namespace quillon {

std::string_view exposureControlName(ExposureControl control) {
    switch (control) {
        case ExposureControl::None:
            return "none";
        case ExposureControl::SympsonHetter:
            return "sympson-hetter";
        case ExposureControl::Eligibility:
            return "eligibility";
        case ExposureControl::Progressive:
            return "progressive";
    }
    return {};
}

std::optional<ExposureControl> exposureControlFromName(std::string_view name) {
    for (ExposureControl control : {ExposureControl::None, ExposureControl::SympsonHetter, ExposureControl::Eligibility,
                                    ExposureControl::Progressive}) {
        if (name == exposureControlName(control)) return control;
    }
    return std::nullopt;
}

RandomGenerator controlStream(const RandomGenerator& examineeStart) {
    // A fixed tag keeps this stream apart from any other derived from the same state.
    constexpr std::uint64_t tag = 0x51554c4c4f4e4543ULL;
    return RandomGenerator(static_cast<std::uint32_t>(splitMix64(tag ^ examineeStart.state()) >> 32));
}

void EligibilityCounts::resize(std::int32_t itemCount) {
    eligible.assign(static_cast<std::size_t>(itemCount), 0);
    administered.assign(static_cast<std::size_t>(itemCount), 0);
}

void EligibilityCounts::add(const EligibilityCounts& other) {
    for (std::size_t i = 0; i < eligible.size() && i < other.eligible.size(); ++i) {
        eligible[i] += other.eligible[i];
        administered[i] += other.administered[i];
    }
}

std::vector<double> eligibilityProbabilities(const std::vector<double>& eligible,
                                             const std::vector<double>& administered, double maxExposure) {
    std::vector<double> probability(eligible.size(), 1.0);
    for (std::size_t i = 0; i < probability.size(); ++i) {
        if (!(administered[i] > 0.0)) continue;
        probability[i] = std::min(1.0, maxExposure * eligible[i] / administered[i]);
    }
    return probability;
}

}  // namespace quillon
