#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::testing {

namespace detail {

// One line as a failure shows it: control characters escaped, so that a lone CR or a tab shows,
// and a long line cut to the stretch around `column`, where the two versions part.
inline std::string shownLine(std::string_view line, std::size_t column) {
    constexpr std::size_t around = 60;
    constexpr const char* hex = "0123456789abcdef";
    const std::size_t from = column > around ? column - around : 0;
    const std::size_t to = std::min(line.size(), column + around);
    std::string shown = from > 0 ? "..." : "";
    for (std::size_t i = from; i < to; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == '\n')
            shown += "\\n";
        else if (c == '\r')
            shown += "\\r";
        else if (c == '\t')
            shown += "\\t";
        else if (c < 0x20 || c == 0x7f)
            shown += std::string("\\x") + hex[c >> 4] + hex[c & 15];
        else
            shown += static_cast<char>(c);
    }
    if (to < line.size()) shown += "...";
    return shown;
}

inline std::vector<std::string_view> splitAtLineFeeds(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1)
        lines.push_back(text.substr(start, end + 1 - start));  // keeps the LF, so a missing last one shows
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

template <class Line>
::testing::AssertionResult sameLines(const std::vector<Line>& got, const std::vector<Line>& want, const char* unit) {
    const std::size_t common = std::min(got.size(), want.size());
    std::size_t at = 0;
    while (at < common && std::string_view(got[at]) == std::string_view(want[at])) ++at;
    if (at == common && got.size() == want.size()) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure();
    failure << "they differ first at " << unit << " " << at + 1 << " (" << got.size() << " " << unit << "s against "
            << want.size() << ")";
    const std::string_view a = at < got.size() ? std::string_view(got[at]) : std::string_view();
    const std::string_view b = at < want.size() ? std::string_view(want[at]) : std::string_view();
    std::size_t column = 0;
    while (column < a.size() && column < b.size() && a[column] == b[column]) ++column;
    if (at < got.size() && at < want.size()) failure << ", at character " << column + 1;
    failure << ":\n  first:  " << (at < got.size() ? "\"" + shownLine(a, column) + "\"" : "(ended)")
            << "\n  second: " << (at < want.size() ? "\"" + shownLine(b, column) + "\"" : "(ended)");
    return failure;
}

}  // namespace detail

/// Whether two texts are the same bytes; when not, the failure names the first line that differs
/// and shows both versions of it, rather than two whole tables.
inline ::testing::AssertionResult sameText(std::string_view got, std::string_view want) {
    return detail::sameLines(detail::splitAtLineFeeds(got), detail::splitAtLineFeeds(want), "line");
}

/// The same for lists of rows: the first row that differs, and both versions of it.
inline ::testing::AssertionResult sameText(const std::vector<std::string>& got, const std::vector<std::string>& want) {
    return detail::sameLines(got, want, "row");
}

}  // namespace quillon::testing
