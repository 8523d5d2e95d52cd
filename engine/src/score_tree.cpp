#include "score_tree.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "score_bounds.h"

namespace quillon {

namespace {

// Items and posteriors within these limits keep every product, sum and look-ahead value of a
// score normal (r = p q >= 2^-960), which the error margins below rely on.
constexpr double smallestProbability = 0x1p-60;
constexpr double smallestPosterior = 0x1p-900;

// |computed score - real score| for one item (corner or not) is below 30u for Shannon and below
// 30u times the sum of |costs| for MinCost (docs/performance.md); the margins take 2^-44 and
// 2^-42, more than sixteen times that, once for the item and once for the corner.
constexpr double shannonMargin = 2 * 0x1p-44;
constexpr double costMarginPerCost = 2 * 0x1p-42;

double boxBoundShift = 0.0;
std::size_t thresholdOverride = 0;

// The next double above a finite nonzero x (its bits, one step away from or towards 0).
double nextUp(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits = x > 0.0 ? bits + 1 : bits - 1;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// a + b rounded up or down, not to nearest: the rounding error comes exactly from the sum, and
// a sum with an error is never 0.
double sumRounded(double a, double b, bool up) {
    const double s = a + b;
    const double bb = s - a;
    const double error = (a - (s - bb)) + (b - bb);  // a + b - s exactly (no contraction)
    if (up && error > 0.0) return nextUp(s);
    if (!up && error < 0.0) return -nextUp(-s);
    return s;
}

void build(PointTree& tree, const double* rows, std::size_t node, std::int32_t begin, std::int32_t end) {
    const auto p = [rows](std::int32_t position, int column) {
        return rows[4 * static_cast<std::size_t>(position - 1) + static_cast<std::size_t>(column)];
    };
    PointTree::Box box{HUGE_VAL, -HUGE_VAL, HUGE_VAL, -HUGE_VAL, HUGE_VAL, -HUGE_VAL};
    for (std::int32_t k = begin; k < end; ++k) {
        const std::int32_t i = tree.items[static_cast<std::size_t>(k)];
        box.lo1 = std::min(box.lo1, p(i, 0));
        box.hi1 = std::max(box.hi1, p(i, 0));
        box.lo2 = std::min(box.lo2, p(i, 1));
        box.hi2 = std::max(box.hi2, p(i, 1));
        box.loD = std::min(box.loD, sumRounded(p(i, 1), -p(i, 0), false));
        box.hiD = std::max(box.hiD, sumRounded(p(i, 1), -p(i, 0), true));
    }
    if (tree.boxes.size() <= node) tree.boxes.resize(node + 1);
    tree.boxes[node] = box;
    if (end - begin <= PointTree::leafSize) return;
    // The median along the widest of p(1), p(2) and their difference; ties by position, so the
    // tree is the same on every run.
    const double widths[3] = {box.hi1 - box.lo1, box.hi2 - box.lo2, box.hiD - box.loD};
    const int axis = static_cast<int>(std::max_element(widths, widths + 3) - widths);
    const auto key = [&](std::int32_t i) { return axis < 2 ? p(i, axis) : p(i, 1) - p(i, 0); };
    const std::int32_t middle = begin + (end - begin) / 2;
    std::int32_t* first = tree.items.data();
    std::nth_element(first + begin, first + middle, first + end,
                     [&](std::int32_t x, std::int32_t y) { return key(x) < key(y) || (key(x) == key(y) && x < y); });
    build(tree, rows, 2 * node + 1, begin, middle);
    build(tree, rows, 2 * node + 2, middle, end);
}

// Two borders as the columns of Siblings.
PointTree::Siblings siblingsOf(const PointTree::Border& first, const PointTree::Border& second) {
    PointTree::Siblings out{};
    for (const PointTree::Border* border : {&first, &second}) {
        for (std::int32_t k = 0; k < border->count; ++k, ++out.count) {
            out.p1[out.count] = border->p1[k];
            out.p2[out.count] = border->p2[k];
        }
        if (border == &first) out.split = out.count;
    }
    return out;
}

}  // namespace

// The points of a region where the score can be smallest (docs/performance.md): on the upper
// border p(2) = min(hi2, p(1) + hiD) its ends and its kink, and likewise on the lower border
// p(2) = max(lo2, p(1) + loD); each moved to a double away from the diagonal, which can only
// lower the score there. An end of a flat piece on the far side of the diagonal's maximum is
// left out.
PointTree::Border borderOf(const PointTree::Box& x) {
    PointTree::Border border{};
    std::int32_t& n = border.count;
    const auto add = [&](double p1, double p2) {
        border.p1[n] = p1;
        border.p2[n] = p2;
        ++n;
    };
    if (x.hiD >= 0.0) {
        // Upper border: rising with slope 1 up to the kink k = hi2 - hiD, then flat at hi2,
        // where the score falls towards p(1) = lo1 while p(1) <= hi2.
        const double kinkDown = sumRounded(x.hi2, -x.hiD, false);
        const double kinkUp = sumRounded(x.hi2, -x.hiD, true);
        add(x.lo1, std::min(x.hi2, sumRounded(x.lo1, x.hiD, true)));
        if (kinkUp > x.lo1 && kinkDown < x.hi1) add(std::max(kinkDown, x.lo1), x.hi2);
        if (!(x.hi1 <= x.hi2 && kinkUp < x.hi1)) add(x.hi1, std::min(x.hi2, sumRounded(x.hi1, x.hiD, true)));
    }
    if (x.loD <= 0.0) {
        // Lower border: flat at lo2 up to the kink k = lo2 - loD, where the score falls
        // towards p(1) = hi1 while p(1) >= lo2, then rising with slope 1.
        const double kinkDown = sumRounded(x.lo2, -x.loD, false);
        const double kinkUp = sumRounded(x.lo2, -x.loD, true);
        if (!(x.lo1 >= x.lo2 && kinkDown > x.lo1)) add(x.lo1, std::max(x.lo2, sumRounded(x.lo1, x.loD, false)));
        if (kinkUp > x.lo1 && kinkDown < x.hi1) add(std::min(kinkUp, x.hi1), x.lo2);
        add(x.hi1, std::max(x.lo2, sumRounded(x.hi1, x.loD, false)));
    }
    return border;
}

bool PointTree::fits(double p1, double p2) {
    return p1 >= smallestProbability && p1 < 1.0 && p2 >= smallestProbability && p2 < 1.0;
}

bool PointTree::fitsPosterior(double q0, double q1) {
    return q0 >= smallestPosterior && q0 <= 1.0 && q1 >= smallestPosterior && q1 <= 1.0;
}

PointTree buildPointTree(const std::vector<std::int32_t>& positions, const double* rows, bool keepBoxes) {
    PointTree tree;
    for (std::int32_t i : positions) {
        const double* row = rows + 4 * static_cast<std::size_t>(i - 1);
        (PointTree::fits(row[0], row[1]) ? tree.items : tree.loose).push_back(i);
    }
    if (!tree.items.empty()) build(tree, rows, 0, 0, static_cast<std::int32_t>(tree.items.size()));
    tree.siblings.reserve(tree.boxes.size() / 2);
    for (std::size_t child = 1; child + 1 < tree.boxes.size(); child += 2) {
        // Nodes are numbered densely down to the leaves, but a leaf's slot may stay unused.
        const PointTree::Box& left = tree.boxes[child];
        const PointTree::Box& right = tree.boxes[child + 1];
        tree.siblings.push_back(siblingsOf(borderOf(left), borderOf(right)));
    }
    if (!keepBoxes) tree.boxes = {};
    return tree;
}

bool costBoundHolds(const RunSettings& s) {
    // Concave when the two t(1 - t) weights add up to at least 0; costs neither tiny nor huge
    // keep every product normal.
    const double costs[] = {s.costFailFail, s.costFailPass, s.costPassFail, s.costPassPass};
    for (double c : costs) {
        if (!(c == 0.0 || (std::fabs(c) >= 0x1p-30 && std::fabs(c) <= 0x1p30))) return false;
    }
    return s.costFailPass + s.costPassFail >= 0.0;
}

// The smallest of each sibling's values, [0, split) and [split, count), made a bound.
template <class Lowest>
void siblingMinima(const PointTree::Siblings& siblings, const double* values, double margin, double out[2],
                   Lowest&& lowestOf) {
    const std::size_t ends[3] = {0, siblings.split, siblings.count};
    for (std::size_t b = 0; b < 2; ++b) {
        double lowest = HUGE_VAL;
        for (std::size_t k = ends[b]; k < ends[b + 1]; ++k) lowest = lowestOf(lowest, values[k]);
        out[b] = lowest - margin + boxBoundShift;
    }
}

void shannonSiblingBounds(const PointTree::Siblings& siblings, double q0, double q1, double out[2]) {
    double lower[12];
    double upper[12];
    // Border points lie within their nodes' boxes, so they fit as the items do.
    shannonPointBounds(siblings.p1, siblings.p2, siblings.count, q0, q1, lower, upper, VectorWidth::Widest,
                       Operands::Fitting);
    siblingMinima(siblings, lower, shannonMargin, out,
                  [](double lowest, double value) { return std::isnan(value) ? -HUGE_VAL : std::min(lowest, value); });
}

void costSiblingBounds(const PointTree::Siblings& siblings, double q0, double q1, const RunSettings& s, double out[2]) {
    double scores[12];
    costPointScores(siblings.p1, siblings.p2, siblings.count, q0, q1, s, scores);
    const double margin = costMarginPerCost * (std::fabs(s.costFailFail) + std::fabs(s.costFailPass) +
                                               std::fabs(s.costPassFail) + std::fabs(s.costPassPass));
    siblingMinima(siblings, scores, margin, out, [](double lowest, double value) { return std::min(lowest, value); });
}

void shannonBoxBounds(const PointTree::Box* boxes, std::size_t count, double q0, double q1, double* out) {
    double both[2];
    const PointTree::Border first = borderOf(boxes[0]);
    shannonSiblingBounds(siblingsOf(first, count > 1 ? borderOf(boxes[1]) : first), q0, q1, both);
    std::copy(both, both + count, out);
}

void costBoxBounds(const PointTree::Box* boxes, std::size_t count, double q0, double q1, const RunSettings& s,
                   double* out) {
    double both[2];
    const PointTree::Border first = borderOf(boxes[0]);
    costSiblingBounds(siblingsOf(first, count > 1 ? borderOf(boxes[1]) : first), q0, q1, s, both);
    std::copy(both, both + count, out);
}

std::size_t searchThreshold(SelectionMethod method) {
    if (thresholdOverride > 0) return thresholdOverride;
    // Measured with quillon_bench (docs/performance.md): where the search and the full pass cost
    // the same, on the benchmark's pool.
    switch (method) {
        case SelectionMethod::MaxDiscr:
            return 20;
        case SelectionMethod::MinCost:
            return 128;
        default:
            return 64;
    }
}

void setSearchThresholdForTesting(std::size_t threshold) { thresholdOverride = threshold; }

void setBoxBoundShiftForTesting(double shift) { boxBoundShift = shift; }

}  // namespace quillon
