#include "quillon/study_figures/run_outcomes.h"

#include <algorithm>
#include <iterator>

#include "quillon/engine/output_tables.h"

namespace quillon {

namespace {

constexpr const char* outcomeNames[] = {"atl",
                                        "pcc",
                                        "false_pos",
                                        "false_neg",
                                        "undecided",
                                        "first_length_90",
                                        "first_length_95",
                                        "first_length_99",
                                        "max_exposure_rate",
                                        "never_used_share",
                                        "mean_overlap",
                                        "exposure_chi_square"};

RunOutcome shareOutcome(OutcomeKey key, double part, std::int64_t whole) {
    RunOutcome outcome{std::move(key), true, Share{part, whole}, std::nullopt};
    if (whole != 0) outcome.value = outcome.share.value();
    return outcome;
}

RunOutcome plainOutcome(OutcomeKey key, std::optional<double> value) {
    return RunOutcome{std::move(key), false, Share{}, value};
}

}  // namespace

const char* outcomeName(OutcomeKind kind) { return outcomeNames[static_cast<std::size_t>(kind)]; }

std::optional<OutcomeKind> outcomeKindNamed(const std::string& name) {
    const auto found = std::find(std::begin(outcomeNames), std::end(outcomeNames), name);
    if (found == std::end(outcomeNames)) return std::nullopt;
    return static_cast<OutcomeKind>(found - std::begin(outcomeNames));
}

ExposureFigures exposureFigures(const std::vector<std::int64_t>& useCounts, std::int64_t tests,
                                std::int64_t selections) {
    ExposureFigures figures;
    figures.items = static_cast<std::int64_t>(useCounts.size());
    figures.tests = tests;
    figures.itemsUsed = std::count_if(useCounts.begin(), useCounts.end(), [](std::int64_t uses) { return uses > 0; });
    if (figures.items == 0) return figures;
    const auto n = static_cast<double>(figures.items);
    figures.neverUsedShare = static_cast<double>(figures.items - figures.itemsUsed) / n;
    if (tests == 0) return figures;
    // The mean test length: the rates of a pool evenly used would all be length / items.
    const double length = static_cast<double>(selections) / static_cast<double>(tests);
    const double meanRate = length / n;
    double maxRate = 0, squares = 0;
    for (std::int64_t uses : useCounts) {
        const double rate = static_cast<double>(uses) / static_cast<double>(tests);
        maxRate = std::max(maxRate, rate);
        squares += (rate - meanRate) * (rate - meanRate);
    }
    figures.maxRate = maxRate;
    // Overlap after Chen, Ankenmann and Spray (2003): N * Var(rate) / L + L / N.
    figures.meanOverlap = n * (squares / n) / length + length / n;
    // Chang and Ying's (1999) chi-square of the rates against even use.
    if (meanRate > 0) figures.chiSquare = squares / meanRate;
    return figures;
}

std::vector<RunOutcome> runOutcomes(const RunStatistics& statistics) {
    std::vector<RunOutcome> outcomes;
    const std::vector<StoppingRule>& rules = statistics.stopping.rules();
    for (std::size_t r = 0; r < rules.size(); ++r) {
        const StoppingSummary s = statistics.stopping.summary(r);
        const std::string rule = stoppingRuleName(rules[r]);
        std::optional<double> threshold;
        if (rules[r].kind == StoppingRule::Kind::PosteriorThreshold) threshold = rules[r].threshold;
        const auto key = [&](OutcomeKind kind) { return OutcomeKey{kind, rule, threshold}; };
        const auto d = [](std::int64_t count) { return static_cast<double>(count); };
        outcomes.push_back(shareOutcome(key(OutcomeKind::Atl), d(s.lengthSum), s.tests));
        outcomes.push_back(shareOutcome(key(OutcomeKind::Pcc), d(s.accurate), s.tests));
        outcomes.push_back(shareOutcome(key(OutcomeKind::FalsePos), d(s.falsePos), s.tests));
        outcomes.push_back(shareOutcome(key(OutcomeKind::FalseNeg), d(s.falseNeg), s.tests));
        outcomes.push_back(shareOutcome(key(OutcomeKind::Undecided), d(s.undecided), s.tests));
    }
    // MAP accuracy as the curves give it, compared in whole numbers so that exactly .90 counts.
    constexpr std::pair<OutcomeKind, std::int64_t> targets[] = {
        {OutcomeKind::FirstLength90, 90}, {OutcomeKind::FirstLength95, 95}, {OutcomeKind::FirstLength99, 99}};
    for (const auto& [kind, percent] : targets) {
        std::optional<double> first;
        for (std::size_t n = 0; n < statistics.lengths.size() && !first; ++n) {
            const Share accurate = resultsShares(statistics.lengths[n], statistics.testsStarted)[0];
            const auto part = static_cast<std::int64_t>(accurate.part);
            if (accurate.whole > 0 && part * 100 >= percent * accurate.whole) first = static_cast<double>(n + 1);
        }
        outcomes.push_back(plainOutcome({kind, "MAP", std::nullopt}, first));
    }
    const ExposureFigures exposure =
        exposureFigures(statistics.exposureCount, statistics.testsTaken, statistics.selections);
    outcomes.push_back(plainOutcome({OutcomeKind::MaxExposureRate, "", std::nullopt}, exposure.maxRate));
    outcomes.push_back(plainOutcome({OutcomeKind::NeverUsedShare, "", std::nullopt}, exposure.neverUsedShare));
    outcomes.push_back(plainOutcome({OutcomeKind::MeanOverlap, "", std::nullopt}, exposure.meanOverlap));
    outcomes.push_back(plainOutcome({OutcomeKind::ExposureChiSquare, "", std::nullopt}, exposure.chiSquare));
    return outcomes;
}

}  // namespace quillon
