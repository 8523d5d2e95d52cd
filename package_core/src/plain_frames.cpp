// A run's tables built from its statistics, value for value what the writers write, but at full
// precision and with a share that has nothing to divide by left without a value (NaN).
#include <cmath>
#include <limits>

#include "plain_internal.h"
#include "quillon/charts/table_reader.h"
#include "quillon/engine/output_tables.h"

namespace quillon {

namespace {

constexpr double noValue = std::numeric_limits<double>::quiet_NaN();

}  // namespace

PlainTable resultsPlainTable(const RunStatistics& statistics, const RunSettings& settings) {
    // As the written table: no Bayes columns but with two groups.
    const std::size_t measures = settings.groupCount == 2 ? 12 : 8;
    PlainTable table;
    for (std::size_t c = 0; c <= measures; ++c)
        table.columns.push_back(numberColumn(std::string(resultsColumnNames[c])));
    const std::size_t lengths = static_cast<std::size_t>(std::max(0, settings.maxTestLength));
    for (PlainColumn& column : table.columns) column.numbers.reserve(lengths);
    // Lengths past the kept statistics were reached by no test.
    const LengthStatistics none;
    for (std::size_t n = 1; n <= lengths; ++n) {
        const LengthStatistics& length = n <= statistics.lengths.size() ? statistics.lengths[n - 1] : none;
        const std::array<Share, 12> shares = resultsShares(length, statistics.testsStarted);
        table.columns[0].numbers.push_back(static_cast<double>(n));
        for (std::size_t m = 0; m < measures; ++m) table.columns[m + 1].numbers.push_back(shares[m].value());
    }
    return table;
}

PlainTable exposurePlainTable(const RunStatistics& statistics, const ItemPool& pool) {
    PlainTable table;
    table.columns = {textColumn("item"), numberColumn("collection"), numberColumn("uses"), numberColumn("drop")};
    for (std::int32_t g = 1; g <= pool.groupCount; ++g)
        table.columns.push_back(numberColumn("p_group_" + std::to_string(g)));
    for (std::int32_t i = 1; i <= pool.itemCount; ++i) {
        const std::size_t at = static_cast<std::size_t>(i - 1);
        const std::int64_t uses = statistics.exposureCount[at];
        table.columns[0].texts.push_back(pool.itemId[at]);
        table.columns[1].numbers.push_back(pool.itemCollection[at]);
        table.columns[2].numbers.push_back(static_cast<double>(uses));
        table.columns[3].numbers.push_back(uses == 0 ? 1.0 : 0.0);  // the table's flag of an item never given
        const double* p = pool.itemRow(i);
        for (std::int32_t g = 0; g < pool.groupCount; ++g)
            table.columns[4 + static_cast<std::size_t>(g)].numbers.push_back(p[g]);
    }
    return table;
}

PlainTable stoppingPlainTable(const StoppingTable& stopping) {
    PlainTable table;
    table.columns = {textColumn("rule"),
                     numberColumn("threshold"),
                     textColumn("kind"),
                     numberColumn("length"),
                     numberColumn("tests"),
                     numberColumn("accurate"),
                     numberColumn("false_pos"),
                     numberColumn("false_neg"),
                     numberColumn("atl"),
                     numberColumn("pcc"),
                     numberColumn("false_pos_share"),
                     numberColumn("false_neg_share"),
                     numberColumn("undecided_share"),
                     numberColumn("fixed_atl"),
                     numberColumn("fixed_pcc")};
    for (const StoppingRow& row : stopping.rows()) {
        const StoppingRule& rule = stopping.rules()[row.rule];
        const bool summary = row.kind == StoppingRow::Kind::Summary;
        table.columns[0].texts.push_back(stoppingRuleName(rule));
        table.columns[1].numbers.push_back(rule.kind == StoppingRule::Kind::Sprt ? noValue : rule.threshold);
        table.columns[2].texts.push_back(stoppingRowKindName(row.kind));
        table.columns[3].numbers.push_back(summary ? noValue : row.length);
        const std::int64_t counts[] = {row.tests, row.accurate, row.falsePos, row.falseNeg};
        for (std::size_t c = 0; c < 4; ++c) table.columns[4 + c].numbers.push_back(static_cast<double>(counts[c]));
        for (std::size_t m = 0; m < row.measures.size(); ++m)
            table.columns[8 + m].numbers.push_back(summary ? row.measures[m].value() : noValue);
    }
    return table;
}

PlainTable confusionPlainTable(const ConfusionTable& confusion) {
    PlainTable table;
    table.columns = {numberColumn("length"), textColumn("rule"), numberColumn("true_group"),
                     numberColumn("decided_group"), numberColumn("tests")};
    for (const ConfusionRow& row : confusion.rows()) {
        table.columns[0].numbers.push_back(row.length);
        table.columns[1].texts.push_back(confusionRuleName(row.rule));
        table.columns[2].numbers.push_back(row.trueGroup);
        table.columns[3].numbers.push_back(row.decided);
        table.columns[4].numbers.push_back(static_cast<double>(row.tests));
    }
    return table;
}

PlainTraceRows::PlainTraceRows(std::int32_t groupCount, std::int32_t candidates) {
    for (std::string& name : traceColumnNames(groupCount, candidates))
        table.columns.push_back(isTraceText(name) ? textColumn(std::move(name)) : numberColumn(std::move(name)));
}

PlainColumn& PlainTraceRows::next() { return table.columns[at_++]; }

void PlainTraceRows::whole(std::int64_t value) { number(static_cast<double>(value)); }

void PlainTraceRows::number(double value) {
    PlainColumn& column = next();
    if (column.isText)
        column.texts.push_back(formatRoundTrip(value));
    else
        column.numbers.push_back(value);
}

void PlainTraceRows::text(const std::string& value) {
    PlainColumn& column = next();
    if (column.isText)
        column.texts.push_back(value);
    else
        column.numbers.push_back(noValue);
}

void PlainTraceRows::missing() {
    PlainColumn& column = next();
    if (column.isText)
        column.texts.emplace_back();
    else
        column.numbers.push_back(noValue);
}

void PlainTraceRows::rowEnd() { at_ = 0; }

PlainExamineeRows::PlainExamineeRows(const std::vector<StoppingRule>& rules) {
    for (std::string& name : examineeResultColumnNames(rules))
        table.columns.push_back(name == "examinee_id" ? textColumn(std::move(name)) : numberColumn(std::move(name)));
}

void PlainExamineeRows::take(const ExamineeResult& result) {
    std::vector<PlainColumn>& columns = table.columns;
    columns[0].numbers.push_back(static_cast<double>(result.line));
    columns[1].texts.push_back(result.id);
    columns[2].numbers.push_back(result.trueGroup);
    columns[3].numbers.push_back(result.test);
    columns[4].numbers.push_back(result.mapGroup);
    columns[5].numbers.push_back(result.mapProb);
    for (std::size_t r = 0; r < result.stops.size(); ++r) {
        const FirstDecision& stop = result.stops[r];
        // Length 0: the rule never decided, which the file leaves as two empty fields.
        const bool decided = stop.length != 0;
        columns[6 + 2 * r].numbers.push_back(decided ? stop.length : noValue);
        columns[7 + 2 * r].numbers.push_back(decided ? stop.group : noValue);
    }
}

const char* plainProblemKindName(PlainProblemKind kind) {
    switch (kind) {
        case PlainProblemKind::None:
            return "";
        case PlainProblemKind::SettingName:
            return "setting_name";
        case PlainProblemKind::SettingValue:
            return "setting_value";
        case PlainProblemKind::Input:
            return "input";
        case PlainProblemKind::Output:
            return "output";
        case PlainProblemKind::Message:
            break;
    }
    return "message";
}

PlainProblemKind plainProblemKind(FailureKind kind) {
    switch (kind) {
        case FailureKind::Usage:
            return PlainProblemKind::SettingValue;
        case FailureKind::Input:
            return PlainProblemKind::Input;
        case FailureKind::Output:
            return PlainProblemKind::Output;
        case FailureKind::Cancelled:
            break;
    }
    return PlainProblemKind::Message;
}

}  // namespace quillon
