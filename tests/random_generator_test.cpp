#include "quillon/engine/random_generator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

using namespace quillon;

TEST(RandomGenerator, FirstDrawsFromTheProgramSeed) {
    // x <- x * 134775813 + 1 (mod 2^32) from 4294967295; u = floor(x / 2) / 2^31 of the new x,
    // and an index from 1 to n is 1 + floor(u * n). Columns: x, floor(x / 2), n, index.
    const std::tuple<std::uint32_t, std::uint32_t, std::int64_t, std::int64_t> draws[] = {
        {4160191484u, 2080095742u, 10, 10},
        {866343917u, 433171958u, 10, 3},  // u = .96862, .20171
        {2231304098u, 1115652049u, 2, 2},
        {567969323u, 283984661u, 1, 1},  // u = .51951, .13224
    };
    RandomGenerator uniform, index;
    for (const auto& [state, half, n, i] : draws) {
        EXPECT_EQ(uniform.nextUniform(), half / 2147483648.0);
        EXPECT_EQ(uniform.state(), state);
        EXPECT_EQ(index.nextIndex(n), i);
    }
}

TEST(RandomGenerator, JumpEqualsStepping) {
    const std::uint64_t period = std::uint64_t{1} << 32;  // full period: c odd, a = 1 mod 4
    for (std::uint32_t seed : {RandomGenerator::defaultSeed, 0u, 123456789u}) {
        const auto jumped = [seed](std::uint64_t distance, std::uint64_t more = 0) {
            RandomGenerator g(seed);
            g.jump(distance);
            g.jump(more);
            return g.state();
        };
        RandomGenerator stepped(seed);
        for (std::uint64_t distance = 0; distance <= 1000; ++distance, stepped.nextUniform())
            ASSERT_EQ(jumped(distance), stepped.state()) << "seed " << seed << " distance " << distance;
        EXPECT_EQ(jumped(period), seed);
        EXPECT_EQ(jumped(period - 1, 1), seed);
        EXPECT_NE(jumped(period / 2), seed);
        EXPECT_EQ(jumped(3 * period + 7), jumped(7));
        EXPECT_EQ(jumped(123456789012, 0x80000001ull), jumped(123456789012 + 0x80000001ull));
    }
}
