#include "merge_command.h"

#include <charconv>

#include "quillon/engine/input_files.h"
#include "quillon/engine/run_parts.h"

namespace quillon::cli {

bool parseShard(const std::string& text, std::int32_t& shard, std::int32_t& count) {
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    const auto whole = [](std::string_view digits, std::int32_t& value) {
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        return !digits.empty() && error == std::errc() && end == digits.data() + digits.size();
    };
    const std::string_view all(text);
    return whole(all.substr(0, slash), shard) && whole(all.substr(slash + 1), count) && count >= 1 &&
           count <= maxShardCount && shard >= 1 && shard <= count;
}

CLI::App* addMergeCommand(CLI::App& app, std::vector<std::string>& partFiles) {
    CLI::App* merge =
        app.add_subcommand("merge",
                           "Write the tables of a run from the part files of its shards (--shard K/N --part FILE), "
                           "the same bytes as the run in one process; give the run's files, settings and --seed")
            ->fallthrough();
    merge->add_option("parts", partFiles, "Part files, one for each shard 1 to N, in any order")->required();
    return merge;
}

std::string shardPartRefusal(const RunSettings& settings, const std::string& partFile) {
    return sameFileRefusal("Part", partFile, "part", runInputFiles(settings));
}

std::string mergeTablesRefusal(const RunSettings& settings, const RunReportOptions& reports,
                               const std::vector<std::string>& partFiles) {
    std::vector<RoleFile> parts;
    for (const std::string& part : partFiles) parts.push_back({"part", part});
    // The outputs in the run's own order after its inputs, each with the words of its own refusal.
    const std::vector<RoleFile> files = runFiles(settings, reports);
    const std::size_t outputs = files.size() - 6;
    const char* kinds[] = {"Output", "Exposure", "Trace", "Stopping", "Confusion", "Examinees"};
    const char* names[] = {"results",        "exposure table",  "trace",
                           "stopping table", "confusion table", "examinees table"};
    for (std::size_t i = 0; i < 6; ++i) {
        const RoleFile& file = files[outputs + i];
        if (file.path.empty()) continue;
        if (std::string refusal = sameFileRefusal(kinds[i], file.path, names[i], parts); !refusal.empty())
            return refusal;
    }
    return {};
}

std::string reportOptionsRefusal(bool sharded, bool trace, bool tables) {
    if (trace) return std::string(sharded ? "--shard" : "merge") + ": --trace needs the run in one process";
    if (sharded && tables)
        return "--shard writes only its part file, which carries every count: give --stopping, --confusion, "
               "--examinees and --report to merge (with --keep-examinees on the shards for --examinees)";
    return {};
}

}  // namespace quillon::cli
