#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quillon/engine/run_settings.h"

namespace quillon {

// A two-group item is a point (p(1), p(2)); Shannon's and MinCost's scores are concave in it and,
// for a fixed p(1), largest at p(2) = p(1) (docs/performance.md, "Best-first search over groups
// of items"), so over a node's region the smallest score lies at one of at most six points of its
// border. The tree below groups a collection's items into such regions, and the node bounds turn
// those points' scores into a lower bound on the computed score of every item in the region.

/// A k-d tree over one collection's two-group items: every node is a contiguous range of `items`
/// and a region around its items. Node n covers [begin, end); when wider than `leafSize` it splits at
/// begin + (end - begin) / 2 into nodes 2n + 1 and 2n + 2.
struct PointTree {
    static constexpr std::int32_t leafSize = 32;
    // The node's items lie in [lo1, hi1] x [lo2, hi2], and their p(2) - p(1), in real arithmetic,
    // in [loD, hiD]: a box cut along the diagonal, which follows pools whose items lie in a band.
    struct Box {
        double lo1, hi1, lo2, hi2, loD, hiD;
    };
    // The points of a node's region where the score can be smallest, worked out once per run.
    struct Border {
        double p1[6], p2[6];
        std::int32_t count;
    };
    // The border points of two sibling nodes, 2n + 1 and 2n + 2, as columns ready for the
    // vectors: the first node's [0, split), the second's [split, count).
    struct Siblings {
        double p1[12], p2[12];
        std::uint8_t split, count;
    };
    std::vector<std::int32_t> items;  // pool positions, permuted so that each node is a range
    std::vector<Siblings> siblings;   // by parent index n
    std::vector<Box> boxes;           // by node index, kept only when asked for (tests)
    std::vector<std::int32_t> loose;  // items kept out of the boxes: always scored on their own

    /// Whether an item's probabilities allow the bounds (0 and 1 and values near them do not).
    static bool fits(double p1, double p2);
    /// Whether a posterior allows the bounds: both values normal and far from underflow.
    static bool fitsPosterior(double q0, double q1);
};

/// Builds the tree of `positions` (in collection order), `rows` holding p(1), p(2), 1 - p(1),
/// 1 - p(2) per pool position.
PointTree buildPointTree(const std::vector<std::int32_t>& positions, const double* rows, bool keepBoxes = false);

/// The points of a box's region where the score can be smallest (docs/performance.md).
PointTree::Border borderOf(const PointTree::Box& box);

/// Whether MinCost's score is concave for these costs (and finite), so that its node bound holds.
bool costBoundHolds(const RunSettings& s);

/// Lower bounds for `count` boxes (at most 2) under a posterior that fits: no item in box b has a
/// computed Shannon score (shannonTwoGroups) below out[b]; -infinity where no bound is known.
void shannonBoxBounds(const PointTree::Box* boxes, std::size_t count, double q0, double q1, double* out);

/// The same for the two children of a node, as the search uses them.
void shannonSiblingBounds(const PointTree::Siblings& siblings, double q0, double q1, double out[2]);

/// The same for MinCost (costTwoGroups), when costBoundHolds(s).
void costBoxBounds(const PointTree::Box* boxes, std::size_t count, double q0, double q1, const RunSettings& s,
                   double* out);
void costSiblingBounds(const PointTree::Siblings& siblings, double q0, double q1, const RunSettings& s, double out[2]);

/// The smallest collection that a selection searches (a tree, or MaxDiscr's order) instead of
/// scoring every candidate: below it the full pass is as fast (docs/performance.md).
std::size_t searchThreshold(SelectionMethod method);

/// For measurements only: sets the threshold of every method (0 restores the measured ones).
void setSearchThresholdForTesting(std::size_t threshold);

/// For tests only: moves every box bound up by `shift`, so that a broken bound can be shown to be
/// caught. 0 in every real run.
void setBoxBoundShiftForTesting(double shift);

}  // namespace quillon
