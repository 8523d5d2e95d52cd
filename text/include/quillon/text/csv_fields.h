#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

/// The fields of a comma-separated line, in order, by the quote and blank rules; a field past
/// the last one is empty.
std::vector<std::string> csvFields(std::string_view line);

/// One field of a comma-separated line and the 1-based column where it starts (its opening quote
/// when quoted), so that a checker can point at it.
struct CsvField {
    std::string text;
    std::size_t column = 1;
};

/// `csvFields` with the column of each field.
std::vector<CsvField> csvFieldsWithColumns(std::string_view line);

/// A field of the tables written for other programs to read (RFC 4180): quoted, with quotes
/// doubled, when it holds a comma, a quote, CR or LF; otherwise unchanged.
std::string quotedCsvField(std::string_view text);

/// The records of such a table, each its fields: a quoted field may hold commas, doubled quotes
/// and line ends; CR LF or LF ends a record outside quotes. None when a quote is left open or
/// a closing quote is followed by anything but a comma or the record's end.
std::optional<std::vector<std::vector<std::string>>> quotedCsvRecords(std::string_view text);

/// Removes spaces (only spaces) at both ends.
std::string trimSpaces(std::string_view text);

/// Upper-cases the ASCII letters of a file name for a message.
std::string upperName(std::string_view name);

}  // namespace quillon
