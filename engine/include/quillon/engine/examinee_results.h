#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quillon/engine/simulation.h"
#include "quillon/engine/stopping_table.h"

namespace quillon {

/// One examinee's test as a study of stopping rules wants it: who, the final MAP classification,
/// and where and how each stopping rule would have ended the test.
struct ExamineeResult {
    std::int64_t line = 0;  // 1-based line of the response file
    std::string id;         // characters 1 to 11 of the line, without the blanks around them
    std::int32_t trueGroup = 0;
    std::int32_t test = 0;  // 1-based test of the examinee
    std::int32_t mapGroup = 0;
    double mapProb = 0.0;
    std::vector<FirstDecision> stops;  // one per rule; {0, 0} when the rule never decided
};

/// The result of one complete test under `rules`.
ExamineeResult examineeResultOf(const ExamineeLine& examinee, std::int32_t testNumber, const TestRecord& test,
                                const std::vector<StoppingRule>& rules);

/// The examinees table's column names for these rules: the file's header and a table kept in memory.
std::vector<std::string> examineeResultColumnNames(const std::vector<StoppingRule>& rules);

/// The examinees file's header line (CR LF ended) for these rules.
std::string examineeResultsHeader(const std::vector<StoppingRule>& rules);

/// Appends one row (CR LF ended): numbers in their shortest exact form, a rule that never decided
/// as two empty fields.
void appendExamineeRow(std::string& text, const ExamineeResult& result);

/// The number of fields of every row for `ruleCount` rules.
std::size_t examineeRowFields(std::size_t ruleCount);

}  // namespace quillon
