#include "latent_classes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_limits.h"

namespace quillon {

namespace {

// A class expected to hold fewer members than this many examinees, or this share of them, is
// "almost empty": its estimates rest on next to nothing.
constexpr double fewMembers = 5;
constexpr double fewMembersShare = 0.01;

// Starts whose log-likelihoods differ by less than this (relative, but at least the absolute
// floor) reached the same optimum: EM stops short of the exact maximum by about its tolerance.
constexpr double sameOptimumRelative = 1e-6;
constexpr double sameOptimumAbsolute = 1e-3;

// A maximum likelihood estimate this close to 0 or 1 sits on the boundary.
constexpr double boundaryDistance = 1e-6;

std::string number(double value, const char* format = "%.6g") {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

/// The administered answers, examinee by examinee, as item * 2 + (1 when right): built once so
/// that every EM iteration walks only what was answered.
struct CompactAnswers {
    std::size_t itemCount = 0;
    std::vector<std::uint32_t> codes;
    std::vector<std::size_t> firstCode;  // examinee k's codes are [firstCode[k], firstCode[k + 1])
    std::size_t silentExaminees = 0;     // examinees who answered nothing: they carry no information
    std::vector<bool> itemAnswered;
    std::size_t answeredItems = 0;

    std::size_t examineeCount() const { return firstCode.size() - 1; }
};

CompactAnswers compactAnswers(const ObservedAnswers& data) {
    CompactAnswers compact;
    compact.itemCount = data.itemCount();
    compact.itemAnswered.assign(compact.itemCount, false);
    compact.firstCode.push_back(0);
    for (std::size_t examinee = 0; examinee < data.examineeCount(); ++examinee) {
        const std::size_t before = compact.codes.size();
        for (std::size_t item = 0; item < compact.itemCount; ++item) {
            const Answer answer = data.answer(examinee, item);
            if (answer == Answer::NotAdministered) continue;
            compact.codes.push_back(static_cast<std::uint32_t>(item * 2 + (answer == Answer::Right ? 1 : 0)));
            compact.itemAnswered[item] = true;
        }
        if (compact.codes.size() == before)
            ++compact.silentExaminees;
        else
            compact.firstCode.push_back(compact.codes.size());
    }
    compact.answeredItems =
        static_cast<std::size_t>(std::count(compact.itemAnswered.begin(), compact.itemAnswered.end(), true));
    return compact;
}

/// The parameters of a latent class model: class shares and, per item and class, the
/// probability of a right answer.
struct ClassModel {
    std::vector<double> share;     // [class]
    std::vector<double> pCorrect;  // [item * classes + class]
};

/// One start's outcome.
struct StartResult {
    double logLikelihood = 0;
    std::int32_t iterations = 0;
    bool converged = false;
    double lastGain = 0;
};

/// EM for one class count over compact answers; all buffers are sized once, so an iteration
/// allocates nothing.
class EmFit {
public:
    EmFit(const CompactAnswers& answers, std::int32_t classes)
        : answers_(answers),
          classes_(static_cast<std::size_t>(classes)),
          logTable_(answers.itemCount * 2 * classes_),
          counts_(answers.itemCount * 2 * classes_),
          logShare_(classes_),
          classTotals_(classes_) {}

    /// The log-likelihood of `model`; leaves the expected counts of its E-step behind, and with
    /// `entropy` the summed entropy of the examinees' class memberships there.
    double expectation(const ClassModel& model, double* entropy = nullptr) {
        for (std::size_t g = 0; g < classes_; ++g) logShare_[g] = std::log(model.share[g]);
        for (std::size_t item = 0; item < answers_.itemCount; ++item) {
            for (std::size_t g = 0; g < classes_; ++g) {
                const double p = model.pCorrect[item * classes_ + g];
                logTable_[(item * 2) * classes_ + g] = std::log1p(-p);
                logTable_[(item * 2 + 1) * classes_ + g] = std::log(p);
            }
        }
        std::fill(counts_.begin(), counts_.end(), 0.0);
        std::fill(classTotals_.begin(), classTotals_.end(), 0.0);
        // The class count is fixed per fit: a pass compiled for it keeps an examinee's class
        // terms in registers.
        using Pass = double (EmFit::*)(double*);
        static constexpr Pass passes[maxResponseGroup + 1] = {
            nullptr,         &EmFit::pass<1>, &EmFit::pass<2>, &EmFit::pass<3>, &EmFit::pass<4>, &EmFit::pass<5>,
            &EmFit::pass<6>, &EmFit::pass<7>, &EmFit::pass<8>, &EmFit::pass<9>, &EmFit::pass<10>};
        return (this->*passes[classes_])(entropy);
    }

    /// The examinee loop of `expectation` for G classes.
    template <std::size_t G>
    double pass(double* entropy) {
        double logLikelihood = 0;
        double entropySum = 0;
        double classLog[G], weights[G];
        const std::size_t examinees = answers_.examineeCount();
        const std::uint32_t* codes = answers_.codes.data();
        const double* logTable = logTable_.data();
        double* counts = counts_.data();
        for (std::size_t examinee = 0; examinee < examinees; ++examinee) {
            const std::uint32_t* code = codes + answers_.firstCode[examinee];
            const std::uint32_t* end = codes + answers_.firstCode[examinee + 1];
            for (std::size_t g = 0; g < G; ++g) classLog[g] = logShare_[g];
            for (const std::uint32_t* c = code; c != end; ++c) {
                const double* row = logTable + static_cast<std::size_t>(*c) * G;
                for (std::size_t g = 0; g < G; ++g) classLog[g] += row[g];
            }
            // Products of many probabilities underflow: scale by the largest class term.
            double top = classLog[0];
            for (std::size_t g = 1; g < G; ++g) top = std::max(top, classLog[g]);
            double sum = 0;
            for (std::size_t g = 0; g < G; ++g) sum += weights[g] = std::exp(classLog[g] - top);
            logLikelihood += top + std::log(sum);
            for (std::size_t g = 0; g < G; ++g) {
                weights[g] /= sum;
                classTotals_[g] += weights[g];
                if (entropy && weights[g] > 0) entropySum -= weights[g] * std::log(weights[g]);
            }
            for (const std::uint32_t* c = code; c != end; ++c) {
                double* row = counts + static_cast<std::size_t>(*c) * G;
                for (std::size_t g = 0; g < G; ++g) row[g] += weights[g];
            }
        }
        if (entropy) *entropy = entropySum;
        return logLikelihood;
    }

    /// Moves `model` to the maximum of the last E-step's expected complete-data likelihood.
    void maximization(ClassModel& model) const {
        const double examinees = static_cast<double>(answers_.examineeCount());
        for (std::size_t g = 0; g < classes_; ++g) model.share[g] = classTotals_[g] / examinees;
        for (std::size_t item = 0; item < answers_.itemCount; ++item) {
            for (std::size_t g = 0; g < classes_; ++g) {
                const double right = rightCount(item, g);
                const double all = answerCount(item, g);
                // With no expected answer the data say nothing: the old value is as good as any.
                if (all > 0) model.pCorrect[item * classes_ + g] = right / all;
            }
        }
    }

    /// Runs EM from `model` until the relative gain falls below `tolerance` or `maxIterations`
    /// steps are done; `trace` receives the log-likelihood before the first step and after each.
    StartResult run(ClassModel& model, double tolerance, std::int32_t maxIterations, std::vector<double>& trace) {
        trace.clear();
        StartResult result;
        double logLikelihood = expectation(model);
        trace.push_back(logLikelihood);
        for (std::int32_t iteration = 1; iteration <= maxIterations; ++iteration) {
            maximization(model);
            const double next = expectation(model);
            trace.push_back(next);
            const double gain = next - logLikelihood;
            logLikelihood = next;
            result.iterations = iteration;
            result.lastGain = gain / std::fabs(logLikelihood);
            // Rounding can turn a vanishing gain slightly negative: that is convergence too.
            if (gain <= tolerance * std::fabs(logLikelihood)) {
                result.converged = true;
                break;
            }
        }
        result.logLikelihood = logLikelihood;
        return result;
    }

    double rightCount(std::size_t item, std::size_t g) const { return counts_[(item * 2 + 1) * classes_ + g]; }
    double answerCount(std::size_t item, std::size_t g) const {
        return counts_[(item * 2) * classes_ + g] + counts_[(item * 2 + 1) * classes_ + g];
    }
    double classTotal(std::size_t g) const { return classTotals_[g]; }

private:
    const CompactAnswers& answers_;
    std::size_t classes_;
    std::vector<double> logTable_;  // [(item * 2 + right) * classes + class]: log p or log(1 - p)
    std::vector<double> counts_;    // expected answers, laid out as logTable_
    std::vector<double> logShare_, classTotals_;
};

/// The seed of one start: a fixed mix of the calibration seed, the class count and the start,
/// so each start is reproducible on any platform and independent of the others.
std::uint32_t startSeed(std::uint64_t seed, std::int32_t classes, std::int32_t start) {
    const std::uint64_t mixed = splitMix64(splitMix64(splitMix64(seed) ^ static_cast<std::uint64_t>(classes)) ^
                                           static_cast<std::uint64_t>(start));
    return static_cast<std::uint32_t>(mixed >> 32);
}

/// A random start: probabilities spread over (0.1, 0.9), away from the boundary where EM
/// cannot move them, and equal class shares.
ClassModel randomStart(std::size_t items, std::size_t classes, std::uint32_t seed) {
    RandomGenerator generator(seed);
    ClassModel model;
    model.share.assign(classes, 1.0 / static_cast<double>(classes));
    model.pCorrect.resize(items * classes);
    for (double& p : model.pCorrect) p = 0.1 + 0.8 * generator.nextUniform();
    return model;
}

/// The best of the starts for one class count, its classes ordered weakest first.
struct ClassCountFit {
    LatentFit fit;
    ClassModel model;
};

/// The free parameters of a model: the class shares but one, and a probability per class for
/// every item anyone answered (an item nobody answered has none the data could estimate).
std::int64_t parameterCount(std::int32_t classes, const CompactAnswers& answers) {
    return (classes - 1) + static_cast<std::int64_t>(classes) * static_cast<std::int64_t>(answers.answeredItems);
}

Failure refusal(std::string message) { return Failure{FailureKind::Usage, std::move(message)}; }

std::optional<Failure> checkOptions(const CalibrationOptions& options, const CompactAnswers& answers) {
    // One class is fitted only as the baseline BIC weighs the others against.
    if (options.latentMin < 1 || options.latentMax < minGroupCount)
        return refusal("Latent classes range up to at least " + std::to_string(minGroupCount) + " (asked for " +
                       std::to_string(options.latentMin) + ".." + std::to_string(options.latentMax) +
                       "): a single class classifies nobody.");
    if (options.latentMax > maxResponseGroup)
        return refusal("At most " + std::to_string(maxResponseGroup) + " latent classes (asked for " +
                       std::to_string(options.latentMax) + "): a response line holds the group as one digit.");
    if (options.latentMin > options.latentMax)
        return refusal("The latent class range " + std::to_string(options.latentMin) + ".." +
                       std::to_string(options.latentMax) + " is empty.");
    if (options.starts < 1)
        return refusal("Latent classes need at least one start (asked for " + std::to_string(options.starts) + ").");
    if (options.maxIterations < 1)
        return refusal("Latent classes need at least one EM iteration (asked for " +
                       std::to_string(options.maxIterations) + ").");
    if (!(options.tolerance >= 0) || !std::isfinite(options.tolerance))
        return refusal("The EM tolerance must be a finite number of 0 or more (got " + number(options.tolerance) +
                       ").");
    const std::size_t examinees = answers.examineeCount();
    if (examinees == 0) return Failure{FailureKind::Input, "No examinee answered any item: there is nothing to fit."};
    // Both limits grow with the class count, so the largest count asked decides.
    const std::int32_t G = options.latentMax;
    std::int32_t most = 1;
    while (most < maxResponseGroup && static_cast<std::size_t>(most + 1) <= examinees &&
           static_cast<std::size_t>(parameterCount(most + 1, answers)) <= answers.codes.size())
        ++most;
    const std::string allowed =
        most >= 2 ? " (they allow at most " + std::to_string(most) + ")" : " (they cannot carry even 2)";
    if (static_cast<std::size_t>(G) > examinees)
        return refusal(std::to_string(G) + " latent classes need at least as many examinees, and only " +
                       std::to_string(examinees) + " answered any item" + allowed + ".");
    if (static_cast<std::size_t>(parameterCount(G, answers)) > answers.codes.size())
        return refusal("The data cannot identify " + std::to_string(G) + " latent classes: they have " +
                       std::to_string(parameterCount(G, answers)) + " parameters and the answers number only " +
                       std::to_string(answers.codes.size()) + allowed + ".");
    return std::nullopt;
}

ClassCountFit fitClassCount(const CompactAnswers& answers, std::int32_t classes, const CalibrationOptions& options,
                            std::vector<std::string>& warnings) {
    const std::size_t G = static_cast<std::size_t>(classes);
    EmFit em(answers, classes);
    std::vector<double> trace, bestTrace;
    // Enough for any run that converges; a huge iteration limit should not reserve memory up front.
    trace.reserve(static_cast<std::size_t>(std::min(options.maxIterations, 10000)) + 1);
    std::vector<double> finals;
    ClassCountFit best;
    StartResult bestResult;
    bool haveBest = false;
    for (std::int32_t start = 0; start < options.starts; ++start) {
        ClassModel model = randomStart(answers.itemCount, G, startSeed(options.seed, classes, start));
        const StartResult result = em.run(model, options.tolerance, options.maxIterations, trace);
        finals.push_back(result.logLikelihood);
        if (!haveBest || result.logLikelihood > bestResult.logLikelihood) {
            haveBest = true;
            bestResult = result;
            best.model = std::move(model);
            bestTrace = trace;
        }
    }

    // Order the classes weakest first, by mean probability over the items anyone answered.
    std::vector<double> mean(G, 0.0);
    for (std::size_t item = 0; item < answers.itemCount; ++item)
        if (answers.itemAnswered[item])
            for (std::size_t g = 0; g < G; ++g) mean[g] += best.model.pCorrect[item * G + g];
    std::vector<std::size_t> order(G);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return mean[a] < mean[b]; });
    ClassModel ordered;
    ordered.share.resize(G);
    ordered.pCorrect.resize(best.model.pCorrect.size());
    for (std::size_t g = 0; g < G; ++g) {
        ordered.share[g] = best.model.share[order[g]];
        for (std::size_t item = 0; item < answers.itemCount; ++item)
            ordered.pCorrect[item * G + g] = best.model.pCorrect[item * G + order[g]];
    }
    best.model = std::move(ordered);

