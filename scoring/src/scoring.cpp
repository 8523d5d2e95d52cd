#include "quillon/scoring/scoring.h"

#include <optional>
#include <unordered_map>
#include <utility>

#include "quillon/engine/decisions.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/posterior.h"
#include "quillon/engine/stopping_table.h"
#include "quillon/engine/test_record.h"
#include "quillon/text/csv_fields.h"
#include "quillon/text/line_reader.h"

namespace quillon {

namespace {

constexpr const char* lineEnd = "\r\n";

Failure usageFailure(std::string message) { return Failure{FailureKind::Usage, std::move(message)}; }
Failure inputFailure(std::string message) { return Failure{FailureKind::Input, std::move(message)}; }

bool administered(const ObservedAnswers& data, std::size_t examinee, std::size_t item) {
    return item < data.itemCount() && data.answer(examinee, item) != Answer::NotAdministered;
}

// Why data, pool and options cannot be scored together, or nothing. The item-order reader gives the
// user's messages; the order checks here keep a caller that builds orders itself from reading past
// the pool.
std::optional<Failure> scoringProblem(const ItemPool& pool, const ObservedAnswers& data, const ScoreOptions& options) {
    if (Status checked = checkRunSettings(options.settings); !checked) return checked.failure();
    if (pool.groupCount != options.settings.groupCount)
        return usageFailure("The pool has " + std::to_string(pool.groupCount) + " groups, but " +
                            std::to_string(options.settings.groupCount) + " are asked for.");
    const std::size_t poolItems = static_cast<std::size_t>(pool.itemCount);
    for (std::size_t e = 0; e < data.examineeCount(); ++e) {
        for (std::size_t i = poolItems; i < data.itemCount(); ++i) {
            if (administered(data, e, i))
                return inputFailure(data.origins[e] + ": the line answers item " + std::to_string(i + 1) +
                                    ", but the pool has " + std::to_string(poolItems) + " items.");
        }
    }
    if (options.itemOrders.empty()) return std::nullopt;
    if (options.itemOrders.size() != data.examineeCount())
        return usageFailure("The item orders are given for " + std::to_string(options.itemOrders.size()) +
                            " examinees, but the data have " + std::to_string(data.examineeCount()) + ".");
    for (std::size_t e = 0; e < data.examineeCount(); ++e) {
        std::vector<bool> seen(poolItems, false);
        for (std::int32_t item : options.itemOrders[e]) {
            const std::size_t i = static_cast<std::size_t>(item);
            if (item < 0 || i >= poolItems || seen[i] || !administered(data, e, i))
                return usageFailure(data.origins[e] + ": the item order names item " + std::to_string(item + 1) +
                                    ", which is not a pool item answered once.");
            seen[i] = true;
        }
        for (std::size_t i = 0; i < poolItems; ++i)
            if (!seen[i] && administered(data, e, i))
                return usageFailure(data.origins[e] + ": the item order leaves out item " + std::to_string(i + 1) +
                                    ", which was answered.");
    }
    return std::nullopt;
}

}  // namespace

Outcome<std::vector<ExamineeScore>> scoreExaminees(const ItemPool& pool, const ObservedAnswers& data,
                                                   const ScoreOptions& options) {
    if (std::optional<Failure> problem = scoringProblem(pool, data, options)) return *problem;
    const RunSettings& settings = options.settings;
    // The stopping table's own rules, so that a length here is where a simulated test would stop.
    const std::vector<StoppingRule> rules = stoppingRules(settings.stopProbabilities);
    std::vector<std::int32_t> poolOrder;
    for (std::int32_t i = 0; i < pool.itemCount; ++i) poolOrder.push_back(i);

    std::vector<ExamineeScore> scores;
    scores.reserve(data.examineeCount());
    GroupPosterior posterior(pool.groupCount);
    TestRecord test;
    for (std::size_t e = 0; e < data.examineeCount(); ++e) {
        ExamineeScore score;
        score.id = data.examineeIds[e];
        score.origin = data.origins[e];
        posterior.resetPosterior(settings.uniformPriors, pool.groupPrior);
        // With no answer the start decides, as a test would before its first item.
        std::int32_t mapGroup = posterior.largestGroup();
        test.positions.clear();
        for (std::int32_t item : options.itemOrders.empty() ? poolOrder : options.itemOrders[e]) {
            const std::size_t i = static_cast<std::size_t>(item);
            if (!administered(data, e, i)) continue;  // not given: no evidence either way
            const std::int32_t r = data.answer(e, i) == Answer::Right ? 1 : 0;
            mapGroup = posterior.updatePosterior(pool.itemRow(item + 1), r);
            ++score.answered;
            score.right += r;
            if (options.sequential) {
                PositionOutcome p;
                p.item = item + 1;
                p.mapGroup = mapGroup;
                p.mapProb = mapGroup > 0 ? posterior(mapGroup) : 0.0;
                p.sprtGroup = sprtDecision(posterior, settings.sprtAlpha, settings.sprtBeta);
                test.positions.push_back(p);
            }
        }
        score.posterior = posterior.values();
        score.mapGroup = mapGroup;
        score.mapProbability = mapGroup > 0 ? posterior(mapGroup) : 0.0;
        if (pool.groupCount == 2) score.bayesDecision = bayesDecision(posterior, settings);
        score.sprtDecision = sprtDecision(posterior, settings.sprtAlpha, settings.sprtBeta);
        if (options.sequential) {
            for (const StoppingRule& rule : rules) {
                const std::int32_t length = firstDecision(rule, test).length;
                if (rule.kind == StoppingRule::Kind::Sprt)
                    score.sprtLength = length;
                else
                    score.stopLengths.push_back(length);
            }
        }
        scores.push_back(std::move(score));
    }
    return scores;
}

std::string scoreTableText(const std::vector<ExamineeScore>& scores, const ScoreOptions& options) {
    const RunSettings& settings = options.settings;
    std::string text = "examinee,line,answered,right";
    for (std::int32_t g = 1; g <= settings.groupCount; ++g) text += ",p_group_" + std::to_string(g);
    text += ",map_group,map_probability,bayes_decision,sprt_decision";
    if (options.sequential) {
        for (double x : settings.stopProbabilities) text += ",stop_length_" + formatPlain(x);
        text += ",sprt_length";
    }
    text += lineEnd;
    // A rule that never decided has no length to show.
    const auto length = [](std::int32_t n) { return n > 0 ? std::to_string(n) : std::string(); };
    for (const ExamineeScore& s : scores) {
        text += quotedCsvField(s.id) + ',' + quotedCsvField(s.origin) + ',' + std::to_string(s.answered) + ',' +
                std::to_string(s.right);
        for (double p : s.posterior) text += ',' + formatRoundTrip(p);
        text += ',' + std::to_string(s.mapGroup) + ',' + formatRoundTrip(s.mapProbability) + ',' +
                (settings.groupCount == 2 ? std::to_string(s.bayesDecision) : std::string()) + ',' +
                std::to_string(s.sprtDecision);
        if (options.sequential) {
            for (std::int32_t n : s.stopLengths) text += ',' + length(n);
            text += ',' + length(s.sprtLength);
        }
        text += lineEnd;
    }
    return text;
}

Outcome<std::vector<std::vector<std::int32_t>>> readItemOrders(const AnswerSource& source, const ObservedAnswers& data,
                                                               const std::vector<std::string>& poolItemIds) {
    // An identifier two pool items share cannot name either of them.
    constexpr std::int32_t ambiguous = -1;
    std::unordered_map<std::string, std::int32_t> itemOf;
    for (std::size_t i = 0; i < poolItemIds.size(); ++i) {
        const auto [at, added] = itemOf.emplace(poolItemIds[i], static_cast<std::int32_t>(i));
        if (!added) at->second = ambiguous;
    }
    std::vector<std::string> lines = splitLines(source.text);
    while (!lines.empty() && trimSpaces(lines.back()).empty()) lines.pop_back();
    if (lines.size() > data.examineeCount())
        return inputFailure(source.name + ", line " + std::to_string(data.examineeCount() + 1) +
                            ": the data have only " + std::to_string(data.examineeCount()) + " examinees.");

    std::vector<std::vector<std::int32_t>> orders;
    for (std::size_t e = 0; e < lines.size(); ++e) {
        const std::string where = source.name + ", line " + std::to_string(e + 1) + ": ";
        const std::vector<std::string> fields = csvFields(lines[e]);
        const std::string id = fields.empty() ? std::string() : trimSpaces(fields[0]);
        if (id != data.examineeIds[e])
            return inputFailure(where + "the examinee \"" + id + "\" is not the data's examinee " +
                                std::to_string(e + 1) + ", \"" + data.examineeIds[e] + "\" (" + data.origins[e] + ").");
        std::vector<std::int32_t> order;
        std::vector<bool> listed(poolItemIds.size(), false);
        for (std::size_t f = 1; f < fields.size(); ++f) {
            const std::string name = trimSpaces(fields[f]);
            if (name.empty()) continue;  // rows padded to a common width
            const auto found = itemOf.find(name);
            if (found == itemOf.end()) return inputFailure(where + "the item \"" + name + "\" is not in the pool.");
            if (found->second == ambiguous)
                return inputFailure(where + "the item \"" + name + "\" names more than one pool item.");
            const std::size_t i = static_cast<std::size_t>(found->second);
            if (listed[i]) return inputFailure(where + "the item \"" + name + "\" is listed twice.");
            if (!administered(data, e, i))
                return inputFailure(where + "the item \"" + name + "\" was not administered: its answer in " +
                                    data.origins[e] + " is blank.");
            listed[i] = true;
            order.push_back(found->second);
        }
        // An answer left out of the order would silently drop out of the score.
        for (std::size_t i = 0; i < poolItemIds.size(); ++i) {
            if (!listed[i] && administered(data, e, i))
                return inputFailure(where + "the item \"" + poolItemIds[i] + "\", answered in " + data.origins[e] +
                                    ", is not in the order.");
        }
        orders.push_back(std::move(order));
    }
    if (orders.size() < data.examineeCount())
        return inputFailure(source.name + " gives the order of " + std::to_string(orders.size()) +
                            " examinees, but the data have " + std::to_string(data.examineeCount()) + ".");
    return orders;
}

Outcome<std::vector<std::vector<std::int32_t>>> readItemOrderFile(const std::string& path, const ObservedAnswers& data,
                                                                  const std::vector<std::string>& poolItemIds) {
    std::optional<std::string> text = readWholeFile(path);
    if (!text) return inputFailure("Item-order file " + path + " cannot be read.");
    return readItemOrders({"Item-order file " + path, std::move(*text)}, data, poolItemIds);
}

}  // namespace quillon
