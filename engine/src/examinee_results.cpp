#include "quillon/engine/examinee_results.h"

#include "quillon/engine/output_tables.h"

namespace quillon {

ExamineeResult examineeResultOf(const ExamineeLine& examinee, std::int32_t testNumber, const TestRecord& test,
                                const std::vector<StoppingRule>& rules) {
    ExamineeResult result;
    result.line = examinee.number;
    result.id = responseLineId(*examinee.text);
    result.trueGroup = examinee.trueGroup;
    result.test = testNumber;
    if (!test.positions.empty()) {
        result.mapGroup = test.positions.back().mapGroup;
        result.mapProb = test.positions.back().mapProb;
    }
    result.stops.reserve(rules.size());
    for (const StoppingRule& rule : rules) result.stops.push_back(firstDecision(rule, test));
    return result;
}

std::vector<std::string> examineeResultColumnNames(const std::vector<StoppingRule>& rules) {
    std::vector<std::string> names = {"examinee", "examinee_id", "true_group", "test", "map_group", "map_prob"};
    for (const StoppingRule& rule : rules) {
        const std::string name =
            rule.kind == StoppingRule::Kind::Sprt ? std::string("sprt") : "posterior_" + formatPlain(rule.threshold);
        names.push_back(name + "_length");
        names.push_back(name + "_group");
    }
    return names;
}

std::string examineeResultsHeader(const std::vector<StoppingRule>& rules) {
    std::string text;
    for (const std::string& name : examineeResultColumnNames(rules)) text += (text.empty() ? "" : ",") + name;
    return text + "\r\n";
}

void appendExamineeRow(std::string& text, const ExamineeResult& result) {
    text += std::to_string(result.line);
    text += ',';
    text += poolField(result.id);
    text += ',' + std::to_string(result.trueGroup) + ',' + std::to_string(result.test) + ',' +
            std::to_string(result.mapGroup) + ',' + formatRoundTrip(result.mapProb);
    for (const FirstDecision& stop : result.stops) {
        if (stop.length == 0) {
            text += ",,";
        } else {
            text += ',' + std::to_string(stop.length) + ',' + std::to_string(stop.group);
        }
    }
    text += "\r\n";
}

std::size_t examineeRowFields(std::size_t ruleCount) { return 6 + 2 * ruleCount; }

}  // namespace quillon