    LatentFit& fit = best.fit;
    fit.classes = classes;
    double entropySum = 0;
    fit.logLikelihood = em.expectation(best.model, &entropySum);
    // Examinees who answered nothing add nothing to the likelihood, so they do not count as
    // observations in BIC or the entropy either.
    const double n = static_cast<double>(answers.examineeCount());
    fit.parameters =
        (classes - 1) + static_cast<std::int64_t>(classes) * static_cast<std::int64_t>(answers.answeredItems);
    fit.aic = -2 * fit.logLikelihood + 2 * static_cast<double>(fit.parameters);
    fit.bic = -2 * fit.logLikelihood + std::log(n) * static_cast<double>(fit.parameters);
    // One class leaves no doubt about anyone's membership.
    fit.entropy = classes == 1 ? 1.0 : 1 - entropySum / (n * std::log(static_cast<double>(classes)));
    fit.iterations = bestResult.iterations;
    fit.converged = bestResult.converged;
    const double closeEnough = std::max(sameOptimumRelative * std::fabs(bestResult.logLikelihood), sameOptimumAbsolute);
    fit.startsAtBest = static_cast<std::int32_t>(std::count_if(
        finals.begin(), finals.end(), [&](double value) { return bestResult.logLikelihood - value <= closeEnough; }));
    fit.logLikelihoods = std::move(bestTrace);

