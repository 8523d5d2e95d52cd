#include <charconv>
#include <cmath>
#include <string>

#include "latent_classes.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/run_limits.h"

namespace quillon {
namespace {

Failure usageFailure(std::string message) { return Failure{FailureKind::Usage, std::move(message)}; }
Failure inputFailure(std::string message) { return Failure{FailureKind::Input, std::move(message)}; }

// A pool row is read back by the engine's CSV rule, which knows no doubled quotes: an identifier
// is written bare, or quoted when it holds a comma, and anything neither form restores is refused.
bool poolCanHold(const std::string& id) {
    if (id.find_first_of("\r\n") != std::string::npos || id.front() == ' ' || id.back() == ' ') return false;
    const bool bare = id.find(',') == std::string::npos && id.front() != '"';
    return bare || id.find('"') == std::string::npos;
}

Status checkOptions(const CalibrationOptions& options) {
    if (!(options.priorA > 0) || !(options.priorB > 0) || !std::isfinite(options.priorA) ||
        !std::isfinite(options.priorB))
        return usageFailure("The prior " + formatRoundTrip(options.priorA) + "," + formatRoundTrip(options.priorB) +
                            " needs a and b above 0 (and finite): a prior of 0 lets one answer put an "
                            "estimate on 0 or 1.");
    if (options.minAnswers < 0)
        return usageFailure("The least number of answers (" + std::to_string(options.minAnswers) +
                            ") must be 0 or more.");
    if (options.groups != 0 && (options.groups < minGroupCount || options.groups > maxResponseGroup))
        return usageFailure("The number of groups (" + std::to_string(options.groups) + ") must be from " +
                            std::to_string(minGroupCount) + " to " + std::to_string(maxResponseGroup) + ".");
    return {};
}

Status checkData(const ObservedAnswers& data) {
    if (data.examineeCount() == 0) return inputFailure("The pilot data hold no examinee.");
    if (data.itemCount() == 0) return inputFailure("The pilot data answer no item (no line reaches character 14).");
    if (data.itemCount() > static_cast<std::size_t>(maxAnsweredItems))
        return inputFailure("The pilot data have " + std::to_string(data.itemCount()) +
                            " items; a pool holds at most " + std::to_string(maxAnsweredItems) +
                            ", the answers a response line can give.");
    for (const ObservedItem& item : data.items)
        if (item.id.empty() || !poolCanHold(item.id))
            return inputFailure("The item identifier \"" + item.id +
                                "\" cannot be written to a pool file (it is empty, has blanks around it, a line "
                                "end, or both a comma and a quote).");
    return {};
}

Outcome<Calibration> calibrateKnownGroups(const ObservedAnswers& data, const CalibrationOptions& options) {
    std::int32_t groupCount = options.groups;
    for (std::size_t e = 0; e < data.examineeCount(); ++e) {
        const std::int32_t group = data.groups[e];
        if (group == 0)
            return inputFailure(data.origins[e] +
                                ": the examinee has no group digit in character 12; known groups need every "
                                "examinee's group (with --latent G the groups are estimated instead).");
        if (options.groups != 0 && group > options.groups)
            return inputFailure(data.origins[e] + ": the group digit " + std::to_string(group - 1) + " gives group " +
                                std::to_string(group) + ", above the " + std::to_string(options.groups) +
                                " groups asked for.");
        if (options.groups == 0 && group > groupCount) groupCount = group;
    }
    const std::size_t groups = static_cast<std::size_t>(groupCount);
    std::vector<double> sizes(groups, 0.0);
    for (const std::int32_t group : data.groups) sizes[static_cast<std::size_t>(group - 1)] += 1;
    std::int32_t present = 0;
    for (const double size : sizes) present += size > 0 ? 1 : 0;
    if (present < minGroupCount)
        return inputFailure("Every examinee of the pilot is in group " + std::to_string(data.groups.front()) +
                            ": a known-group calibration needs at least two groups; with --latent G the groups are "
                            "estimated instead.");

    Calibration calibration;
    CalibratedPool& pool = calibration.pool;
    pool.groupCount = groupCount;
    pool.items = data.items;
    pool.groupSizes = sizes;
    const double examinees = static_cast<double>(data.examineeCount());
    for (const double size : sizes) pool.groupShares.push_back(size / examinees);
    for (std::size_t g = 0; g < groups; ++g)
        if (sizes[g] == 0)
            calibration.warnings.push_back("group " + std::to_string(g + 1) +
                                           " has no examinee in the pilot: its estimates are the prior's mean and "
                                           "its prior is 0.");

    // Counted as integers, so the shares are exact whatever the pilot's size.
    const std::size_t items = data.itemCount();
    std::vector<std::int64_t> answered(items * groups, 0), right(items * groups, 0);
    for (std::size_t e = 0; e < data.examineeCount(); ++e) {
        const std::size_t g = static_cast<std::size_t>(data.groups[e] - 1);
        for (std::size_t i = 0; i < items; ++i) {
            const Answer answer = data.answer(e, i);
            if (answer == Answer::NotAdministered) continue;
            ++answered[i * groups + g];
            if (answer == Answer::Right) ++right[i * groups + g];
        }
    }

    pool.estimates.resize(items * groups);
    pool.dropped.assign(items, false);
    std::size_t droppedCount = 0;
    for (std::size_t i = 0; i < items; ++i) {
        std::string unanswered, thin;
        bool anyAnswer = false, isThin = false;
        for (std::size_t g = 0; g < groups; ++g) {
            const std::int64_t n = answered[i * groups + g], r = right[i * groups + g];
            ItemGroupEstimate& estimate = pool.estimates[i * groups + g];
            estimate = shrunkEstimate(static_cast<double>(n), static_cast<double>(r), options);
            anyAnswer = anyAnswer || n > 0;
            // A group without examinees is warned about once, not on every item.
            if (n == 0) {
                if (sizes[g] > 0) unanswered += (unanswered.empty() ? "" : ", ") + std::to_string(g + 1);
            } else if (estimate.flags & flagThin) {
                thin += (thin.empty() ? "" : ", ") + std::to_string(n) + (n == 1 ? " answer" : " answers") +
                        " from group " + std::to_string(g + 1);
            }
            isThin = isThin || (estimate.flags & flagThin) != 0;
        }
        const std::string& id = data.items[i].id;
        if (!anyAnswer)
            calibration.warnings.push_back("item " + id + ": nobody answered it; its estimates are the prior's mean.");
        else if (!unanswered.empty())
            calibration.warnings.push_back("item " + id + ": nobody of group " + unanswered +
                                           " answered it; that estimate is the prior's mean.");
        if (!thin.empty())
            calibration.warnings.push_back("item " + id + " is thin: " + thin + " (fewer than " +
                                           std::to_string(options.minAnswers) + ").");
        if (isThin && options.dropThin) {
            pool.dropped[i] = true;
            ++droppedCount;
            for (std::size_t g = 0; g < groups; ++g) pool.estimates[i * groups + g].flags |= flagDropped;
        }
    }
    if (droppedCount == items)
        return usageFailure("Every item is thin (fewer than " + std::to_string(options.minAnswers) +
                            " answers from some group), so --drop-thin would leave a pool with no item.");
    if (droppedCount > 0)
        calibration.warnings.push_back(std::to_string(droppedCount) + " thin item" +
                                       (droppedCount == 1 ? " is" : "s are") + " marked dropped.");
    return calibration;
}

template <class T>
bool parsedText(std::string_view text, T& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool readPriorText(std::string_view text, CalibrationOptions& options) {
    const std::size_t comma = text.find(',');
    return comma != std::string_view::npos && parsedText(text.substr(0, comma), options.priorA) &&
           parsedText(text.substr(comma + 1), options.priorB);
}

bool readLatentText(std::string_view text, CalibrationOptions& options) {
    const std::size_t dots = text.find("..");
    std::int32_t low = 0, high = 0;
    const bool read = dots == std::string_view::npos
                          ? parsedText(text, low) && parsedText(text, high)
                          : parsedText(text.substr(0, dots), low) && parsedText(text.substr(dots + 2), high);
    if (!read || high < 1) return false;
    options.latentMin = low;
    options.latentMax = high;
    return true;
}

Outcome<Calibration> calibratePool(const ObservedAnswers& data, const CalibrationOptions& options) {
    if (Status valid = checkOptions(options); !valid) return valid.failure();
    if (Status valid = checkData(data); !valid) return valid.failure();
    if (options.latentMax > 0) return calibrateLatentClasses(data, options);
    return calibrateKnownGroups(data, options);
}

}  // namespace quillon
