#pragma once

#include <filesystem>
#include <string>

#include "quillon/checker/input_checker.h"
#include "quillon/engine/input_files.h"

namespace quillon::testing {

// The loader's refusals that the checker mirrors with rules of its own; others (added to the
// loader later) need only some error of the checker's own on the same file.
inline bool mirroredRefusal(const std::string& message) {
    if (message.starts_with("Output file")) return false;
    for (const char* end : {" is not available.", " has no items.", " has no enemy sets.", " has no slots.",
                            " has no group priors; turn on Uniform Priors or add a P_Grp row."})
        if (message.ends_with(end)) return true;
    return message.find(" slots for a test length of ") != std::string::npos;
}

// Empty when the checker and the loader agree on whether the files load, else how they differ.
inline std::string disagreement(const quillon::CheckReport& report, bool loaderRefuses, const std::string& message) {
    bool own = false;
    bool fallback = false;
    for (const quillon::Finding& finding : report.findings) {
        own = own || (finding.refusesLoad && !finding.fromLoader);
        fallback = fallback || finding.fromLoader;
    }
    if (report.summary.loaderAccepts == loaderRefuses) return "the checker's loader call saw another verdict";
    if (own && !loaderRefuses) return "the checker claims a refusal the loader does not make";
    if (fallback) return "no rule of the checker explains the refusal: " + message;
    if (loaderRefuses && mirroredRefusal(message) && !own) return "the checker misses the refusal: " + message;
    return {};
}

/// The loader's and the checker's verdicts on the same files and settings.
struct AgreementCheck {
    CheckReport report;
    bool loaderRefuses = false;
    std::string problem;  // empty when they agree
};

/// Runs the loader, then the checker, and compares them; the loader's results-file check may
/// create an empty results file, which is removed again.
inline AgreementCheck checkAgainstLoader(const RunSettings& settings) {
    AgreementCheck check;
    std::string message;
    std::error_code ignored;
    const bool resultsExisted = std::filesystem::exists(settings.resultsFile, ignored);
    try {
        loadInputFiles(settings);
    } catch (const InputError& refusal) {
        check.loaderRefuses = true;
        message = refusal.what();
    }
    if (!resultsExisted) std::filesystem::remove(settings.resultsFile, ignored);
    check.report = checkInputs(settings);
    check.problem = disagreement(check.report, check.loaderRefuses, message);
    return check;
}

}  // namespace quillon::testing