    const std::string prefix = std::to_string(classes) + " latent classes: ";
    if (!fit.converged)
        warnings.push_back(prefix + "the best start did not converge within " + std::to_string(options.maxIterations) +
                           " iterations (its last relative gain was " + number(bestResult.lastGain, "%.3g") +
                           "); raise the iteration limit or the tolerance.");
    if (options.starts > 1 && fit.startsAtBest == 1)
        warnings.push_back(prefix + "only one of " + std::to_string(options.starts) +
                           " starts reached the best log-likelihood, " + number(fit.logLikelihood, "%.4f") +
                           "; the starts disagree on the optimum, and more starts may find a better one.");
    return best;
}

/// The pool of a fitted model: each estimate is shrunk by the prior on the expected counts of
/// the model's E-step (`em` must hold them), so it stays inside (0, 1).
CalibratedPool latentPool(const ObservedAnswers& data, const CompactAnswers& answers, const EmFit& em,
                          const ClassModel& model, std::int32_t classes, const CalibrationOptions& options) {
    const std::size_t G = static_cast<std::size_t>(classes);
    CalibratedPool pool;
    pool.groupCount = classes;
    pool.items = data.items;
    pool.estimates.resize(answers.itemCount * G);
    pool.dropped.assign(answers.itemCount, false);
    pool.groupShares = model.share;
    pool.groupSizes.resize(G);
    for (std::size_t g = 0; g < G; ++g)
        pool.groupSizes[g] = em.classTotal(g) + static_cast<double>(answers.silentExaminees) * model.share[g];
    for (std::size_t item = 0; item < answers.itemCount; ++item) {
        bool thin = false;
        for (std::size_t g = 0; g < G; ++g) {
            ItemGroupEstimate& estimate = pool.estimates[item * G + g];
            estimate = shrunkEstimate(em.answerCount(item, g), em.rightCount(item, g), options);
            if (estimate.answers > 0) {
                const double ml = estimate.right / estimate.answers;
                if (ml <= boundaryDistance || ml >= 1 - boundaryDistance) estimate.flags |= flagBoundary;
            }
            if (estimate.flags & flagThin) thin = true;
        }
        if (thin && options.dropThin) {
            pool.dropped[item] = true;
            for (std::size_t g = 0; g < G; ++g) pool.estimates[item * G + g].flags |= flagDropped;
        }
    }
    return pool;
}

void addPoolWarnings(const CalibratedPool& pool, const CompactAnswers& answers, std::vector<std::string>& warnings) {
    const std::size_t G = static_cast<std::size_t>(pool.groupCount);
    const std::string prefix = std::to_string(pool.groupCount) + " latent classes: ";
    std::size_t onBoundary = 0;
    for (const ItemGroupEstimate& estimate : pool.estimates)
        if (estimate.flags & flagBoundary) ++onBoundary;
    if (onBoundary > 0)
        warnings.push_back(prefix + std::to_string(onBoundary) +
                           " estimates lie on 0 or 1 at their maximum likelihood (flagged in the calibration "
                           "table); the pool holds them shrunk by the prior, but the data barely support them.");
    const double examinees = static_cast<double>(answers.examineeCount() + answers.silentExaminees);
    const double threshold = std::max(fewMembers, fewMembersShare * examinees);
    for (std::size_t g = 0; g < G; ++g)
        if (pool.groupSizes[g] < threshold)
            warnings.push_back(prefix + "class " + std::to_string(g + 1) + " has almost no members (" +
                               number(pool.groupSizes[g], "%.2f") + " expected examinees, fewer than " +
                               number(fewMembers, "%.0f") +
                               " or 1% of the examinees); its estimates rest on next to nothing.");
    for (std::size_t item = 0; item < answers.itemCount; ++item)
        if (!answers.itemAnswered[item])
            warnings.push_back("item " + pool.items[item].id +
                               ": nobody answered it; its estimates are the prior's mean.");
    const auto dropped = static_cast<std::size_t>(std::count(pool.dropped.begin(), pool.dropped.end(), true));
    if (dropped > 0)
        warnings.push_back(std::to_string(dropped) + " thin item" + (dropped == 1 ? " is" : "s are") +
                           " marked dropped.");
}

}  // namespace

