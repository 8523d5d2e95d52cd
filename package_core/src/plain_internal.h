// What the layer's own files share: how a column is made, how a setting a package names is read,
// and the trace kept in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/package_core/plain_values.h"
#include "quillon/run_reports/run_reports.h"

namespace quillon {

/// A number column, whole when its name is one of the counts, lengths, groups or positions.
PlainColumn numberColumn(std::string name);
PlainColumn textColumn(std::string name);

/// Whether a trace column holds text (the identifiers).
bool isTraceText(const std::string& name);

/// A problem with a package's call, and its kind.
struct PlainProblem {
    PlainProblemKind kind = PlainProblemKind::None;
    std::string text;
    explicit operator bool() const { return kind != PlainProblemKind::None; }
};

/// A name as the packages write it (underscores) in the runner's spelling (dashes).
std::string runnerName(std::string_view name);

/// The problem of a name that no setting has: the closest of `settings` (runner spelling, shown
/// with underscores) and `arguments` (as given).
PlainProblem unknownName(const char* what, const std::string& name, const std::vector<std::string>& settings,
                         const std::vector<std::string>& arguments);

/// A whole number from `low` to `high` written as text, or the problem naming the setting `shown`.
PlainProblem wholeSetting(const std::string& shown, std::string_view value, std::int64_t low, std::int64_t high,
                          std::int64_t& out);

/// The run settings named as a package names them, checked as the runner checks them.
PlainProblem plainRunSettings(const std::vector<std::pair<std::string, std::string>>& named,
                              const std::vector<std::string>& arguments, RunSettings& settings);

/// A matrix of answers as the response lines a run reads: the row's identifier, its true group's
/// digit and one character per item, a missing value as a blank. Every examinee needs a group
/// from 1 to `groupCount` (and at most 10, which one digit holds); an Input failure says which does not.
Outcome<std::string> answerLines(const PlainAnswers& data, std::int32_t groupCount);

/// The pool of a run given as a path, a text or a table (with its priors), read by the engine's
/// loader; an Input failure as a run would report it.
Outcome<ItemPool> loadPlainPool(const PlainInput& pool, const std::vector<double>& priors, const RunSettings& settings);

/// The trace rows of a run, kept as a plain table as the replay hands them on.
class PlainTraceRows : public TraceFields {
public:
    PlainTraceRows(std::int32_t groupCount, std::int32_t candidates);

    void whole(std::int64_t value) override;
    void number(double value) override;
    void text(const std::string& value) override;
    void missing() override;
    void rowEnd() override;

    PlainTable table;

private:
    PlainColumn& next();
    std::size_t at_ = 0;
};

/// The examinees table of a run, kept as a plain table as the replay hands its rows on: the file's
/// columns, a rule that never decided as NaN in both of its columns.
class PlainExamineeRows : public ExamineeResultSink {
public:
    explicit PlainExamineeRows(const std::vector<StoppingRule>& rules);

    void take(const ExamineeResult& result) override;

    PlainTable table;
};

/// Asks the caller's cancel callback once a cancel is not yet requested; a callback that fails
/// cannot be told anything more, so it counts as a cancel. Returns whether a cancel is requested.
inline bool askCancelled(const std::function<bool()>& cancelled, bool& requested) {
    if (!requested && cancelled) {
        try {
            requested = cancelled();
        } catch (...) {
            requested = true;
        }
    }
    return requested;
}

}  // namespace quillon
