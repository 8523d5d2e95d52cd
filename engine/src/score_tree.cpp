#include "score_tree.h"

#include <algorithm>
#include <cmath>

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

void build(PointTree& tree, const double* rows, std::size_t node, std::int32_t begin, std::int32_t end) {
    const auto p = [rows](std::int32_t position, int column) {
        return rows[4 * static_cast<std::size_t>(position - 1) + static_cast<std::size_t>(column)];
    };
    PointTree::Box box{HUGE_VAL, -HUGE_VAL, HUGE_VAL, -HUGE_VAL};
    for (std::int32_t k = begin; k < end; ++k) {
        const std::int32_t i = tree.items[static_cast<std::size_t>(k)];
        box.lo1 = std::min(box.lo1, p(i, 0));
        box.hi1 = std::max(box.hi1, p(i, 0));
        box.lo2 = std::min(box.lo2, p(i, 1));
        box.hi2 = std::max(box.hi2, p(i, 1));
    }
    if (tree.boxes.size() <= node) tree.boxes.resize(node + 1);
    tree.boxes[node] = box;
    if (end - begin <= PointTree::leafSize) return;
    // The median along the wider side; ties by position, so the tree is the same on every run.
    const int column = box.hi1 - box.lo1 >= box.hi2 - box.lo2 ? 0 : 1;
    const std::int32_t middle = begin + (end - begin) / 2;
    std::int32_t* first = tree.items.data();
    std::nth_element(first + begin, first + middle, first + end, [&](std::int32_t x, std::int32_t y) {
        return p(x, column) < p(y, column) || (p(x, column) == p(y, column) && x < y);
    });
    build(tree, rows, 2 * node + 1, begin, middle);
    build(tree, rows, 2 * node + 2, middle, end);
}

// The two corners of each box where the score can be smallest, (lo1, hi2) and (hi1, lo2), as
// rows and as candidates of the batch functions.
struct Corners {
    double rows[2 * 8] = {};
    Candidate candidates[4] = {};
    Corners(const PointTree::Box* boxes, std::size_t count) {
        for (std::size_t b = 0; b < count; ++b) {
            const double corner[2][2] = {{boxes[b].lo1, boxes[b].hi2}, {boxes[b].hi1, boxes[b].lo2}};
            for (std::size_t k = 0; k < 2; ++k) {
                double* row = rows + 8 * b + 4 * k;
                row[0] = corner[k][0];
                row[1] = corner[k][1];
                row[2] = 1.0 - row[0];
                row[3] = 1.0 - row[1];
                candidates[2 * b + k] = {static_cast<std::int32_t>(2 * b + k + 1), 0.0};
            }
        }
    }
};

}  // namespace

bool PointTree::fits(double p1, double p2) {
    return p1 >= smallestProbability && p1 < 1.0 && p2 >= smallestProbability && p2 < 1.0;
}

bool PointTree::fitsPosterior(double q0, double q1) {
    return q0 >= smallestPosterior && q0 <= 1.0 && q1 >= smallestPosterior && q1 <= 1.0;
}

PointTree buildPointTree(const std::vector<std::int32_t>& positions, const double* rows) {
    PointTree tree;
    for (std::int32_t i : positions) {
        const double* row = rows + 4 * static_cast<std::size_t>(i - 1);
        (PointTree::fits(row[0], row[1]) ? tree.items : tree.loose).push_back(i);
    }
    if (!tree.items.empty()) build(tree, rows, 0, 0, static_cast<std::int32_t>(tree.items.size()));
    tree.boxes.shrink_to_fit();
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

void shannonBoxBounds(const PointTree::Box* boxes, std::size_t count, double q0, double q1, double* out) {
    Corners corners(boxes, count);
    double lower[4];
    double upper[4];
    shannonBounds(corners.rows, corners.candidates, 2 * count, q0, q1, lower, upper);
    for (std::size_t b = 0; b < count; ++b) {
        const double lowest = std::fmin(lower[2 * b], lower[2 * b + 1]);
        out[b] = std::isnan(lower[2 * b]) || std::isnan(lower[2 * b + 1]) ? -HUGE_VAL
                                                                         : lowest - shannonMargin + boxBoundShift;
    }
}

void costBoxBounds(const PointTree::Box* boxes, std::size_t count, double q0, double q1, const RunSettings& s,
                   double* out) {
    Corners corners(boxes, count);
    costScores(corners.rows, corners.candidates, 2 * count, q0, q1, s);
    const double margin = costMarginPerCost * (std::fabs(s.costFailFail) + std::fabs(s.costFailPass) +
                                               std::fabs(s.costPassFail) + std::fabs(s.costPassPass));
    for (std::size_t b = 0; b < count; ++b) {
        const double lowest = std::min(corners.candidates[2 * b].score, corners.candidates[2 * b + 1].score);
        out[b] = lowest - margin + boxBoundShift;
    }
}

std::size_t searchThreshold(SelectionMethod method) {
    if (thresholdOverride > 0) return thresholdOverride;
    // Measured with quillon_bench (docs/performance.md): where the search and the full pass cost
    // the same, on the benchmark's pool.
    switch (method) {
        case SelectionMethod::MaxDiscr:
            return 20;
        case SelectionMethod::MinCost:
            return 400;
        default:
            return 300;
    }
}

void setSearchThresholdForTesting(std::size_t threshold) { thresholdOverride = threshold; }

void setBoxBoundShiftForTesting(double shift) { boxBoundShift = shift; }

}  // namespace quillon