ItemGroupEstimate shrunkEstimate(double answers, double right, const CalibrationOptions& options) {
    ItemGroupEstimate estimate;
    estimate.answers = answers;
    estimate.right = right;
    const double a = right + options.priorA;
    const double b = (answers - right) + options.priorB;
    estimate.estimate = a / (a + b);
    estimate.standardError = std::sqrt(a * b / ((a + b) * (a + b) * (a + b + 1)));
    if (answers <= 0) estimate.flags |= flagNoAnswers | flagThin;
    if (answers < static_cast<double>(options.minAnswers)) estimate.flags |= flagThin;
    return estimate;
}

Outcome<Calibration> calibrateLatentClasses(const ObservedAnswers& data, const CalibrationOptions& options) {
    const CompactAnswers answers = compactAnswers(data);
    if (auto failure = checkOptions(options, answers)) return *failure;

    Calibration calibration;
    std::vector<ClassModel> models;
    for (std::int32_t classes = options.latentMin; classes <= options.latentMax; ++classes) {
        ClassCountFit fitted = fitClassCount(answers, classes, options, calibration.warnings);
        calibration.fits.push_back(std::move(fitted.fit));
        models.push_back(std::move(fitted.model));
    }
    // The pool needs two classes at least, so a one-class baseline is never the choice; BIC
    // preferring it says the items tell no groups apart.
    const std::size_t first = options.latentMin == 1 ? 1 : 0;
    calibration.chosenFit = first;
    for (std::size_t k = first + 1; k < calibration.fits.size(); ++k)
        if (calibration.fits[k].bic < calibration.fits[calibration.chosenFit].bic) calibration.chosenFit = k;
    if (first == 1 && calibration.fits[0].bic <= calibration.fits[calibration.chosenFit].bic)
        calibration.warnings.push_back(
            "BIC prefers a single class: the answers show no groups the items tell apart, "
            "so the " +
            std::to_string(calibration.fits[calibration.chosenFit].classes) + "-class pool rests on noise.");

    const std::int32_t chosen = calibration.fits[calibration.chosenFit].classes;
    EmFit em(answers, chosen);
    (void)em.expectation(models[calibration.chosenFit]);
    calibration.pool = latentPool(data, answers, em, models[calibration.chosenFit], chosen, options);
    if (std::count(calibration.pool.dropped.begin(), calibration.pool.dropped.end(), true) ==
        static_cast<std::ptrdiff_t>(answers.itemCount))
        return refusal("Every item is thin (fewer than " + std::to_string(options.minAnswers) +
                       " expected answers from some class), so dropping thin items would leave a pool with no item.");
    addPoolWarnings(calibration.pool, answers, calibration.warnings);
    return calibration;
}

}  // namespace quillon
