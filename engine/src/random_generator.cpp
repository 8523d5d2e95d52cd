#include "quillon/engine/random_generator.h"

namespace quillon {

void RandomGenerator::jump(std::uint64_t steps) {
    // Compose the affine step x -> a x + c with itself by repeated squaring.
    std::uint32_t multiplier = 134775813u;
    std::uint32_t increment = 1u;
    std::uint32_t accMultiplier = 1u;
    std::uint32_t accIncrement = 0u;
    while (steps > 0) {
        if (steps & 1u) {
            accMultiplier = accMultiplier * multiplier;
            accIncrement = accIncrement * multiplier + increment;
        }
        increment = (multiplier + 1u) * increment;
        multiplier = multiplier * multiplier;
        steps >>= 1u;
    }
    state_ = accMultiplier * state_ + accIncrement;
}

}  // namespace quillon
