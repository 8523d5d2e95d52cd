#include "quillon/engine/exact_sum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace quillon {
namespace {

double exactSum(const std::vector<double>& terms) {
    ExactSum sum;
    for (double x : terms) sum.add(x);
    return sum.value();
}

TEST(ExactSum, SmallCasesThatPlainAdditionGetsWrong) {
    const double big = 1e16;
    struct Case {
        const char* what;
        std::vector<double> terms;
        double expected;
    };
    const std::vector<Case> cases = {
        {"empty", {}, 0.0},
        {"cancel to nothing", {1e100, 1.0, -1e100}, 1.0},
        {"tiny values on a large one", std::vector<double>(1000, 1.0), 1000.0},
        {"halves below the unit of a large value", {big, 1.0, 1.0}, big + 2.0},
        {"one half exactly: ties to even", {1.0, std::ldexp(1.0, -53)}, 1.0},
        {"half plus a hair rounds up", {1.0, std::ldexp(1.0, -53), std::ldexp(1.0, -120)}, 1.0 + std::ldexp(1.0, -52)},
        {"half minus a hair rounds down", {1.0, std::ldexp(1.0, -53), -std::ldexp(1.0, -120)}, 1.0},
        {"opposite signs", {0.1, -0.1, 0.2, -0.2, 0.3}, 0.3},
        {"denormals",
         {std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::denorm_min()},
         2 * std::numeric_limits<double>::denorm_min()},
    };
    for (const Case& c : cases) EXPECT_EQ(exactSum(c.terms), c.expected) << c.what;
    std::vector<double> manyTiny = {1.0};
    manyTiny.insert(manyTiny.end(), 1 << 20, std::ldexp(1.0, -60));  // each far below the unit of 1
    EXPECT_EQ(exactSum(manyTiny), 1.0 + std::ldexp(1.0, -40));
}

TEST(ExactSum, OrderAndMergingDoNotMatter) {
    std::mt19937_64 random(5);
    std::vector<double> terms;
    for (int i = 0; i < 5000; ++i)
        terms.push_back(
            std::ldexp(static_cast<double>(random() % 1000000) - 500000.0, static_cast<int>(random() % 120) - 60));
    const double forward = exactSum(terms);
    std::reverse(terms.begin(), terms.end());
    EXPECT_EQ(exactSum(terms), forward);
    std::shuffle(terms.begin(), terms.end(), random);
    EXPECT_EQ(exactSum(terms), forward);
    ExactSum left, right;
    for (std::size_t i = 0; i < terms.size(); ++i) (i % 3 == 0 ? left : right).add(terms[i]);
    left.merge(right);
    EXPECT_EQ(left.value(), forward);
}

TEST(ExactSum, AMillionTermsAgainstAnIntegerReference) {
    // Terms k * 2^-40 with k below 2^40: the exact total is an integer count of 2^-40, which an
    // int64 holds exactly and converts to double with a single rounding.
    std::mt19937_64 random(11);
    ExactSum sum;
    std::int64_t units = 0;
    double plain = 0.0;
    for (int i = 0; i < 1000000; ++i) {
        const std::int64_t k = static_cast<std::int64_t>(random() >> 24) * ((i % 7 == 0) ? -1 : 1);
        const double term = std::ldexp(static_cast<double>(k), -40);
        units += k;
        sum.add(term);
        plain += term;
    }
    const double expected = std::ldexp(static_cast<double>(units), -40);
    EXPECT_EQ(sum.value(), expected);
    EXPECT_NE(plain, expected) << "the case should be hard for plain addition";
}

TEST(ExactSum, AZeroTotalIsPositiveZeroAsForASumStartedFromPositiveZero) {
    // A sum started from +0.0 is never -0.0; "-.0000" in a table came from this.
    const std::vector<std::vector<double>> zeroTotals = {{-0.0}, {-0.0, -0.0}, {-0.0, 0.0}, {0.5, -0.5}, {-0.5, 0.5}};
    for (const auto& terms : zeroTotals) {
        const double total = exactSum(terms);
        EXPECT_TRUE(total == 0.0 && !std::signbit(total)) << terms.size() << " terms gave " << total;
        ExactSum merged;
        merged.merge(ExactSum(terms[0]));
        for (std::size_t i = 1; i < terms.size(); ++i) merged.merge(ExactSum(terms[i]));
        EXPECT_FALSE(std::signbit(merged.value()));
    }
    EXPECT_TRUE(std::signbit(exactSum({-0.5, -0.25})));  // a negative total keeps its sign
}

TEST(ExactSum, SpecialValuesBehaveAsInPlainAddition) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(exactSum({1.0, inf, 2.0}), inf);
    EXPECT_TRUE(std::isnan(exactSum({inf, -inf})));
    EXPECT_TRUE(std::isnan(exactSum({1.0, std::nan("")})));
    ExactSum set = 3.1;
    EXPECT_EQ(set.value(), 3.1);
}

}  // namespace
}  // namespace quillon
