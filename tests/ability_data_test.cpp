#include "quillon/ability_data/ability_data.h"

#include <gtest/gtest.h>

#include <cmath>

#include "quillon/engine/input_files.h"
#include "quillon/engine/run_settings.h"
#include "quillon/text/csv_fields.h"
#include "quillon/text/line_reader.h"
#include "recording_host.h"

namespace quillon {
namespace {

using testing::TempFolder;

// Composite 5-point Gauss-Legendre on many equal panels: an integration independent of the
// adaptive one under test.
template <class F>
double legendre(const F& f, double lo, double hi, int panels = 20000) {
    const double r1 = std::sqrt(5.0 - 2.0 * std::sqrt(10.0 / 7.0)) / 3.0,
                 r2 = std::sqrt(5.0 + 2.0 * std::sqrt(10.0 / 7.0)) / 3.0;
    const double w0 = 128.0 / 225.0, w1 = (322.0 + 13.0 * std::sqrt(70.0)) / 900.0,
                 w2 = (322.0 - 13.0 * std::sqrt(70.0)) / 900.0;
    const double h = (hi - lo) / panels;
    long double sum = 0;
    for (int k = 0; k < panels; ++k) {
        const double m = lo + (k + 0.5) * h, s = 0.5 * h;
        sum += s * (w0 * f(m) + w1 * (f(m - s * r1) + f(m + s * r1)) + w2 * (f(m - s * r2) + f(m + s * r2)));
    }
    return static_cast<double>(sum);
}

struct Reference {
    double prior;
    double p;
};

// P(right | group) straight from the definition: the curve times the density over the interval,
// divided by the density over the interval; infinite ends cut 40 standard deviations out.
Reference reference(const AbilityModel& m, const IrtItem& item, std::int32_t group) {
    double numerator = 0, mass = 0;
    for (const NormalComponent& n : m.ability.components) {
        const double lo = std::max(group == 1 ? -HUGE_VAL : m.cuts[group - 2], n.mean - 40 * n.sd);
        const double hi = std::min(group == m.groupCount() ? HUGE_VAL : m.cuts[group - 1], n.mean + 40 * n.sd);
        if (!(hi > lo)) continue;
        const auto density = [&](double t) {
            return std::exp(-0.5 * ((t - n.mean) / n.sd) * ((t - n.mean) / n.sd)) / (n.sd * std::sqrt(2 * M_PI));
        };
        numerator +=
            n.weight * legendre([&](double t) { return irtProbability(item, m.scale, t) * density(t); }, lo, hi);
        mass += n.weight * legendre(density, lo, hi);
    }
    return {mass, numerator / mass};
}

TEST(AbilityData, GroupProbabilitiesMatchAnIndependentIntegration) {
    const std::vector<IrtItem> items{{"one", 1, 1.0, 0.3, 0.0},   {"two", 1, 0.6, -1.2, 0.0},
                                     {"steep", 1, 2.5, 0.8, 0.0}, {"guess", 1, 1.4, 0.1, 0.2},
                                     {"far", 1, 1.8, 4.0, 0.25},  {"low", 1, 0.9, -3.5, 0.1}};
    struct Case {
        const char* name;
        const char* ability;
        std::vector<double> cuts;
        double scale;
    };
    const Case cases[] = {
        {"normal, two cuts", "normal:0,1", {-0.5, 0.8}, 1.0},
        {"normal, D 1.7", "normal:0.3,1.2", {0.0}, 1.7},
        {"mixture", "mixture:.3,-1,.5;.7,.8,1", {-1.5, 0, 1.2}, 1.0},
        {"extreme cuts", "normal:0,1", {-6.0, 7.5}, 1.0},
        {"narrow component", "mixture:.5,0,.05;.5,2,3", {0.02, 5}, 1.7},
    };
    for (const Case& c : cases) {
        AbilityModel model;
        model.ability = *readAbility(c.ability);
        model.items = items;
        model.cuts = c.cuts;
        model.scale = c.scale;
        const GroupProbabilities p = *groupProbabilities(model);
        const std::size_t groups = static_cast<std::size_t>(model.groupCount());
        for (std::size_t i = 0; i < items.size(); ++i)
            for (std::int32_t g = 1; g <= model.groupCount(); ++g) {
                const Reference want = reference(model, items[i], g);
                EXPECT_NEAR(p.pCorrect[i * groups + g - 1], want.p, 1e-9 * want.p)
                    << c.name << " " << items[i].id << " " << g;
                EXPECT_NEAR(p.prior[g - 1], want.prior, 1e-9 * want.prior) << c.name << " " << g;
            }
    }
}

TEST(AbilityData, AFileOfAbilitiesGivesTheMeanOfTheCurveInEachGroup) {
    TempFolder folder;
    const std::vector<double> abilities{-2.0, -0.5, -0.4, 0.0, 0.8, 0.81, 3.0, 1.5};
    std::string text;
    for (double t : abilities) text += std::to_string(t) + "\n";
    AbilityModel model;
    model.ability = *readAbility("file:" + folder.write("abilities.txt", text));
    model.items = {{"x", 1, 1.3, 0.2, 0.15}};
    model.cuts = {-0.5, 0.8};  // -0.5 and 0.8 themselves fall in the lower group
    const GroupProbabilities p = *groupProbabilities(model);
    const std::vector<std::vector<double>> members{{-2.0, -0.5}, {-0.4, 0.0, 0.8}, {0.81, 3.0, 1.5}};
    for (std::size_t g = 0; g < 3; ++g) {
        double sum = 0;
        for (double t : members[g]) sum += irtProbability(model.items[0], 1.0, t);
        EXPECT_NEAR(p.pCorrect[g], sum / static_cast<double>(members[g].size()), 1e-15);
        EXPECT_EQ(p.prior[g], static_cast<double>(members[g].size()) / 8.0);
    }
}

// The observed right shares of a large sample against the pool it was written with.
TEST(AbilityData, GeneratedAnswersFollowThePool) {
    SampleOptions sample;
    sample.items = 24;
    sample.examinees = 20000;
    sample.scriptLength = 10;
    sample.blankShare = 0;
    for (const char* irt : {"1pl", "3pl"}) {
        AbilityOptions options;
        options.ability = "mixture:.4,-.5,.8;.6,.6,1";
        options.irt = irt;
        options.cuts = {-0.3, 0.9};
        const AbilityFiles files = *generateAbilityFiles(sample, options);
        RunSettings settings;
        settings.groupCount = 3;
        const ItemPool pool = parsePool(files.files.pool, settings, "pool");
        std::vector<double> right(24 * 3, 0), seen(3, 0);
        forEachAbilityResponseLine(sample, files, [&](const std::string& line) {
            const std::size_t g = static_cast<std::size_t>(line[11] - '0');
            seen[g] += 1;
            for (std::size_t i = 0; i < 24; ++i) right[i * 3 + g] += line[13 + i] == '1';
        });
        for (std::size_t g = 0; g < 3; ++g) {
            const double prior = pool.groupPrior[g], n = static_cast<double>(sample.examinees);
            EXPECT_NEAR(seen[g] / n, prior, 5 * std::sqrt(prior * (1 - prior) / n)) << irt << " group " << g + 1;
            for (std::size_t i = 0; i < 24; ++i) {
                const double p = pool.pCorrect[i * 3 + g];
                EXPECT_NEAR(right[i * 3 + g] / seen[g], p, 5 * std::sqrt(p * (1 - p) / seen[g]))
                    << irt << " item " << i + 1 << " group " << g + 1;
            }
        }
    }
}

TEST(AbilityData, APoolFromASampleComesCloseToTheExactOne) {
    SampleOptions sample;
    sample.items = 12;
    sample.scriptLength = 5;
    AbilityOptions options;
    options.ability = "normal:0,1";
    options.cuts = {0.2};
    const AbilityFiles exact = *generateAbilityFiles(sample, options);
    options.poolFromSample = 20000;
    const AbilityFiles estimated = *generateAbilityFiles(sample, options);
    // The same items, script, enemies and examinees; only the pool differs.
    EXPECT_EQ(exact.files.script, estimated.files.script);
    EXPECT_EQ(exact.files.enemies, estimated.files.enemies);
    EXPECT_EQ(exact.responseSeed, estimated.responseSeed);
    RunSettings settings;
    settings.groupCount = 2;
    const ItemPool a = parsePool(exact.files.pool, settings, "a"), b = parsePool(estimated.files.pool, settings, "b");
    ASSERT_EQ(a.pCorrect.size(), b.pCorrect.size());
    for (std::size_t k = 0; k < a.pCorrect.size(); ++k) EXPECT_NEAR(a.pCorrect[k], b.pCorrect[k], 0.03) << k;
    EXPECT_NEAR(a.groupPrior[0], b.groupPrior[0], 0.02);
}

TEST(AbilityData, RefusalsSayWhatIsWrong) {
    TempFolder folder;
    const auto itemFile = [&](const std::string& text) { return folder.write("items.csv", text); };
    struct Case {
        const char* name;
        std::function<void(SampleOptions&, AbilityOptions&)> set;
        const char* message;
    };
    const Case cases[] = {
        {"no cuts", [](SampleOptions&, AbilityOptions&) {}, "needs --cuts"},
        {"cuts descending",
         [](SampleOptions&, AbilityOptions& o) {
             o.cuts = {0.5, -0.5};
         },
         "ascending"},
        {"cuts repeated",
         [](SampleOptions&, AbilityOptions& o) {
             o.cuts = {0.5, 0.5};
         },
         "ascending"},
        {"too many cuts",
         [](SampleOptions&, AbilityOptions& o) {
             o.cuts = std::vector<double>(10, 0);
             for (int k = 0; k < 10; ++k) o.cuts[k] = k;
         },
         "from 1 to 9 cuts"},
        {"groups disagree",
         [](SampleOptions& s, AbilityOptions& o) {
             s.groups = 2;
             o.groupsGiven = true;
             o.cuts = {0, 1};
         },
         "--groups 2 disagrees"},
        {"no ability", [](SampleOptions&, AbilityOptions& o) { o.ability.clear(); }, "need --ability"},
        {"bad ability", [](SampleOptions&, AbilityOptions& o) { o.ability = "normal:0"; }, "MEAN,SD"},
        {"weights", [](SampleOptions&, AbilityOptions& o) { o.ability = "mixture:.5,0,1;.4,1,1"; }, "add up to 1"},
        {"zero sd", [](SampleOptions&, AbilityOptions& o) { o.ability = "normal:0,0"; }, "above 0"},
        {"empty group",
         [](SampleOptions&, AbilityOptions& o) {
             o.cuts = {-60, -50};
         },
         "holds no ability"},
        {"bad model", [](SampleOptions&, AbilityOptions& o) { o.irt = "4pl"; }, "1pl, 2pl or 3pl"},
        {"a range",
         [](SampleOptions&, AbilityOptions& o) {
             o.aRange = {2, 1};
         },
         "--a-range"},
        {"item missing column", [&](SampleOptions&, AbilityOptions& o) { o.itemFile = itemFile("id,a\nx,1\n"); },
         "line 1 column 1: the header has no column \"b\""},
        {"item not a number",
         [&](SampleOptions&, AbilityOptions& o) { o.itemFile = itemFile("id,a,b\nx,1,0\ny,1,zero\n"); },
         "line 3 column 5: b \"zero\" is not a number"},
        {"item slope", [&](SampleOptions&, AbilityOptions& o) { o.itemFile = itemFile("id,b,a\nx,0,-1\n"); },
         "line 2 column 5: a must be above 0"},
        {"item twice", [&](SampleOptions&, AbilityOptions& o) { o.itemFile = itemFile("id,a,b\nx,1,0\nx,1,1\n"); },
         "line 3 column 1: the id x is given twice"},
        {"item count",
         [&](SampleOptions& s, AbilityOptions& o) {
             s.items = 5;
             o.itemsGiven = true;
             o.itemFile = itemFile("id,a,b\nx,1,0\n");
         },
         "--items 5 disagrees"},
        {"item options with a file",
         [&](SampleOptions&, AbilityOptions& o) {
             o.itemOptionsGiven = true;
             o.itemFile = itemFile("id,a,b\nx,1,0\n");
         },
         "an --item-file gives them"},
    };
    for (const Case& c : cases) {
        SampleOptions sample;
        sample.items = 20;
        sample.scriptLength = 5;
        AbilityOptions options;
        options.ability = "normal:0,1";
        c.set(sample, options);
        if (std::string(c.name) != "no cuts" && options.cuts.empty()) options.cuts = {0};
        const Outcome<AbilityFiles> files = generateAbilityFiles(sample, options);
        ASSERT_FALSE(files.ok()) << c.name;
        EXPECT_NE(files.failure().message.find(c.message), std::string::npos)
            << c.name << ": " << files.failure().message;
    }
}

}  // namespace
}  // namespace quillon
