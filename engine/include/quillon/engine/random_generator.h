#pragma once

#include <cstdint>

namespace quillon {

/// The 32-bit linear congruential generator x <- x * 134775813 + 1 (mod 2^32) that the
/// collection draw and item selection share; every program start begins at the same seed.
class RandomGenerator {
public:
    static constexpr std::uint32_t defaultSeed = 4294967295u;

    explicit RandomGenerator(std::uint32_t seed = defaultSeed) : state_(seed) {}

    /// Advances once and returns u = floor(x / 2) / 2^31 in [0, 1) from the new state.
    double nextUniform() {
        state_ = state_ * 134775813u + 1u;
        return static_cast<double>(state_ >> 1) * (1.0 / 2147483648.0);
    }

    /// An integer from 1 to n, as 1 + floor(u * n).
    std::int64_t nextIndex(std::int64_t n) {
        return 1 + static_cast<std::int64_t>(nextUniform() * static_cast<double>(n));
    }

    /// Moves the state as `steps` draws would, in O(log steps).
    void jump(std::uint64_t steps);

    std::uint32_t state() const { return state_; }

private:
    std::uint32_t state_;
};

/// splitmix64's finaliser: nearby inputs give unrelated outputs, so seeds derived from a seed and
/// a counter stay independent of one another.
inline std::uint64_t splitMix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

}  // namespace quillon
