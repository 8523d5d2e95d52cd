#include "score_bounds.h"

#include <immintrin.h>

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <utility>

namespace quillon {

namespace {

// Every operation below is element by element and IEEE-rounded, so a lane's result does not
// depend on the vector width or on its neighbours: W = 2 is what every x86-64 has, W = 4 is
// used where the processor has AVX2.
template <int W>
struct Lanes {
    typedef double Vec __attribute__((vector_size(W * sizeof(double))));
    typedef std::int64_t Bits __attribute__((vector_size(W * sizeof(double))));   // comparison masks
    typedef std::uint64_t Word __attribute__((vector_size(W * sizeof(double))));  // bit fields
};

#define QUILLON_INLINE [[gnu::always_inline]] inline

// The helpers take and give vectors by reference only: a 32-byte vector passed or returned by value
// follows another calling convention with AVX than without, which GCC warns of (-Wpsabi) even
// where, as here, every call is inlined.

// The mantissa's top six bits choose a centre c_j = 1 + (j + 1/2) / 64; the table holds a double
// near 1 / c_j and minus the base-2 logarithm of that very double, rounded once from long double.
struct Log2Entry {
    double reciprocal;
    double minusLog2Reciprocal;
};
struct Log2Table {
    Log2Entry entries[64];
    Log2Table() {
        for (int j = 0; j < 64; ++j) {
            entries[j].reciprocal = 1.0 / (1.0 + (j + 0.5) / 64.0);
            entries[j].minusLog2Reciprocal =
                static_cast<double>(-std::log2(static_cast<long double>(entries[j].reciprocal)));
        }
    }
};
const Log2Table table;

constexpr double inverseLn2 = 1.4426950408889634;  // 1 / ln 2, rounded

// out = mask ? yes : no, lane by lane; out may be yes or no.
template <int W>
QUILLON_INLINE void select(const typename Lanes<W>::Bits& mask, const typename Lanes<W>::Vec& yes,
                           const typename Lanes<W>::Vec& no, typename Lanes<W>::Vec& out) {
    out = mask ? yes : no;
}

// Lane by lane: AVX2's gathers measured slower here than these loads (docs/performance.md).
template <int W, std::size_t... L>
QUILLON_INLINE void lookUp(const typename Lanes<W>::Word& index, typename Lanes<W>::Vec& c,
                           typename Lanes<W>::Vec& minusLog2C, std::index_sequence<L...>) {
    c = typename Lanes<W>::Vec{table.entries[index[L]].reciprocal...};
    minusLog2C = typename Lanes<W>::Vec{table.entries[index[L]].minusLog2Reciprocal...};
}

// log2 t = e + log2 m with t = 2^e m, 1 <= m < 2; log2 m = -log2 c + ln(1 + r) / ln 2 with
// r = m c - 1, |r| <= 2^-7, and ln(1 + r) by its series to degree 4. Near 1 from below
// (t >= nearOne) the table is bypassed: r = t - 1, exactly, so that the error shrinks with 1 - t
// and a score near 0 gets an interval to its own scale. Meaningful for normal t > 0.
constexpr double nearOne = 1.0 - 0x1p-10;

template <int W>
QUILLON_INLINE void log2Approx(const typename Lanes<W>::Vec& t, typename Lanes<W>::Vec& log2T,
                               typename Lanes<W>::Bits& near) {
    using Vec = typename Lanes<W>::Vec;
    using Word = typename Lanes<W>::Word;
    const Word bits = (Word)t;
    const Word exponentField = (bits >> 52) & 0x7ff;
    // The exponent field as a double, exactly, then less the bias: 2^52 + 1023 is one double.
    const Vec e = (Vec)(exponentField | 0x4330000000000000) - 4503599627371519.0;
    const Word index = (bits >> 46) & 63;
    const Vec m = (Vec)((bits & 0x000fffffffffffff) | 0x3ff0000000000000);
    Vec c;
    Vec minusLog2C;
    lookUp<W>(index, c, minusLog2C, std::make_index_sequence<W>());
    near = t >= nearOne;
    Vec r;
    select<W>(near, t - 1.0, m * c - 1.0, r);  // both in [1/2, 2] less 1: the subtractions are exact
    Vec base;
    select<W>(near, Vec{} + 0.0, e + minusLog2C, base);
    const Vec ln1p = r * (1.0 + r * (-0.5 + r * (1.0 / 3 + r * -0.25)));
    log2T = base + ln1p * inverseLn2;
}

// Never above 0, as log2 of an argument up to 1 is not: the clamp only moves it closer. Also
// what |log2's value - this one| may be beyond 2^-50 |log2 t|, in units of 2^-36
// (docs/performance.md): 1, and near 1 (1 - t) / 16.
template <int W>
QUILLON_INLINE void clampedLog2(const typename Lanes<W>::Vec& t, typename Lanes<W>::Vec& log2T,
                                typename Lanes<W>::Vec& allowance) {
    using Vec = typename Lanes<W>::Vec;
    using Bits = typename Lanes<W>::Bits;
    Vec l;
    Bits near;
    log2Approx<W>(t, l, near);
    select<W>(l < 0.0, l, Vec{} + 0.0, log2T);
    select<W>(near, (1.0 - t) * 0x1p-4, Vec{} + 1.0, allowance);
}

// Clears the lanes of ok where t is neither 0 nor a normal value up to 1 (NaN included).
template <int W>
QUILLON_INLINE void keepUsable(const typename Lanes<W>::Vec& t, typename Lanes<W>::Bits& ok) {
    ok &= (t == 0.0) | ((t >= DBL_MIN) & (t <= 1.0));
}

// Four rows of four doubles, transposed into their columns.
__attribute__((target("avx2"))) inline void transposeRows(const double* const* row, Lanes<4>::Vec& a0,
                                                          Lanes<4>::Vec& a1, Lanes<4>::Vec& b0, Lanes<4>::Vec& b1) {
    const __m256d r0 = _mm256_loadu_pd(row[0]), r1 = _mm256_loadu_pd(row[1]);
    const __m256d r2 = _mm256_loadu_pd(row[2]), r3 = _mm256_loadu_pd(row[3]);
    const __m256d low01 = _mm256_unpacklo_pd(r0, r1), high01 = _mm256_unpackhi_pd(r0, r1);
    const __m256d low23 = _mm256_unpacklo_pd(r2, r3), high23 = _mm256_unpackhi_pd(r2, r3);
    a0 = (Lanes<4>::Vec)_mm256_permute2f128_pd(low01, low23, 0x20);
    a1 = (Lanes<4>::Vec)_mm256_permute2f128_pd(high01, high23, 0x20);
    b0 = (Lanes<4>::Vec)_mm256_permute2f128_pd(low01, low23, 0x31);
    b1 = (Lanes<4>::Vec)_mm256_permute2f128_pd(high01, high23, 0x31);
}

// W items' p(1), p(2), 1 - p(1), 1 - p(2), column by column.
template <int W>
struct RowColumns {
    using Vec = typename Lanes<W>::Vec;
    Vec a0, a1, b0, b1;
};

// The operands of candidates: their rows in the selector's table. Past the end the step's first
// candidate repeats (its results are not stored).
struct CandidateRows {
    const double* rows;
    const Candidate* candidates;
    template <int W>
    QUILLON_INLINE void load(std::size_t i, std::size_t count, RowColumns<W>& out) const {
        fill<W>(i, count, out, std::make_index_sequence<W>());
    }
    template <int W, std::size_t... L>
    QUILLON_INLINE void fill(std::size_t i, std::size_t count, RowColumns<W>& out, std::index_sequence<L...>) const {
        using Vec = typename Lanes<W>::Vec;
        const double* row[W] = {
            (rows + 4 * static_cast<std::size_t>(candidates[i + (i + L < count ? L : 0)].position - 1))...};
        if constexpr (W == 4) {
            transposeRows(row, out.a0, out.a1, out.b0, out.b1);
        } else {
            out.a0 = Vec{row[L][0]...};
            out.a1 = Vec{row[L][1]...};
            out.b0 = Vec{row[L][2]...};
            out.b1 = Vec{row[L][3]...};
        }
    }
};

// The operands of points given as columns of p(1) and p(2): 1 - p is computed here, as the
// selector computes it for its rows. Past the end the step's first point repeats.
struct PointColumns {
    const double* p1;
    const double* p2;
    template <int W>
    QUILLON_INLINE void load(std::size_t i, std::size_t count, RowColumns<W>& out) const {
        double a0[W], a1[W];
        for (std::size_t l = 0; l < W; ++l) {
            a0[l] = p1[i + (i + l < count ? l : 0)];
            a1[l] = p2[i + (i + l < count ? l : 0)];
        }
        std::memcpy(&out.a0, a0, sizeof out.a0);
        std::memcpy(&out.a1, a1, sizeof out.a1);
        out.b0 = 1.0 - out.a0;
        out.b1 = 1.0 - out.a1;
    }
};

// The look-ahead vectors for a right (t) and a wrong (u) answer, with pc the chance of a right
// one, lane by lane. Exact: the engine's own operations, the same bits as the exact score's.
// Otherwise each pair is divided by one reciprocal, which moves t and u by at most 3u relative
// (docs/performance.md): enough for the bounds, and two divisions fewer.
template <int W, bool Exact>
struct LookAhead {
    using Vec = typename Lanes<W>::Vec;
    Vec pc, t0, t1, u0, u1;
    QUILLON_INLINE LookAhead(const RowColumns<W>& row, double q0, double q1) {
        const Vec r0 = row.a0 * q0;
        const Vec r1 = row.a1 * q1;
        pc = 0.0 + r0 + r1;
        const Vec w0 = row.b0 * q0;
        const Vec w1 = row.b1 * q1;
        const Vec sw = 0.0 + w0 + w1;
        if constexpr (Exact) {
            t0 = r0 / pc;
            t1 = r1 / pc;
            u0 = w0 / sw;
            u1 = w1 / sw;
        } else {
            const Vec overPc = 1.0 / pc;
            const Vec overSw = 1.0 / sw;
            t0 = r0 * overPc;
            t1 = r1 * overPc;
            u0 = w0 * overSw;
            u1 = w1 * overSw;
        }
    }
};

template <int W>
QUILLON_INLINE void store(double* p, const typename Lanes<W>::Vec& v, std::size_t count) {
    if (count >= W) {
        std::memcpy(p, &v, sizeof v);
    } else {
        for (std::size_t l = 0; l < count; ++l) p[l] = v[l];
    }
}

template <int W, Operands operands, class Source>
QUILLON_INLINE BoundSummary shannonKernel(const Source& source, std::size_t count, double q0, double q1, double* lower,
                                          double* upper) {
    using Vec = typename Lanes<W>::Vec;
    using Bits = typename Lanes<W>::Bits;
    const Vec undefined = Vec{} + NAN;
    const Vec infinite = Vec{} + HUGE_VAL;
    Vec lowestLower = infinite;
    Vec lowestUpper = infinite;
    Bits allOk = (Bits{} + 0) == 0;
    for (std::size_t i = 0; i < count; i += W) {
        RowColumns<W> row;
        source.template load<W>(i, count, row);
        const LookAhead<W, false> look(row, q0, q1);
        const Vec &pc = look.pc, &t0 = look.t0, &t1 = look.t1, &u0 = look.u0, &u1 = look.u1;
        // From here on the logarithms are approximate; the half-width covers them and the
        // rounding of what follows (docs/performance.md).
        Vec logT0, logT1, logU0, logU1, aT0, aT1, aU0, aU1;
        clampedLog2<W>(t0, logT0, aT0);
        clampedLog2<W>(t1, logT1, aT1);
        clampedLog2<W>(u0, logU0, aU0);
        clampedLog2<W>(u1, logU1, aU1);
        const Vec hr = -(0.0 + t0 * logT0 + t1 * logT1);
        const Vec hw = -(0.0 + u0 * logU0 + u1 * logU1);
        const Vec m = pc * hr + (1.0 - pc) * hw;
        // The logarithms' allowances weighed as the logarithms are, and what the rest may add.
        const Vec allowed = pc * (t0 * aT0 + t1 * aT1) + (1.0 - pc) * (u0 * aU0 + u1 * aU1);
        const Vec half = (m * 0x1p-47 + 0x1p-48) + allowed * 0x1p-35;
        Bits ok;
        if constexpr (operands == Operands::Fitting) {
            ok = (pc <= 1.0) & (t0 <= 1.0) & (t1 <= 1.0) & (u0 <= 1.0) & (u1 <= 1.0);
        } else {
            ok = (pc >= 0.0) & (pc <= 1.0);
            keepUsable<W>(t0, ok);
            keepUsable<W>(t1, ok);
            keepUsable<W>(u0, ok);
            keepUsable<W>(u1, ok);
        }
        const Vec lo = m - half;
        const Vec hi = m + half;
        Vec bounded;
        select<W>(ok, lo, undefined, bounded);
        store<W>(lower + i, bounded, count - i);
        store<W>(upper + i, hi, count - i);
        // Lanes past the end repeat a candidate of this step, so they change no minimum.
        select<W>(ok & (lo < lowestLower), lo, lowestLower, lowestLower);
        select<W>(ok & (hi < lowestUpper), hi, lowestUpper, lowestUpper);
        allOk &= ok;
    }
    BoundSummary summary{HUGE_VAL, HUGE_VAL, true};
    for (int l = 0; l < W; ++l) {
        summary.lowestLower = std::min(summary.lowestLower, lowestLower[l]);
        summary.lowestUpper = std::min(summary.lowestUpper, lowestUpper[l]);
        summary.allBounded = summary.allBounded && allOk[l] != 0;
    }
    return summary;
}

// Writes score i to out(i, score).
template <int W, class Source, class Out>
QUILLON_INLINE void costKernel(const Source& source, std::size_t count, double q0, double q1, const RunSettings& s,
                               const Out& out) {
    using Vec = typename Lanes<W>::Vec;
    const Vec infinite = Vec{} + HUGE_VAL;
    const double ff = s.costFailFail, fp = s.costFailPass, pf = s.costPassFail, pp = s.costPassPass;
    for (std::size_t i = 0; i < count; i += W) {
        RowColumns<W> row;
        source.template load<W>(i, count, row);
        const LookAhead<W, true> look(row, q0, q1);
        const Vec &pc = look.pc, &t0 = look.t0, &t1 = look.t1, &u0 = look.u0, &u1 = look.u1;
        const Vec right = t0 * ff + t0 * (1.0 - t0) * fp + t1 * (1.0 - t1) * pf + t1 * pp;
        const Vec wrong = u0 * ff + u0 * (1.0 - u0) * fp + u1 * (1.0 - u1) * pf + u1 * pp;
        const Vec score = pc * right + (1.0 - pc) * wrong;
        Vec orderable;
        select<W>(score == score, score, infinite, orderable);
        for (std::size_t l = 0; l < W && i + l < count; ++l) out(i + l, orderable[l]);
    }
}

// Flattened, so that the AVX2 helpers above inline into them.
template <Operands operands, class Source>
__attribute__((target("avx2"), flatten)) BoundSummary shannonWide(const Source& source, std::size_t count, double q0,
                                                                  double q1, double* lower, double* upper) {
    return shannonKernel<4, operands>(source, count, q0, q1, lower, upper);
}

template <class Source, class Out>
__attribute__((target("avx2"), flatten)) void costWide(const Source& source, std::size_t count, double q0, double q1,
                                                       const RunSettings& s, const Out& out) {
    costKernel<4>(source, count, q0, q1, s, out);
}

const bool avx2 = [] {
    __builtin_cpu_init();  // this runs among the static constructors
    return __builtin_cpu_supports("avx2") != 0;
}();

// Whether a batch runs four lanes at a time.
bool fourLanes(VectorWidth width) { return avx2 && width == VectorWidth::Widest; }

template <Operands operands, class Source>
BoundSummary shannonBoundsAs(const Source& source, std::size_t count, double q0, double q1, double* lower,
                             double* upper, VectorWidth width) {
    return fourLanes(width) ? shannonWide<operands>(source, count, q0, q1, lower, upper)
                            : shannonKernel<2, operands>(source, count, q0, q1, lower, upper);
}

template <class Source>
BoundSummary shannonBoundsOf(const Source& source, std::size_t count, double q0, double q1, double* lower,
                             double* upper, VectorWidth width, Operands operands) {
    return operands == Operands::Fitting
               ? shannonBoundsAs<Operands::Fitting>(source, count, q0, q1, lower, upper, width)
               : shannonBoundsAs<Operands::Any>(source, count, q0, q1, lower, upper, width);
}

template <class Source, class Out>
void costScoresOf(const Source& source, std::size_t count, double q0, double q1, const RunSettings& s, const Out& out,
                  VectorWidth width) {
    if (fourLanes(width))
        costWide(source, count, q0, q1, s, out);
    else
        costKernel<2>(source, count, q0, q1, s, out);
}

}  // namespace

bool hasAvx2() { return avx2; }

double fastLog2(double t) {
    const Lanes<2>::Vec v = {t, 1.0};
    Lanes<2>::Vec log2V;
    Lanes<2>::Bits near;
    log2Approx<2>(v, log2V, near);
    return log2V[0];
}

BoundSummary shannonBounds(const double* rows, const Candidate* candidates, std::size_t count, double q0, double q1,
                           double* lower, double* upper, VectorWidth width, Operands operands) {
    return shannonBoundsOf(CandidateRows{rows, candidates}, count, q0, q1, lower, upper, width, operands);
}

BoundSummary shannonPointBounds(const double* p1, const double* p2, std::size_t count, double q0, double q1,
                                double* lower, double* upper, VectorWidth width, Operands operands) {
    return shannonBoundsOf(PointColumns{p1, p2}, count, q0, q1, lower, upper, width, operands);
}

void costScores(const double* rows, Candidate* candidates, std::size_t count, double q0, double q1,
                const RunSettings& s, VectorWidth width) {
    costScoresOf(
        CandidateRows{rows, candidates}, count, q0, q1, s,
        [candidates](std::size_t i, double score) { candidates[i].score = score; }, width);
}

void costPointScores(const double* p1, const double* p2, std::size_t count, double q0, double q1, const RunSettings& s,
                     double* scores, VectorWidth width) {
    costScoresOf(
        PointColumns{p1, p2}, count, q0, q1, s, [scores](std::size_t i, double score) { scores[i] = score; }, width);
}

}  // namespace quillon
