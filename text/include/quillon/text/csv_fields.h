#pragma once

#include <cstddef>
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

/// Removes spaces (only spaces) at both ends.
std::string trimSpaces(std::string_view text);

/// Upper-cases the ASCII letters of a file name for a message.
std::string upperName(std::string_view name);

}  // namespace quillon
