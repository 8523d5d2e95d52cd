#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "quillon/engine/item_selection.h"
#include "quillon/engine/run_settings.h"

namespace quillon {

/// A base-2 logarithm of 0, a negative, an infinite or an undefined argument counts as 0.
inline double guardedLog2(double x) { return (x > 0.0 && std::isfinite(x)) ? std::log2(x) : 0.0; }

// The two-group scores below perform exactly the operations of the general ones, in the same
// order, on a posterior already normalised: same bits, without the loops and the calls. `row` is
// p(1), p(2), 1 - p(1), 1 - p(2).

/// The Shannon score of one two-group item, bit for bit as the general score computes it.
inline double shannonTwoGroups(const double* row, double q0, double q1) {
    const double r0 = row[0] * q0;
    const double r1 = row[1] * q1;
    const double pc = 0.0 + r0 + r1;  // also the right answer's normalising sum
    const double t0 = r0 / pc;
    const double t1 = r1 / pc;
    const double w0 = row[2] * q0;
    const double w1 = row[3] * q1;
    const double sw = 0.0 + w0 + w1;
    const double u0 = w0 / sw;
    const double u1 = w1 / sw;
    const double hr = -(0.0 + t0 * guardedLog2(t0) + t1 * guardedLog2(t1));
    const double hw = -(0.0 + u0 * guardedLog2(u0) + u1 * guardedLog2(u1));
    return pc * hr + (1.0 - pc) * hw;
}

/// The two-group Bayes cost of a look-ahead vector t, terms added in the rule's order.
inline double bayesCostOf(const double* t, const RunSettings& s) {
    return t[0] * s.costFailFail + t[0] * (1.0 - t[0]) * s.costFailPass + t[1] * (1.0 - t[1]) * s.costPassFail +
           t[1] * s.costPassPass;
}

/// The MinCost score of one two-group item, bit for bit as the general score computes it.
inline double costTwoGroups(const double* row, double q0, double q1, const RunSettings& s) {
    const double r0 = row[0] * q0;
    const double r1 = row[1] * q1;
    const double pc = 0.0 + r0 + r1;
    const double right[2] = {r0 / pc, r1 / pc};
    const double w0 = row[2] * q0;
    const double w1 = row[3] * q1;
    const double sw = 0.0 + w0 + w1;
    const double wrong[2] = {w0 / sw, w1 / sw};
    return pc * bayesCostOf(right, s) + (1.0 - pc) * bayesCostOf(wrong, s);
}

/// An undefined score has no place in the ordering; it goes last, with +infinity.
inline double orderable(double score) { return std::isnan(score) ? HUGE_VAL : score; }

/// A cheap base-2 logarithm for 0 < t <= 1 with t normal: |fastLog2(t) - log2 t| <=
/// fastLog2AbsoluteError + fastLog2RelativeError * |log2 t|. The analysis is in docs/performance.md.
double fastLog2(double t);
inline constexpr double fastLog2AbsoluteError = 0x1p-36;
inline constexpr double fastLog2RelativeError = 0x1p-51;

/// Whether the processor has AVX2, which the batch functions and other vector loops use when it does.
bool hasAvx2();

/// Which vectors the batch functions use: the widest the processor has, or two lanes (what
/// every x86-64 has; for tests of that path on any machine).
enum class VectorWidth { Widest, Two };

/// What shannonBounds may assume of its operands: nothing, or that every probability fits the
/// item trees (PointTree::fits) and the posterior too (fitsPosterior). Then every look-ahead value
/// is at least 2^-960, so only the checks against 1 remain; the results are the same bits.
enum class Operands { Any, Fitting };

/// What shannonBounds found over its candidates: the smallest lower and upper bounds among those
/// it bounded, and whether it bounded every one.
struct BoundSummary {
    double lowestLower;
    double lowestUpper;
    bool allBounded;
};

/// Shannon: for candidates [0, count) an interval [lower, upper] that contains
/// shannonTwoGroups(row, q0, q1) as computed with std::log2, `rows` holding four values per pool
/// position (as above). Where the bounds do not hold (operands outside [0, 1], subnormal or
/// undefined look-ahead values) lower is NaN and the score must be computed exactly.
BoundSummary shannonBounds(const double* rows, const Candidate* candidates, std::size_t count, double q0, double q1,
                           double* lower, double* upper, VectorWidth width = VectorWidth::Widest,
                           Operands operands = Operands::Any);

/// Shannon: the same for `count` points given as columns of p(1) and p(2).
BoundSummary shannonPointBounds(const double* p1, const double* p2, std::size_t count, double q0, double q1,
                                double* lower, double* upper, VectorWidth width = VectorWidth::Widest,
                                Operands operands = Operands::Any);

/// MinCost: sets every candidate's score to its exact costTwoGroups(row, q0, q1, s), made
/// orderable, computed several at a time with the same operations.
void costScores(const double* rows, Candidate* candidates, std::size_t count, double q0, double q1,
                const RunSettings& s, VectorWidth width = VectorWidth::Widest);

/// MinCost: the same for `count` points given as columns of p(1) and p(2), into scores.
void costPointScores(const double* p1, const double* p2, std::size_t count, double q0, double q1, const RunSettings& s,
                     double* scores, VectorWidth width = VectorWidth::Widest);

}  // namespace quillon
