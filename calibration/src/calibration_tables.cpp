#include <charconv>
#include <cmath>

#include "quillon/calibration/calibration.h"
#include "quillon/engine/output_tables.h"
#include "quillon/text/csv_fields.h"

namespace quillon {
namespace {

// Every table ends its lines as the engine's own pool and tables do.
constexpr const char* lineEnd = "\r\n";

// The pool's reader takes a quoted field to its first quote, so an identifier with a comma is
// quoted and any other is written bare (calibratePool refuses one neither form restores).
std::string poolIdField(const std::string& id) { return id.find(',') == std::string::npos ? id : "\"" + id + "\""; }

std::string flagWords(unsigned flags) {
    static constexpr std::pair<unsigned, const char*> words[] = {
        {flagThin, "thin"}, {flagDropped, "dropped"}, {flagNoAnswers, "no-answers"}, {flagBoundary, "boundary"}};
    std::string text;
    for (const auto& [flag, word] : words)
        if (flags & flag) text.append(text.empty() ? "" : ";").append(word);
    return text;
}

}  // namespace

std::string fixedRoundTrip(double value) {
    if (!std::isfinite(value)) return formatRoundTrip(value);
    // Wide enough for the longest fixed form of any double (the smallest subnormal's 1074 decimals).
    char buffer[1100];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed).ptr;
    return std::string(buffer, end);
}

std::string calibratedPoolText(const CalibratedPool& pool) {
    std::string text = "Item_ID,Collection,Freq,dropQQ";
    for (std::int32_t g = 1; g <= pool.groupCount; ++g) text += "," + std::to_string(g);
    text += lineEnd;
    text += "N,,,";
    for (const double size : pool.groupSizes) text += "," + fixedRoundTrip(size);
    text += lineEnd;
    text += "P_Grp, , , ";
    for (const double share : pool.groupShares) text += "," + fixedRoundTrip(share);
    text += lineEnd;
    for (std::size_t i = 0; i < pool.items.size(); ++i) {
        text += poolIdField(pool.items[i].id) + "," + std::to_string(pool.items[i].collection) + ",," +
                (pool.dropped[i] ? "1" : "0");
        for (std::int32_t g = 1; g <= pool.groupCount; ++g) text += "," + fixedRoundTrip(pool.at(i, g).estimate);
        text += lineEnd;
    }
    return text;
}

std::string calibrationTableText(const CalibratedPool& pool) {
    std::string text = "item,collection,group,estimate,standard_error,answers,right,flags";
    text += lineEnd;
    for (std::size_t i = 0; i < pool.items.size(); ++i) {
        const std::string head =
            quotedCsvField(pool.items[i].id) + "," + std::to_string(pool.items[i].collection) + ",";
        for (std::int32_t g = 1; g <= pool.groupCount; ++g) {
            const ItemGroupEstimate& e = pool.at(i, g);
            text += head + std::to_string(g) + "," + fixedRoundTrip(e.estimate) + "," +
                    fixedRoundTrip(e.standardError) + "," + fixedRoundTrip(e.answers) + "," + fixedRoundTrip(e.right) +
                    "," + flagWords(e.flags) + lineEnd;
        }
    }
    return text;
}

std::string latentFitTableText(const Calibration& calibration) {
    std::string text = "classes,log_likelihood,parameters,aic,bic,entropy,iterations,converged,starts_at_best,chosen";
    text += lineEnd;
    for (std::size_t k = 0; k < calibration.fits.size(); ++k) {
        const LatentFit& fit = calibration.fits[k];
        text += std::to_string(fit.classes) + "," + fixedRoundTrip(fit.logLikelihood) + "," +
                std::to_string(fit.parameters) + "," + fixedRoundTrip(fit.aic) + "," + fixedRoundTrip(fit.bic) + "," +
                fixedRoundTrip(fit.entropy) + "," + std::to_string(fit.iterations) + "," + (fit.converged ? "1" : "0") +
                "," + std::to_string(fit.startsAtBest) + "," + (k == calibration.chosenFit ? "1" : "0") + lineEnd;
    }
    return text;
}

}  // namespace quillon
