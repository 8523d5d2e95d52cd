#include "quillon/random_generator.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace quillon {
namespace {

TEST(RandomGenerator, FirstDrawsFromTheProgramSeed) {
    // x <- x * 134775813 + 1 (mod 2^32) from 4294967295; u = floor(x / 2) / 2^31 of the new x.
    const struct {
        std::uint32_t state;
        std::uint32_t half;
    } expected[] = {
        {4160191484u, 2080095742u}, {866343917u, 433171958u},   {2231304098u, 1115652049u},
        {567969323u, 283984661u},   {3754609368u, 1877304684u},
    };
    RandomGenerator generator;
    EXPECT_EQ(generator.state(), 4294967295u);
    for (const auto& e : expected) {
        EXPECT_EQ(generator.nextUniform(), e.half / 2147483648.0);
        EXPECT_EQ(generator.state(), e.state);
    }
}

TEST(RandomGenerator, IndexIsOnePlusFloorOfUTimesN) {
    // u = .96862..., .20171..., .51951..., .13224...
    RandomGenerator generator;
    EXPECT_EQ(generator.nextIndex(10), 10);
    EXPECT_EQ(generator.nextIndex(10), 3);
    EXPECT_EQ(generator.nextIndex(2), 2);
    EXPECT_EQ(generator.nextIndex(1), 1);
}

TEST(RandomGenerator, JumpEqualsStepping) {
    for (std::uint32_t seed : {4294967295u, 0u, 1u, 123456789u}) {
        RandomGenerator stepped(seed);
        for (std::uint64_t distance = 0; distance <= 2000; ++distance) {
            RandomGenerator jumped(seed);
            jumped.jump(distance);
            ASSERT_EQ(jumped.state(), stepped.state()) << "seed " << seed << " distance " << distance;
            stepped.nextUniform();
        }
    }
}

TEST(RandomGenerator, JumpOverLongDistances) {
    const std::uint64_t period = std::uint64_t{1} << 32;  // full period: c odd, a = 1 mod 4
    const std::uint32_t seed = RandomGenerator::defaultSeed;
    const auto after = [&](std::uint64_t distance) {
        RandomGenerator g(seed);
        g.jump(distance);
        return g.state();
    };
    EXPECT_EQ(after(period), seed);
    EXPECT_EQ(after(3 * period + 7), after(7));
    EXPECT_NE(after(period / 2), seed);

    // One step past "a period less one" is back at the seed.
    RandomGenerator back(seed);
    back.jump(period - 1);
    back.nextUniform();
    EXPECT_EQ(back.state(), seed);

    for (std::uint64_t a : {std::uint64_t{1000003}, std::uint64_t{123456789012}, std::uint64_t{0xFFFFFFFFFFFFull}}) {
        for (std::uint64_t b : {std::uint64_t{1}, std::uint64_t{99991}, std::uint64_t{0x80000001ull}}) {
            RandomGenerator twoJumps(seed);
            twoJumps.jump(a);
            twoJumps.jump(b);
            EXPECT_EQ(twoJumps.state(), after(a + b)) << a << " + " << b;
        }
    }
}

}  // namespace
}  // namespace quillon
