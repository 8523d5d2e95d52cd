#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/engine/sample_data.h"
#include "quillon/outcome/outcome.h"

namespace quillon {

/// One normal component of an ability distribution.
struct NormalComponent {
    double weight = 1.0;
    double mean = 0.0;
    double sd = 1.0;
};

/// The examinees' ability: a normal or a mixture of normals, or the abilities listed in a file
/// (its empirical distribution, each listed ability equally likely).
struct AbilityDistribution {
    std::vector<NormalComponent> components;  // empty when the abilities come from a file
    std::vector<double> abilities;            // the file's abilities, sorted
};

/// Reads "normal:MEAN,SD", "mixture:W1,M1,S1;W2,M2,S2;..." (weights adding up to 1) or
/// "file:PATH" (one ability per line); a Usage failure for the text, an Input failure for the file.
Outcome<AbilityDistribution> readAbility(std::string_view text);

/// One item of a logistic model: P(right | ability t) = c + (1 - c) / (1 + exp(-D a (t - b))).
struct IrtItem {
    std::string id;
    std::int32_t collection = 0;  // 0: assigned as the generator assigns collections
    double a = 1.0;
    double b = 0.0;
    double c = 0.0;
};

/// The item's probability of a right answer at `ability`, with D = `scale`.
double irtProbability(const IrtItem& item, double scale, double ability);

/// Reads an item parameter file: a header naming id, a, b and c (any order; c may be left out, and
/// collection added), then one item per line; an Input failure names the file, line and column.
Outcome<std::vector<IrtItem>> readIrtItemFile(const std::string& path);

/// The options that switch the generator to examinees of a continuous ability; all off by default.
struct AbilityOptions {
    std::string ability;                    // readAbility's text; empty: the generator's own data
    std::string itemFile;                   // item parameters from a file, or else drawn:
    std::string irt = "2pl";                // "1pl", "2pl" or "3pl"
    std::vector<double> aRange{0.5, 2.0};   // a uniform on (LO, HI); 1 under 1pl
    std::vector<double> bNormal{0.0, 1.0};  // b normal (MEAN, SD)
    std::vector<double> cRange{0.0, 0.25};  // c uniform on (LO, HI) under 3pl; 0 otherwise
    std::vector<double> cuts;               // the group boundaries on the ability scale, ascending
    double scale = 1.0;                     // D
    std::int64_t poolFromSample = 0;        // above 0: the pool is calibrated from this many examinees
    // Whether the command line named these (they must then agree with the cuts and the item file).
    bool groupsGiven = false;
    bool itemsGiven = false;
    bool itemOptionsGiven = false;  // --irt, --a-range, --b-normal or --c-range

    /// Whether any ability option is given; without --ability the others are refused.
    bool anyGiven() const;
};

/// A resolved ability model: who the examinees are, the items they answer and where groups part.
struct AbilityModel {
    AbilityDistribution ability;
    std::vector<IrtItem> items;
    std::vector<double> cuts;
    double scale = 1.0;

    std::int32_t groupCount() const { return static_cast<std::int32_t>(cuts.size()) + 1; }
    /// The 1-based group of an ability: g when cut[g-1] < ability <= cut[g].
    std::int32_t groupOf(double ability) const;
};

/// The pool a model implies: each group's share of the ability distribution, and for every item
/// and group the probability of a right answer given membership in that group.
struct GroupProbabilities {
    std::vector<double> prior;     // [group - 1]
    std::vector<double> pCorrect;  // [item * groups + group - 1]
};

/// The exact group probabilities: the curve integrated over the ability density within each
/// group's interval (adaptive Gauss-Kronrod, relative error about 1e-15), or over a file's
/// abilities the mean of the curve; an Input failure when a group holds no ability at all.
Outcome<GroupProbabilities> groupProbabilities(const AbilityModel& model);

/// The files of ability data: the pool, script and enemies, and where the responses come from.
struct AbilityFiles {
    SampleFiles files;  // pool, script and enemies as written
    AbilityModel model;
    std::uint64_t responseSeed = 0;
    std::vector<std::string> warnings;  // from a calibrated pool
};

/// Resolves the options into a model and its files; a Usage failure when the options are wrong,
/// an Input failure when a file is.
Outcome<AbilityFiles> generateAbilityFiles(const SampleOptions& sample, const AbilityOptions& options);

/// The response file one line at a time, in the generator's layout (identifier, group digit in
/// character 12, answers from 14): each examinee's ability drawn, the group from the cuts, each
/// answer from the model at that ability.
void forEachAbilityResponseLine(const SampleOptions& sample, const AbilityFiles& files,
                                const std::function<void(const std::string&)>& emit);

/// Writes the four files as writeSampleFiles does.
Status writeAbilityFiles(const SampleOptions& sample, const AbilityFiles& files, const std::string& folder,
                         bool overwrite = false);

}  // namespace quillon
