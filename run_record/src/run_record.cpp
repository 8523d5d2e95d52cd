#include "quillon/run_record/run_record.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <limits>
#include <nlohmann/json.hpp>

#include "quillon/engine/fnv1a.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/program_version.h"
#include "quillon/engine/setting_names.h"

namespace quillon {

namespace {

using Json = nlohmann::ordered_json;

// Names the record's layout; a reader refuses any other, so a changed layout is never misread.
constexpr std::string_view formatName = "quillon-run-record-1";

// The one key that is not a field of RunSettings' named table: its value is a list.
constexpr std::string_view stopProbabilityName = "stop-probability";

// A reason the record is refused; turned into the Input failure naming the file.
struct Refusal {
    std::string what;
};

Json settingValue(const RunSettings& settings, const NamedSetting& setting) {
    switch (setting.kind) {
        case SettingKind::WholeNumber:
            return settings.*setting.whole;
        case SettingKind::Number:
            return settings.*setting.number;
        case SettingKind::Flag:
            return (settings.*setting.flag) != setting.inverted;
        case SettingKind::Text:
            if (setting.control != nullptr) return std::string(exposureControlName(settings.*setting.control));
            return setting.method != nullptr ? std::string(selectionMethodName(settings.*setting.method))
                                             : settings.*setting.text;
    }
    return nullptr;
}

Json filesJson(const std::vector<RecordedFile>& files) {
    Json list = Json::array();
    for (const RecordedFile& file : files)
        list.push_back({{"role", file.role}, {"path", file.path}, {"bytes", file.bytes}, {"fnv1a", file.digest}});
    return list;
}

const Json& member(const Json& object, std::string_view key, const std::string& where) {
    const auto found = object.find(key);
    if (found == object.end()) throw Refusal{where + "\"" + std::string(key) + "\" is missing"};
    return *found;
}

void onlyKeys(const Json& object, std::initializer_list<std::string_view> keys, const std::string& where) {
    for (const auto& [key, value] : object.items()) {
        if (std::find(keys.begin(), keys.end(), key) == keys.end())
            throw Refusal{where + "the key \"" + key + "\" is unknown"};
    }
}

std::string text(const Json& object, std::string_view key, const std::string& where) {
    const Json& value = member(object, key, where);
    if (!value.is_string()) throw Refusal{where + "\"" + std::string(key) + "\" is not a text"};
    return value.get<std::string>();
}

std::int64_t count(const Json& object, std::string_view key, const std::string& where, std::int64_t high) {
    const Json& value = member(object, key, where);
    if (value.is_number_unsigned() && value.get<std::uint64_t>() <= static_cast<std::uint64_t>(high))
        return static_cast<std::int64_t>(value.get<std::uint64_t>());
    throw Refusal{where + "\"" + std::string(key) + "\" is not a whole number from 0 to " + std::to_string(high)};
}

bool isDigest(const std::string& digest) {
    return digest.size() == 16 && digest.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// "YYYY-MM-DDTHH:MM:SSZ", digits where digits go.
bool isTimestamp(const std::string& date) {
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (date.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = date[i] >= '0' && date[i] <= '9';
        if (shape[i] == 'd' ? !digit : date[i] != shape[i]) return false;
    }
    return true;
}

std::vector<RecordedFile> readFiles(const Json& document, std::string_view key) {
    const Json& list = member(document, key, "");
    if (!list.is_array()) throw Refusal{"\"" + std::string(key) + "\" is not a list"};
    std::vector<RecordedFile> files;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string where = "\"" + std::string(key) + "\" entry " + std::to_string(i + 1) + ": ";
        const Json& entry = list[i];
        if (!entry.is_object()) throw Refusal{where + "it is not an object"};
        onlyKeys(entry, {"role", "path", "bytes", "fnv1a"}, where);
        RecordedFile file{text(entry, "role", where), text(entry, "path", where),
                          count(entry, "bytes", where, std::numeric_limits<std::int64_t>::max()),
                          text(entry, "fnv1a", where)};
        if (file.role.empty()) throw Refusal{where + "\"role\" is empty"};
        if (!isDigest(file.digest)) throw Refusal{where + "\"fnv1a\" is not 16 lowercase hex digits"};
        files.push_back(std::move(file));
    }
    return files;
}

// The value as the text setRunSetting takes, after its JSON type is checked against the setting's kind.
std::string settingText(const Json& value, const NamedSetting& setting, const std::string& where) {
    switch (setting.kind) {
        case SettingKind::WholeNumber:
            if (value.is_number_integer()) return value.dump();
            throw Refusal{where + "is not a whole number"};
        case SettingKind::Number:
            if (value.is_number()) return formatRoundTrip(value.get<double>());
            throw Refusal{where + "is not a number"};
        case SettingKind::Flag:
            if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
            throw Refusal{where + "is neither true nor false"};
        case SettingKind::Text:
            if (value.is_string()) return value.get<std::string>();
            throw Refusal{where + "is not a text"};
    }
    throw Refusal{where + "has an unknown kind"};
}

RunSettings readSettings(const Json& document) {
    const Json& object = member(document, "settings", "");
    if (!object.is_object()) throw Refusal{"\"settings\" is not an object"};
    for (const auto& [key, value] : object.items()) {
        if (key != stopProbabilityName && findRunSetting(key) == nullptr)
            throw Refusal{"\"settings\" has an unknown setting \"" + key + "\""};
    }
    RunSettings settings;
    for (const NamedSetting& setting : namedRunSettings()) {
        const std::string where = "setting \"" + std::string(setting.name) + "\" ";
        if (setting.recordedWhenSet && !object.contains(setting.name)) continue;
        const Json& value = member(object, setting.name, "\"settings\": ");
        const Status set = setRunSetting(settings, setting.name, settingText(value, setting, where));
        if (!set) throw Refusal{set.failure().message};
    }
    const Json& stops = member(object, stopProbabilityName, "\"settings\": ");
    if (!stops.is_array()) throw Refusal{"setting \"stop-probability\" is not a list"};
    settings.stopProbabilities.clear();
    for (const Json& stop : stops) {
        if (!stop.is_number()) throw Refusal{"setting \"stop-probability\" holds a value that is not a number"};
        settings.stopProbabilities.push_back(stop.get<double>());
    }
    // A record is written only for a run that ran: settings the runner refuses are not one.
    if (const Status checked = checkRunSettings(settings); !checked) throw Refusal{checked.failure().message};
    return settings;
}

}  // namespace

std::string runRecordFileBeside(const std::string& resultsFile) {
    return fileBesideResults(resultsFile, "_run", ".json");
}

RecordedFile recordedBytes(const std::string& role, const std::string& path, std::string_view bytes) {
    Fnv1a digest;
    digest.add(bytes);
    return {role, path, static_cast<std::int64_t>(bytes.size()), digest.hex()};
}

std::optional<RecordedFile> recordedFile(const std::string& role, const std::string& path) {
    const std::optional<FileDigest> digest = digestFile(path);
    if (!digest) return std::nullopt;
    return RecordedFile{role, path, digest->bytes, digest->digest};
}

std::vector<RecordedFile> recordedFiles(const std::vector<RoleFile>& files) {
    std::vector<RecordedFile> recorded;
    for (const RoleFile& file : files) {
        if (file.path.empty()) continue;
        if (std::optional<RecordedFile> one = recordedFile(file.role, file.path)) recorded.push_back(std::move(*one));
    }
    return recorded;
}

bool sameContents(const RecordedFile& a, const RecordedFile& b) { return a.bytes == b.bytes && a.digest == b.digest; }

std::string replayInputRefusal(const RunRecord& record) {
    for (const RoleFile& input : runInputFiles(record.settings)) {
        std::string name = input.role + " file " + input.path;
        name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
        // Only the files a replay reads matter: a merge's parts, say, may be gone by now.
        const auto recorded = std::find_if(record.inputs.begin(), record.inputs.end(), [&](const RecordedFile& file) {
            return file.role == input.role && file.path == input.path;
        });
        if (input.path.empty() || (recorded != record.inputs.end() && recorded->path.empty()))
            return "The run's " + input.role + " file was given in memory, so it cannot be read again.";
        if (recorded == record.inputs.end()) return name + " is not among the files the run record lists.";
        const std::optional<RecordedFile> now = recordedFile(input.role, input.path);
        if (!now) return name + " is missing or cannot be read.";
        if (!sameContents(*recorded, *now))
            return name + " has changed since the run (" + std::to_string(recorded->bytes) + " bytes, FNV-1a " +
                   recorded->digest + " then; " + std::to_string(now->bytes) + " bytes, FNV-1a " + now->digest +
                   " now).";
    }
    return {};
}

void recordRunFiles(RunRecord& record, const std::vector<RoleFile>& runFiles, bool reportsWritten) {
    record.inputs.clear();
    record.outputs.clear();
    for (const RoleFile& file : runFiles) {
        const bool table = file.role == "results" || file.role == "exposure";
        const bool report =
            file.role == "trace" || file.role == "stopping" || file.role == "confusion" || file.role == "examinees";
        if (file.path.empty() || (report && !reportsWritten)) continue;
        std::optional<RecordedFile> recorded = recordedFile(file.role, file.path);
        if (!recorded) continue;
        (table || report ? record.outputs : record.inputs).push_back(std::move(*recorded));
    }
}

std::string utcTimestamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

RunRecord newRunRecord(const RunSettings& settings, std::uint32_t seed, std::int64_t examinees, std::int64_t tests,
                       std::vector<std::string> commandLine) {
    RunRecord record;
    record.settings = settings;
    record.seed = seed;
    record.examinees = examinees;
    record.tests = tests;
    record.programVersion = std::string(programVersion);
    record.date = utcTimestamp();
    record.commandLine = std::move(commandLine);
    return record;
}

std::string runRecordJson(const RunRecord& record) {
    Json settings = Json::object();
    for (const NamedSetting& setting : namedRunSettings())
        if (recordsSetting(setting, record.settings))
            settings[std::string(setting.name)] = settingValue(record.settings, setting);
    settings[std::string(stopProbabilityName)] = record.settings.stopProbabilities;
    const Json document = {{"format", formatName},
                           {"programVersion", record.programVersion},
                           {"date", record.date},
                           {"commandLine", record.commandLine},
                           {"seed", record.seed},
                           {"examinees", record.examinees},
                           {"tests", record.tests},
                           {"settings", std::move(settings)},
                           {"inputs", filesJson(record.inputs)},
                           {"outputs", filesJson(record.outputs)}};
    // Invalid UTF-8 in a path is replaced rather than refused: the record must still be written.
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

Outcome<RunRecord> parseRunRecord(std::string_view text, const std::string& fileName) {
    const Json document = Json::parse(text.begin(), text.end(), nullptr, false);
    const auto refused = [&](const std::string& what) {
        return Failure{FailureKind::Input,
                       "Run record " + fileName + " cannot be used: " + what + (what.ends_with('.') ? "" : ".")};
    };
    if (document.is_discarded()) return refused("it is not JSON");
    if (!document.is_object()) return refused("it is not a JSON object");
    try {
        onlyKeys(document,
                 {"format", "programVersion", "date", "commandLine", "seed", "examinees", "tests", "settings", "inputs",
                  "outputs"},
                 "");
        if (quillon::text(document, "format", "") != formatName)
            throw Refusal{"\"format\" is not \"" + std::string(formatName) + "\""};
        RunRecord record;
        record.programVersion = quillon::text(document, "programVersion", "");
        if (record.programVersion.empty()) throw Refusal{"\"programVersion\" is empty"};
        record.date = quillon::text(document, "date", "");
        if (!isTimestamp(record.date)) throw Refusal{"\"date\" is not a UTC time as YYYY-MM-DDTHH:MM:SSZ"};
        const Json& commandLine = member(document, "commandLine", "");
        if (!commandLine.is_array()) throw Refusal{"\"commandLine\" is not a list"};
        for (const Json& argument : commandLine) {
            if (!argument.is_string()) throw Refusal{"\"commandLine\" holds a value that is not a text"};
            record.commandLine.push_back(argument.get<std::string>());
        }
        record.seed =
            static_cast<std::uint32_t>(count(document, "seed", "", std::numeric_limits<std::uint32_t>::max()));
        record.examinees = count(document, "examinees", "", std::numeric_limits<std::int64_t>::max());
        record.tests = count(document, "tests", "", std::numeric_limits<std::int64_t>::max());
        record.settings = readSettings(document);
        record.inputs = readFiles(document, "inputs");
        record.outputs = readFiles(document, "outputs");
        return record;
    } catch (const Refusal& refusal) {
        return refused(refusal.what);
    }
}

Outcome<RunRecord> readRunRecord(const std::string& path) {
    // A record is a few kilobytes; anything far larger is not one.
    const std::optional<std::string> bytes = readWholeFile(path, std::size_t{1} << 24);
    if (!bytes) return Failure{FailureKind::Input, "Run record " + path + " cannot be read."};
    return parseRunRecord(*bytes, path);
}

Status writeRunRecord(const RunRecord& record, const std::string& path, const std::vector<RoleFile>& runFiles) {
    // Its name follows from the results' name, so the message says what it met rather than asking
    // for another name.
    for (const RoleFile& file : runFiles) {
        if (!file.path.empty() && namesOneFile(path, file.path))
            return Failure{FailureKind::Output, "The run record " + path + " would replace the " + file.role +
                                                    " file, so it was not written."};
    }
    if (!replaceFileContents(path, runRecordJson(record)))
        return Failure{FailureKind::Output, "The run record " + path + " could not be written."};
    return {};
}

std::vector<std::pair<std::string, std::string>> recordValues(const RunRecord& record) {
    std::vector<std::pair<std::string, std::string>> values;
    for (const NamedSetting& setting : namedRunSettings()) {
        if (!recordsSetting(setting, record.settings)) continue;
        const Json value = settingValue(record.settings, setting);
        values.emplace_back(std::string(setting.name), value.is_string() ? value.get<std::string>()
                                                       : setting.kind == SettingKind::Number
                                                           ? formatPlain(value.get<double>())
                                                           : value.dump());
    }
    std::string stops;
    for (double stop : record.settings.stopProbabilities) stops += (stops.empty() ? "" : ", ") + formatPlain(stop);
    values.emplace_back(std::string(stopProbabilityName), stops);
    values.emplace_back("seed", std::to_string(record.seed));
    for (const RecordedFile& input : record.inputs)
        values.emplace_back(input.role + " contents", std::to_string(input.bytes) + " bytes, FNV-1a " + input.digest);
    return values;
}

const RecordedFile* recordedOutput(const RunRecord& record, std::string_view role) {
    for (const RecordedFile& output : record.outputs) {
        if (output.role == role) return &output;
    }
    return nullptr;
}

}  // namespace quillon
