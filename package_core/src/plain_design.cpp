// A study design given in code, written as the study file that holds it: the file is the
// canonical form, so a design from R or Python runs exactly as the same file would.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "plain_internal.h"
#include "quillon/engine/output_tables.h"
#include "quillon/package_core/plain_values.h"
#include "quillon/study/study.h"

namespace quillon {

namespace {

namespace fs = std::filesystem;

Failure designProblem(const std::string& where, const std::string& what) {
    return Failure{FailureKind::Input, "Study design, key \"" + where + "\": " + what};
}

// A TOML basic string: quotes, backslashes and control characters escaped.
std::string tomlString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(byte));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string tomlKey(const std::string& key) {
    const bool bare = !key.empty() && key.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789_-") == std::string::npos;
    return bare ? key : tomlString(key);
}

// A float stays a float: a whole value gets ".0", so that it never reads back as an integer.
std::string tomlNumber(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    std::string text = formatRoundTrip(value);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::string inlineValue(const PlainValue& value) {
    switch (value.kind) {
        case PlainValue::Kind::Text:
            return tomlString(value.text);
        case PlainValue::Kind::Whole:
            return std::to_string(value.whole);
        case PlainValue::Kind::Number:
            return tomlNumber(value.number);
        case PlainValue::Kind::Flag:
            return value.flag ? "true" : "false";
        case PlainValue::Kind::List: {
            std::string text = "[";
            for (std::size_t i = 0; i < value.items.size(); ++i) text += (i ? ", " : "") + inlineValue(value.items[i]);
            return text + "]";
        }
        case PlainValue::Kind::Table: {
            std::string text = "{";
            for (std::size_t i = 0; i < value.entries.size(); ++i)
                text += std::string(i ? ", " : " ") + tomlKey(value.entries[i].first) + " = " +
                        inlineValue(value.entries[i].second);
            return text + (value.entries.empty() ? "}" : " }");
        }
    }
    return {};
}

// The key/value lines of a table, then its sub-tables under headers of their own down to
// [data.generate]; deeper tables (study.reference's levels) are written inline.
void writeTable(const PlainValue& table, const std::string& prefix, int depth, std::string& out) {
    for (const auto& [key, value] : table.entries) {
        if (value.kind != PlainValue::Kind::Table || depth >= 2)
            out += tomlKey(key) + " = " + inlineValue(value) + "\n";
    }
    for (const auto& [key, value] : table.entries) {
        if (value.kind != PlainValue::Kind::Table || depth >= 2) continue;
        const std::string name = prefix.empty() ? tomlKey(key) : prefix + "." + tomlKey(key);
        // A table of tables alone needs no header of its own: [data.generate] says it.
        const bool onlyTables = !value.entries.empty() && depth == 0 &&
                                std::all_of(value.entries.begin(), value.entries.end(),
                                            [](const auto& e) { return e.second.kind == PlainValue::Kind::Table; });
        if (!onlyTables) out += (out.empty() ? "[" : "\n[") + name + "]\n";
        writeTable(value, name, depth + 1, out);
    }
}

// `path` from `base`, without a trailing separator.
std::string absolutePath(const fs::path& base, const std::string& path) {
    fs::path full = (base / fs::path(path)).lexically_normal();
    if (!full.has_filename() && full.has_parent_path() && full != full.root_path()) full = full.parent_path();
    return full.string();
}

// The design with every key in the file's spelling, relative paths made absolute from `base`
// and, for R, single values as arrays where the file takes one. `path` names the key in messages.
Outcome<PlainValue> canonical(const PlainValue& value, const std::string& path, const fs::path& base,
                              bool scalarsAsArrays) {
    PlainValue out = value;
    const auto absolute = [&](PlainValue& v) {
        if (v.kind == PlainValue::Kind::Text && !v.text.empty()) v.text = absolutePath(base, v.text);
    };
    const auto array = [&](PlainValue& v) {
        if (scalarsAsArrays && v.kind != PlainValue::Kind::List)
            v = PlainValue{PlainValue::Kind::List, {}, 0, 0, false, {v}, {}};
    };
    if (value.kind == PlainValue::Kind::Table) {
        out.entries.clear();
        for (const auto& [given, entry] : value.entries) {
            const std::string key = runnerName(given);
            const std::string dotted = path.empty() ? key : path + "." + key;
            for (const auto& [seen, unused] : out.entries) {
                if (seen == key) return designProblem(dotted, "is given twice");
            }
            Outcome<PlainValue> inner = canonical(entry, dotted, base, scalarsAsArrays);
            if (!inner) return inner.failure();
            PlainValue& v = *inner;
            if (path == "study" && key == "output") absolute(v);
            if ((path == "settings" || path == "study.reference") && isStudyFileSetting(key)) absolute(v);
            if (path == "factors") {
                array(v);
                if (isStudyFileSetting(key))
                    for (PlainValue& level : v.items) absolute(level);
            }
            if ((path == "data" && key == "files") || key == "group-shares") array(v);
            if (path == "data" && key == "files")
                for (PlainValue& file : v.items) absolute(file);
            out.entries.emplace_back(key, std::move(v));
        }
    } else if (value.kind == PlainValue::Kind::List) {
        for (PlainValue& item : out.items) {
            Outcome<PlainValue> inner = canonical(item, path, base, scalarsAsArrays);
            if (!inner) return inner.failure();
            item = std::move(*inner);
        }
    } else if (value.kind == PlainValue::Kind::Number && !std::isfinite(value.number)) {
        return designProblem(path, "a study file takes no " + formatRoundTrip(value.number));
    }
    return out;
}

PlainValue* entry(PlainValue& table, const std::string& key) {
    for (auto& [name, value] : table.entries) {
        if (name == key) return &value;
    }
    return nullptr;
}

}  // namespace

Outcome<PlainStudyDesign> studyDesignToml(const PlainValue& design, const std::string& workingFolder,
                                          bool scalarsAsArrays) {
    if (design.kind != PlainValue::Kind::Table)
        return Failure{FailureKind::Input,
                       "Study design: give the study file's tables (study, settings, factors, "
                       "data) as a named list or dict"};
    std::error_code error;
    const fs::path base = fs::absolute(fs::path(workingFolder), error);
    Outcome<PlainValue> read = canonical(design, "", base, scalarsAsArrays);
    if (!read) return read.failure();
    PlainValue& file = *read;
    // The output folder as the study file would default it, but from the working folder; it is
    // written out, since the file itself lives in that folder.
    PlainValue* study = entry(file, "study");
    if (study == nullptr) {
        file.entries.insert(file.entries.begin(), {"study", PlainValue{}});
        study = &file.entries.front().second;
    }
    if (study->kind != PlainValue::Kind::Table) return designProblem("study", "expects a table");
    PlainValue* output = entry(*study, "output");
    if (output == nullptr) {
        const PlainValue* name = entry(*study, "name");
        const std::string stem =
            name != nullptr && name->kind == PlainValue::Kind::Text && !name->text.empty() ? name->text : "study";
        study->entries.emplace_back("output", PlainValue::ofText(absolutePath(base, stem + "_output")));
        output = &study->entries.back().second;
    }
    if (output->kind != PlainValue::Kind::Text) return designProblem("study.output", "expects a text in quotes");
    if (output->text.empty()) return designProblem("study.output", "must not be empty");
    PlainStudyDesign written;
    written.outputFolder = output->text;
    writeTable(file, "", 0, written.toml);
    return written;
}

}  // namespace quillon
