#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/engine/exact_sum.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/run_statistics.h"
#include "quillon/engine/share.h"

namespace quillon {

/// Shortest decimal with up to 15 significant digits, no zero before the point (.85, -.5),
/// exponent form below 1E-15 or from 1E15 on.
std::string formatPlain(double value);

/// The shortest text that reads back as the same double (special values as in the plain form); for
/// traces and study summaries, not for the tables.
std::string formatRoundTrip(double value);

/// The masks "#.0000" and "#.000": exactly rounded, halves to even, no zero before the point;
/// special values are spelled as in the plain form ("NaN", "Infinity", "-Infinity").
std::string formatDecimals(double value, int decimals);

/// The mask " #,": a leading space and the whole number with thousands separators.
std::string formatThousands(std::int64_t value);

/// numerator * 100 / denominator rounded to a whole number, halves to even (0 when denominator is 0).
std::int64_t roundedPercent(std::int64_t numerator, std::int64_t denominator);

/// The twelve measures of the results table at one length, in the table's column order after
/// `Nitems`: MAP accurate, false positive, false negative and mean probability, SPRT decided,
/// accurate, false positive and false negative, then the same four of the Bayes rule. The mean
/// probabilities and the decided share are over `testsStarted`, the rest over the tests the rule
/// classed at that length.
std::array<Share, 12> resultsShares(const LengthStatistics& length, std::int64_t testsStarted);

/// The results table: header and one line per test length, CR LF line ends.
std::string resultsTableText(const RunStatistics& statistics, std::int32_t groupCount);

/// An identifier as a pool file field: quoted (quotes doubled) when it holds a comma, so that the
/// table loads again as the same pool; otherwise unchanged.
std::string poolField(const std::string& text);

/// The exposure table, laid out as a pool file.
std::string exposureTableText(const RunStatistics& statistics, const ItemPool& pool);

/// A file named after a results table, beside it: NAME`suffix``extension` for NAME.EXT (the
/// results' own extension when `extension` is empty, ".csv" when the results have none). The one
/// rule for the stopping table's default name and the run's record.
std::string fileBesideResults(const std::string& resultsFile, std::string_view suffix, std::string_view extension = {});

/// Writes `content` to a uniquely named temporary file beside the file `path` leads to (through
/// any symbolic links) and renames it over that file, keeping its mode, so the target holds
/// either its old content or the whole new one and no temporary file outlives the call; false
/// when that fails. Hosts should ignore SIGXFSZ, so that a file-size limit makes this fail
/// instead of ending the process, and a host that ends the process on a signal should first
/// take fileReplacementLock() exclusively.
bool replaceFileContents(const std::string& path, const std::string& content);

/// The file a write to `path` would reach: links followed, chains and relative ones too, also when
/// the last link names a file that does not exist yet; nothing for a loop.
std::optional<std::string> resolveLinks(std::string path);

/// A file written piece by piece (a long trace) that takes the place of `path` only when
/// committed: until then the old file stays as it was, and a writer that fails, is abandoned or
/// is killed leaves nothing behind. Links are followed, and the old file's mode is kept.
class FileReplacement {
public:
    /// Prepares the new file beside the file `path` leads to; `isOpen` tells whether that worked.
    explicit FileReplacement(const std::string& path);
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    /// True until a write fails or the replacement ends.
    bool isOpen() const;

    /// Appends text; false once anything has failed.
    bool write(std::string_view text);

    /// Puts the new file in place of the old one; false (and nothing changed) on any failure.
    bool commit();

    /// Drops the new file and leaves the old one as it was.
    void abandon();

private:
    bool flushPending();

    struct State;
    std::unique_ptr<State> state_;
};

/// Held shared by every replaceFileContents while its temporary file exists, so that a host
/// ending the process on a signal can wait for the file to be renamed or removed.
std::shared_timed_mutex& fileReplacementLock();

}  // namespace quillon
