// The differential test at length: `differential --cases N --seed S` compares N random cases
// between the engine and the reference replay and stops at the first that differs, writing its
// input files and settings into a folder it names.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "reference/differential.h"
#include "score_tree.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: differential [--cases N] [--seed S] [--case-seed C] [--groups LO-HI] [--method NAME]\n"
                 "                    [--runs-every K] [--keep-going 0|1] [--wide 0|1] [--large 0|1]\n"
                 "                    [--break-bound SHIFT] [--out FOLDER]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quillon::reference;
    std::uint64_t cases = 1000;
    std::uint64_t seed = 1;
    std::uint64_t runsEvery = 8;  // every K-th case is also compared as a whole run
    bool single = false;
    bool keepGoing = false;  // count every differing case instead of stopping at the first
    std::uint64_t singleSeed = 0;
    std::string out = ".";
    CaseShape shape;
    for (int a = 1; a < argc; ++a) {
        const std::string option = argv[a];
        if (a + 1 >= argc) return usage();
        const std::string value = argv[++a];
        char* end = nullptr;
        if (option == "--cases") {
            cases = std::strtoull(value.c_str(), &end, 10);
        } else if (option == "--seed") {
            seed = std::strtoull(value.c_str(), &end, 10);
        } else if (option == "--case-seed") {
            single = true;
            singleSeed = std::strtoull(value.c_str(), &end, 10);
        } else if (option == "--runs-every") {
            runsEvery = std::strtoull(value.c_str(), &end, 10);
        } else if (option == "--groups") {
            int lo = 0, hi = 0;
            if (std::sscanf(value.c_str(), "%d-%d", &lo, &hi) != 2 || lo < 2 || hi < lo || hi > 10) return usage();
            shape.minGroups = lo;
            shape.maxGroups = hi;
        } else if (option == "--method") {
            shape.methods = {value};
        } else if (option == "--wide") {
            shape.wide = value == "1";
        } else if (option == "--break-bound") {
            // Raises the engine's node bounds by this much: a check that the series catches a
            // bound that does not hold.
            quillon::setBoxBoundShiftForTesting(std::strtod(value.c_str(), &end));
        } else if (option == "--large") {
            shape.large = value == "1";
        } else if (option == "--keep-going") {
            keepGoing = value == "1";
        } else if (option == "--out") {
            out = value;
        } else {
            return usage();
        }
        if (end && *end) return usage();
    }
    if (single) cases = 1;

    const std::string scratch =
        (std::filesystem::temp_directory_path() / ("quillon-differential-" + std::to_string(seed))).string();
    CaseTally tally;
    for (std::uint64_t index = 0; index < cases; ++index) {
        const std::uint64_t caseSeedValue = single ? singleSeed : caseSeed(seed, index);
        const DifferentialCase testCase = makeCase(caseSeedValue, shape);
        std::string difference = compareExaminees(testCase, tally);
        if (difference.empty() && runsEvery > 0 && index % runsEvery == 0) {
            difference = compareRun(testCase, scratch, index / runsEvery % 2 == 0 ? 1 : 2, tally);
        }
        if (!difference.empty() && keepGoing) {
            if (tally.differing++ == 0) {
                std::printf("first difference: case %llu (case seed %llu): %s\n",
                            static_cast<unsigned long long>(index), static_cast<unsigned long long>(caseSeedValue),
                            difference.c_str());
            }
            continue;
        }
        if (!difference.empty()) {
            const std::string folder =
                (std::filesystem::path(out) / ("differential-case-" + std::to_string(caseSeedValue))).string();
            writeCase(testCase, folder);
            std::filesystem::remove_all(scratch);
            std::printf("case %llu (case seed %llu) differs: %s\n%sinput files and settings written to %s\n",
                        static_cast<unsigned long long>(index), static_cast<unsigned long long>(caseSeedValue),
                        difference.c_str(), testCase.settingsText().c_str(), folder.c_str());
            return 1;
        }
    }
    std::filesystem::remove_all(scratch);
    std::printf(
        "%llu cases, %lld differing: %lld examinees, %lld items, %lld examinees out of items, "
        "%lld whole runs (%lld stopped by a collection error), %lld refused by the loader\n",
        static_cast<unsigned long long>(cases), static_cast<long long>(tally.differing),
        static_cast<long long>(tally.examinees), static_cast<long long>(tally.positions),
        static_cast<long long>(tally.failures), static_cast<long long>(tally.runs),
        static_cast<long long>(tally.stoppedRuns), static_cast<long long>(tally.refused));
    return tally.differing == 0 ? 0 : 1;
}
