#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/observed_answers/observed_answers.h"
#include "quillon/outcome/outcome.h"

namespace quillon {

/// How a pool is estimated from pilot answers.
struct CalibrationOptions {
    // The Beta(a, b) prior every estimate is shrunk by: (right + a) / (answers + a + b).
    double priorA = 0.5;
    double priorB = 0.5;
    std::int64_t minAnswers = 20;  // fewer answers from a group flag the item as thin
    bool dropThin = false;         // thin items are marked dropped in the pool
    std::int32_t groups = 0;       // known groups: 0 takes the highest group in the data
    // Latent classes: fit every class count from latentMin to latentMax (0: the groups are known).
    std::int32_t latentMin = 0;
    std::int32_t latentMax = 0;
    std::int32_t starts = 20;
    std::uint64_t seed = 20261208;
    double tolerance = 1e-9;  // EM stops when the log-likelihood gains less than this, relative
    std::int32_t maxIterations = 2000;
};

/// Why an estimate deserves a second look; bits of `ItemGroupEstimate::flags`.
enum CalibrationFlag : unsigned {
    flagThin = 1,       // fewer answers from the group than `minAnswers`
    flagDropped = 2,    // the item is marked dropped in the pool
    flagNoAnswers = 4,  // nobody of the group answered: the estimate is the prior's mean
    flagBoundary = 8,   // the maximum likelihood estimate lies on 0 or 1
};

/// One item's estimate for one group.
struct ItemGroupEstimate {
    double estimate = 0.5;
    double standardError = 0;  // the posterior standard deviation under the Beta prior
    double answers = 0;        // expected answers under latent classes, so not always whole
    double right = 0;
    unsigned flags = 0;
};

/// A pool estimated from pilot answers, ready to be written as a pool file.
struct CalibratedPool {
    std::int32_t groupCount = 0;
    std::vector<ObservedItem> items;
    std::vector<ItemGroupEstimate> estimates;  // [item * groupCount + group - 1]
    std::vector<bool> dropped;                 // [item]
    std::vector<double> groupShares;           // the priors row, [group - 1]
    std::vector<double> groupSizes;            // examinees per group (expected under latent classes)

    const ItemGroupEstimate& at(std::size_t item, std::int32_t group) const {
        return estimates[item * static_cast<std::size_t>(groupCount) + static_cast<std::size_t>(group - 1)];
    }
};

/// The fit of one latent class count.
struct LatentFit {
    std::int32_t classes = 0;
    double logLikelihood = 0;
    std::int64_t parameters = 0;
    double aic = 0, bic = 0;
    double entropy = 0;  // relative entropy of the class memberships: 1 perfectly separated
    std::int32_t iterations = 0;
    bool converged = false;
    std::int32_t startsAtBest = 0;       // starts that reached the best log-likelihood
    std::vector<double> logLikelihoods;  // the kept start's, iteration by iteration
};

/// A calibration: the pool, with latent classes the fit of every class count tried and the one
/// BIC chose (whose pool it is), and warnings a user should read before using the pool.
struct Calibration {
    CalibratedPool pool;
    std::vector<LatentFit> fits;
    std::size_t chosenFit = 0;
    std::vector<std::string> warnings;
};

/// Reads the prior as callers write it, "A,B"; false when the text is not two numbers.
bool readPriorText(std::string_view text, CalibrationOptions& options);

/// Reads the latent class counts as callers write them, "G" or "G..H"; false when the text is
/// neither or names no class at all (0 would silently mean known groups). Ranges are the fit's to
/// refuse.
bool readLatentText(std::string_view text, CalibrationOptions& options);

/// Estimates a pool from pilot answers under known groups (the groups in the data) or latent
/// classes, as the options say; a Usage or Input failure says why the data cannot give a pool.
Outcome<Calibration> calibratePool(const ObservedAnswers& data, const CalibrationOptions& options);

/// A number of the calibration's tables: the fewest fixed decimals that read back (by strtod) as
/// the very same double, and whole numbers without a point.
std::string fixedRoundTrip(double value);

/// The pool file of a calibration: the usual layout, the examinees per group as its calibration
/// row, the group shares as priors, and each probability in the fewest fixed decimals that read
/// back as the very same double.
std::string calibratedPoolText(const CalibratedPool& pool);

/// The calibration table: one row per item and group with the estimate, its standard error, the
/// answers it rests on and its flags.
std::string calibrationTableText(const CalibratedPool& pool);

/// The fit table of latent class counts: log-likelihood, parameters, AIC, BIC, entropy and which
/// one BIC chose.
std::string latentFitTableText(const Calibration& calibration);

}  // namespace quillon
