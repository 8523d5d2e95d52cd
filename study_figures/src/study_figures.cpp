#include "quillon/study_figures/study_figures.h"

#include <algorithm>

#include "quillon/engine/output_tables.h"
#include "quillon/text/csv_fields.h"

namespace quillon {

namespace {

std::string numberField(const std::optional<double>& value) { return value ? formatRoundTrip(*value) : std::string(); }

std::string conditionStart(std::size_t condition, const std::vector<std::string>& levels) {
    std::string text = std::to_string(condition + 1);
    for (const std::string& level : levels) text += "," + quotedCsvField(level);
    return text;
}

std::string keyFields(const OutcomeKey& key) {
    return key.rule + "," + numberField(key.threshold) + "," + outcomeName(key.kind);
}

const RunOutcome* findOutcome(const std::vector<RunOutcome>& outcomes, const OutcomeKey& key) {
    const auto found =
        std::find_if(outcomes.begin(), outcomes.end(), [&](const RunOutcome& outcome) { return outcome.key == key; });
    return found == outcomes.end() ? nullptr : &*found;
}

}  // namespace

std::string figureFactorName(const std::string& settingName) {
    std::string name = settingName;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

StudyFiguresBuilder::StudyFiguresBuilder(std::string title, std::vector<FigureFactor> factors,
                                         std::int32_t replications, std::vector<std::size_t> referenceOf)
    : title_(std::move(title)),
      factors_(std::move(factors)),
      replications_(replications),
      referenceOf_(std::move(referenceOf)) {
    std::string start = "condition";
    for (const FigureFactor& factor : factors_) start += "," + quotedCsvField(factor.name);
    results_ = start;
    for (const std::string& name : studyTableColumns()[0]) results_ += "," + name;
    results_ += "\r\n";
    outcomes_ = start;
    for (const std::string& name : studyTableColumns()[1]) outcomes_ += "," + name;
    outcomes_ += "\r\n";
}

void StudyFiguresBuilder::addCondition(const std::vector<std::string>& levels,
                                       const std::vector<StudyRunStatistics>& runs,
                                       std::optional<double> exposureTarget) {
    const std::size_t c = conditions_.size();
    ConditionFigures condition;
    condition.exposureTarget = exposureTarget;
    condition.number = static_cast<std::int64_t>(c + 1);
    condition.reference = static_cast<std::int64_t>(referenceOf_.at(c) + 1);
    condition.levels = levels;
    const std::string start = conditionStart(c, levels);

    // The curves: every run's shares at each length it reached, summarised by length.
    std::vector<std::vector<std::array<Share, lengthMeasureNames.size()>>> byLength;
    for (const StudyRunStatistics& run : runs) {
        const RunStatistics& s = *run.statistics;
        const std::string rowStart = start + "," + std::to_string(run.replication) + ",";
        for (std::size_t n = 0; n < s.lengths.size(); ++n) {
            const std::array<Share, 12> shares = resultsShares(s.lengths[n], s.testsStarted);
            if (byLength.size() <= n) byLength.resize(n + 1);
            byLength[n].push_back(shares);
            results_ += rowStart + std::to_string(n + 1);
            // The Bayes rule classes tests of two groups only; its columns stay empty otherwise.
            const bool bayes = s.confusion.groupCount() == 2;
            for (std::size_t m = 0; m < shares.size(); ++m)
                results_ += "," + (m >= 8 && !bayes ? std::string() : numberField(shareValue(shares[m])));
            results_ += "\r\n";
        }
    }
    for (std::size_t n = 0; n < byLength.size(); ++n) {
        LengthFigures length;
        length.length = static_cast<std::int32_t>(n + 1);
        length.replications = static_cast<std::int64_t>(byLength[n].size());
        for (std::size_t m = 0; m < lengthMeasureNames.size(); ++m) {
            std::vector<Share> shares;
            for (const auto& run : byLength[n]) shares.push_back(run[m]);
            length.measures[m] = summarizeShares(shares);
        }
        condition.lengths.push_back(length);
    }

    // The outcomes: every run's, in the order the first run gives them.
    std::vector<std::pair<std::int32_t, std::vector<RunOutcome>>> kept;
    for (const StudyRunStatistics& run : runs) {
        std::vector<RunOutcome> outcomes = runOutcomes(*run.statistics);
        const std::string rowStart = start + "," + std::to_string(run.replication) + ",";
        for (const RunOutcome& outcome : outcomes)
            outcomes_ += rowStart + keyFields(outcome.key) + "," + numberField(outcome.value) + "\r\n";
        kept.emplace_back(run.replication, std::move(outcomes));
    }
    std::vector<OutcomeKey> keys;
    for (const auto& [replication, outcomes] : kept)
        for (const RunOutcome& outcome : outcomes)
            if (std::find(keys.begin(), keys.end(), outcome.key) == keys.end()) keys.push_back(outcome.key);
    for (const OutcomeKey& key : keys) {
        OutcomeFigures figures;
        figures.key = key;
        std::vector<Share> shares;
        std::vector<std::optional<double>> values;
        bool share = false;
        for (const auto& [replication, outcomes] : kept) {
            const RunOutcome* outcome = findOutcome(outcomes, key);
            if (outcome == nullptr) continue;
            share = outcome->isShare;
            shares.push_back(outcome->share);
            values.push_back(outcome->value);
        }
        figures.summary = share ? summarizeShares(shares) : summarizeValues(values);
        condition.outcomes.push_back(figures);
    }
    runOutcomes_.push_back(std::move(kept));
    conditions_.push_back(std::move(condition));
}

StudyFigures StudyFiguresBuilder::figures() const {
    StudyFigures figures{title_, replications_, factors_, conditions_};
    // Every condition of a replication saw the same examinees: the difference is taken within
    // each replication, then summarised.
    for (std::size_t c = 0; c < figures.conditions.size(); ++c) {
        const std::size_t reference = referenceOf_.at(c);
        if (reference == c || reference >= runOutcomes_.size()) continue;
        for (OutcomeFigures& outcome : figures.conditions[c].outcomes) {
            std::vector<std::optional<double>> differences;
            for (const auto& [replication, outcomes] : runOutcomes_[c]) {
                const RunOutcome* own = findOutcome(outcomes, outcome.key);
                const auto theirs = std::find_if(runOutcomes_[reference].begin(), runOutcomes_[reference].end(),
                                                 [&](const auto& run) { return run.first == replication; });
                if (theirs == runOutcomes_[reference].end()) continue;
                const RunOutcome* other = findOutcome(theirs->second, outcome.key);
                if (own == nullptr || other == nullptr || !own->value || !other->value) continue;
                differences.push_back(*own->value - *other->value);
            }
            outcome.difference = summarizeValues(differences);
        }
    }
    return figures;
}

std::string conditionLabel(const StudyFigures& figures, const ConditionFigures& condition) {
    std::string label;
    for (std::size_t f = 0; f < figures.factors.size() && f < condition.levels.size(); ++f)
        label += (label.empty() ? "" : ", ") + figures.factors[f].name + "=" + condition.levels[f];
    return label.empty() ? "condition " + std::to_string(condition.number) : label;
}

std::string outcomeLabel(const OutcomeKey& key) {
    std::string who = key.rule;
    if (key.threshold) who += " \xE2\x89\xA5 " + formatPlain(*key.threshold);
    switch (key.kind) {
        case OutcomeKind::Atl:
            return who + " ATL";
        case OutcomeKind::Pcc:
            return who + " PCC";
        case OutcomeKind::FalsePos:
            return who + " false positives";
        case OutcomeKind::FalseNeg:
            return who + " false negatives";
        case OutcomeKind::Undecided:
            return who + " undecided";
        case OutcomeKind::FirstLength90:
            return "first length MAP \xE2\x89\xA5 .90";
        case OutcomeKind::FirstLength95:
            return "first length MAP \xE2\x89\xA5 .95";
        case OutcomeKind::FirstLength99:
            return "first length MAP \xE2\x89\xA5 .99";
        case OutcomeKind::MaxExposureRate:
            return "maximum exposure rate";
        case OutcomeKind::NeverUsedShare:
            return "share of the pool never used";
        case OutcomeKind::MeanOverlap:
            return "mean test overlap";
        case OutcomeKind::ExposureChiSquare:
            return "exposure chi-square";
    }
    return outcomeName(key.kind);
}

}  // namespace quillon
