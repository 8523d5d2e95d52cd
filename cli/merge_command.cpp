#include "merge_command.h"

#include <charconv>

#include "quillon/input_files.h"
#include "quillon/run_parts.h"

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

std::string mergeTablesRefusal(const RunSettings& settings, const std::vector<std::string>& partFiles) {
    std::vector<RoleFile> parts;
    for (const std::string& part : partFiles) parts.push_back({"part", part});
    std::string refusal = sameFileRefusal("Output", settings.resultsFile, "results", parts);
    if (refusal.empty() && settings.saveExposure)
        refusal = sameFileRefusal("Exposure", trimSpaces(settings.exposureFile), "exposure table", parts);
    return refusal;
}

std::string reportOptionsRefusal(bool sharded, bool useSprt, bool anyReport) {
    if (!useSprt && !anyReport) return {};
    return std::string(sharded ? "--shard" : "merge") +
           " writes only the results and exposure tables: --use-sprt, --trace, --stopping, --confusion and "
           "--report need the run in one process";
}

}  // namespace quillon::cli
