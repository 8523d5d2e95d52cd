#include "score_bounds.h"

#include <cfloat>
#include <cstdint>
#include <cstring>

// The vector helpers are internal and always inlined, so the warning that 32-byte vectors pass
// differently with and without AVX concerns no interface.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace quillon {

namespace {

// Every operation below is element by element and IEEE-rounded, so a lane's result does not
// depend on the vector width or on its neighbours.
constexpr std::size_t lanes = 4;
using Vec = double __attribute__((vector_size(lanes * sizeof(double))));
using Bits = std::int64_t __attribute__((vector_size(lanes * sizeof(double))));

// The mantissa's top six bits choose a centre c_j = 1 + (j + 1/2) / 64; the table holds a double
// near 1 / c_j and minus the base-2 logarithm of that very double, rounded once from long double.
struct Log2Table {
    double reciprocal[64];
    double minusLog2Reciprocal[64];
    Log2Table() {
        for (int j = 0; j < 64; ++j) {
            reciprocal[j] = 1.0 / (1.0 + (j + 0.5) / 64.0);
            minusLog2Reciprocal[j] = static_cast<double>(-std::log2(static_cast<long double>(reciprocal[j])));
        }
    }
};
const Log2Table table;

constexpr double inverseLn2 = 1.4426950408889634;  // 1 / ln 2, rounded

// One vector of candidates' rows, column by column; lanes past the end hold a harmless row.
struct RowColumns {
    Vec a0, a1, b0, b1;
    RowColumns(const double* rows, const Candidate* candidates, std::size_t count) {
        for (std::size_t l = 0; l < lanes; ++l) {
            const double* row = l < count ? rows + 4 * static_cast<std::size_t>(candidates[l].position - 1) : harmless;
            a0[l] = row[0];
            a1[l] = row[1];
            b0[l] = row[2];
            b1[l] = row[3];
        }
    }
    static constexpr double harmless[4] = {0.5, 0.5, 0.5, 0.5};
};

inline void store(double* p, Vec v, std::size_t count) {
    if (count >= lanes) {
        std::memcpy(p, &v, sizeof v);
    } else {
        for (std::size_t l = 0; l < count; ++l) p[l] = v[l];
    }
}

inline Vec select(Bits mask, Vec yes, Vec no) { return (Vec)(((Bits)yes & mask) | ((Bits)no & ~mask)); }

// log2 t = e + log2 m with t = 2^e m, 1 <= m < 2; log2 m = -log2 c + ln(1 + r) / ln 2 with
// r = m c - 1, |r| <= 2^-7, and ln(1 + r) by its series to degree 7. Meaningful for normal t > 0.
inline Vec log2Approx(Vec t) {
    const Bits bits = (Bits)t;
    const Bits exponentField = (bits >> 52) & 0x7ff;
    // The exponent field as a double, exactly, then less the bias: 2^52 + 1023 is one double.
    const Vec e = (Vec)(exponentField | 0x4330000000000000) - 4503599627371519.0;
    const Bits index = (bits >> 46) & 63;
    const Vec m = (Vec)((bits & 0x000fffffffffffff) | 0x3ff0000000000000);
    Vec c;
    Vec minusLog2C;
    for (std::size_t l = 0; l < lanes; ++l) {
        c[l] = table.reciprocal[index[l]];
        minusLog2C[l] = table.minusLog2Reciprocal[index[l]];
    }
    const Vec r = m * c - 1.0;  // m c lies in [1/2, 2]: the subtraction is exact
    const Vec ln1p = r * (1.0 + r * (-0.5 + r * (1.0 / 3 + r * (-0.25 + r * (0.2 + r * (-1.0 / 6 + r * (1.0 / 7)))))));
    return (e + minusLog2C) + ln1p * inverseLn2;
}

// Never above 0, as log2 of an argument up to 1 is not: the clamp only moves it closer.
inline Vec clampedLog2(Vec t) {
    const Vec l = log2Approx(t);
    return select(l < 0.0, l, Vec{} + 0.0);
}

// 0, or a normal value up to 1 (false for NaN).
inline Bits usable(Vec t) { return (t == 0.0) | ((t >= DBL_MIN) & (t <= 1.0)); }

}  // namespace

double fastLog2(double t) {
    const Vec v = {t, 1.0, 1.0, 1.0};
    return log2Approx(v)[0];
}

void shannonBounds(const double* rows, const Candidate* candidates, std::size_t count, double q0, double q1,
                   double* lower, double* upper) {
    const Vec undefined = Vec{} + NAN;
    for (std::size_t i = 0; i < count; i += lanes) {
        const RowColumns row(rows, candidates + i, count - i);
        // The engine's own operations up to the look-ahead vectors: the same bits.
        const Vec r0 = row.a0 * q0;
        const Vec r1 = row.a1 * q1;
        const Vec pc = 0.0 + r0 + r1;
        const Vec t0 = r0 / pc;
        const Vec t1 = r1 / pc;
        const Vec w0 = row.b0 * q0;
        const Vec w1 = row.b1 * q1;
        const Vec sw = 0.0 + w0 + w1;
        const Vec u0 = w0 / sw;
        const Vec u1 = w1 / sw;
        // From here on the logarithms are approximate; the half-width covers them and the
        // rounding of what follows (docs/performance.md).
        const Vec hr = -(0.0 + t0 * clampedLog2(t0) + t1 * clampedLog2(t1));
        const Vec hw = -(0.0 + u0 * clampedLog2(u0) + u1 * clampedLog2(u1));
        const Vec m = pc * hr + (1.0 - pc) * hw;
        const Vec half = m * 0x1p-47 + 0x1p-49;
        const Bits ok = (pc >= 0.0) & (pc <= 1.0) & usable(t0) & usable(t1) & usable(u0) & usable(u1);
        store(lower + i, select(ok, m - half, undefined), count - i);
        store(upper + i, m + half, count - i);
    }
}

void costScores(const double* rows, const Candidate* candidates, std::size_t count, double q0, double q1,
                const RunSettings& s, double* scores) {
    const Vec infinite = Vec{} + HUGE_VAL;
    for (std::size_t i = 0; i < count; i += lanes) {
        const RowColumns row(rows, candidates + i, count - i);
        const Vec r0 = row.a0 * q0;
        const Vec r1 = row.a1 * q1;
        const Vec pc = 0.0 + r0 + r1;
        const Vec t0 = r0 / pc;
        const Vec t1 = r1 / pc;
        const Vec w0 = row.b0 * q0;
        const Vec w1 = row.b1 * q1;
        const Vec sw = 0.0 + w0 + w1;
        const Vec u0 = w0 / sw;
        const Vec u1 = w1 / sw;
        const Vec right = t0 * s.costFailFail + t0 * (1.0 - t0) * s.costFailPass + t1 * (1.0 - t1) * s.costPassFail +
                          t1 * s.costPassPass;
        const Vec wrong = u0 * s.costFailFail + u0 * (1.0 - u0) * s.costFailPass + u1 * (1.0 - u1) * s.costPassFail +
                          u1 * s.costPassPass;
        const Vec score = pc * right + (1.0 - pc) * wrong;
        store(scores + i, select(score == score, score, infinite), count - i);
    }
}

}  // namespace quillon
