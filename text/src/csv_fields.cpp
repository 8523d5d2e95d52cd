#include "quillon/text/csv_fields.h"

namespace quillon {

std::vector<CsvField> csvFieldsWithColumns(std::string_view line) {
    std::vector<CsvField> fields;
    std::size_t at = 0;
    for (;;) {
        while (at < line.size() && line[at] == ' ') ++at;
        const std::size_t column = at + 1;
        if (at < line.size() && line[at] == '"') {
            const std::size_t close = line.find('"', at + 1);
            if (close == std::string_view::npos) {
                fields.push_back({std::string(line.substr(at + 1)), column});
                return fields;
            }
            fields.push_back({std::string(line.substr(at + 1, close - at - 1)), column});
            const std::size_t comma = line.find(',', close + 1);
            if (comma == std::string_view::npos) return fields;
            at = comma + 1;
        } else {
            std::size_t comma = line.find(',', at);
            const std::size_t stop = comma == std::string_view::npos ? line.size() : comma;
            std::size_t last = stop;
            while (last > at && line[last - 1] == ' ') --last;
            fields.push_back({std::string(line.substr(at, last - at)), column});
            if (comma == std::string_view::npos) return fields;
            at = comma + 1;
        }
    }
}

std::vector<std::string> csvFields(std::string_view line) {
    std::vector<std::string> texts;
    for (CsvField& field : csvFieldsWithColumns(line)) texts.push_back(std::move(field.text));
    return texts;
}

std::string quotedCsvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::optional<std::vector<std::vector<std::string>>> quotedCsvRecords(std::string_view text) {
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    std::size_t at = 0;
    while (at < text.size()) {
        if (text[at] == '"' && field.empty()) {
            // A quoted field runs to the quote not followed by another quote.
            for (++at;; ++at) {
                if (at >= text.size()) return std::nullopt;
                if (text[at] != '"') {
                    field += text[at];
                } else if (at + 1 < text.size() && text[at + 1] == '"') {
                    field += '"';
                    ++at;
                } else {
                    ++at;
                    break;
                }
            }
            if (at < text.size() && text[at] != ',' && text[at] != '\r' && text[at] != '\n') return std::nullopt;
            if (at < text.size() && text[at] == ',') {
                record.push_back(std::move(field));
                field.clear();
                ++at;
                if (at == text.size()) record.emplace_back();
            }
            continue;
        }
        const char c = text[at];
        if (c == ',') {
            record.push_back(std::move(field));
            field.clear();
            ++at;
            if (at == text.size()) record.emplace_back();
        } else if (c == '\r' || c == '\n') {
            at += (c == '\r' && at + 1 < text.size() && text[at + 1] == '\n') ? 2 : 1;
            record.push_back(std::move(field));
            field.clear();
            records.push_back(std::move(record));
            record.clear();
        } else {
            field += c;
            ++at;
        }
    }
    if (!field.empty() || !record.empty()) {
        record.push_back(std::move(field));
        records.push_back(std::move(record));
    }
    return records;
}

std::string trimSpaces(std::string_view text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && text[first] == ' ') ++first;
    while (last > first && text[last - 1] == ' ') --last;
    return std::string(text.substr(first, last - first));
}

std::string upperName(std::string_view name) {
    std::string upper(name);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

}  // namespace quillon
