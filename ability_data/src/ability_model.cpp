#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <queue>
#include <sstream>

#include "quillon/ability_data/ability_data.h"
#include "quillon/engine/exact_sum.h"
#include "quillon/text/csv_fields.h"
#include "quillon/text/line_reader.h"

namespace quillon {
namespace {

Failure usage(std::string message) { return Failure{FailureKind::Usage, std::move(message)}; }
Failure input(std::string message) { return Failure{FailureKind::Input, std::move(message)}; }

// A whole field as a finite number, or nothing: a half-read field would silently change a model.
std::optional<double> finiteNumber(std::string_view text) {
    const std::string trimmed = trimSpaces(text);
    if (trimmed.empty()) return std::nullopt;
    const char* begin = trimmed.data();
    if (*begin == '+') ++begin;
    double value = 0;
    const auto [end, error] = std::from_chars(begin, trimmed.data() + trimmed.size(), value);
    if (error != std::errc() || end != trimmed.data() + trimmed.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::vector<std::string> splitOn(std::string_view text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        parts.emplace_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

std::optional<std::string> fileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) return std::nullopt;
    return text.str();
}

Outcome<AbilityDistribution> abilityFile(const std::string& path) {
    const std::optional<std::string> text = fileText(path);
    if (!text) return input("Cannot read the ability file " + path + ".");
    AbilityDistribution distribution;
    const std::vector<std::string> lines = splitLines(*text);
    for (std::size_t row = 0; row < lines.size(); ++row) {
        if (trimSpaces(lines[row]).empty()) continue;
        const std::optional<double> value = finiteNumber(lines[row]);
        if (!value)
            return input("Ability file " + path + " line " + std::to_string(row + 1) + ": \"" + lines[row] +
                         "\" is not a number.");
        distribution.abilities.push_back(*value);
    }
    if (distribution.abilities.empty()) return input("Ability file " + path + " holds no ability.");
    std::sort(distribution.abilities.begin(), distribution.abilities.end());
    return distribution;
}

// The logistic 1 / (1 + exp(-x)) without overflow on either side.
double logistic(double x) {
    if (x >= 0) return 1.0 / (1.0 + std::exp(-x));
    const double e = std::exp(x);
    return e / (1.0 + e);
}

constexpr double inverseSqrt2 = 0.70710678118654752440;
constexpr double inverseSqrt2Pi = 0.39894228040143267794;

// The standard normal's mass below and above z, each accurate far into its own tail.
double massBelow(double z) { return 0.5 * std::erfc(-z * inverseSqrt2); }
double massAbove(double z) { return 0.5 * std::erfc(z * inverseSqrt2); }

// The standard normal's mass on (lo, hi], taking the smaller tails so that nothing cancels.
double massBetween(double lo, double hi) {
    if (lo >= 0) return massAbove(lo) - massAbove(hi);
    if (hi <= 0) return massBelow(hi) - massBelow(lo);
    return 1.0 - massBelow(lo) - massAbove(hi);
}

// Gauss-Kronrod 7-15 on [-1, 1]: the Kronrod nodes from the outside in, ending at 0; the Gauss
// nodes are the odd ones.
constexpr std::array<double, 8> kronrodNodes{0.991455371120812639206854697526329, 0.949107912342758524526189684047851,
                                             0.864864423359769072789712788640926, 0.741531185599394439863864773280788,
                                             0.586087235467691130294144845693013, 0.405845151377397166906606412076961,
                                             0.207784955007898467600689403773245, 0.0};
constexpr std::array<double, 8> kronrodWeights{
    0.022935322010529224963732008058970, 0.063092092629978553290700663189204, 0.104790010322250183839876322541518,
    0.140653259715525918745189590510238, 0.169004726639267902826583426598550, 0.190350578064785409913256402421014,
    0.204432940075298892414161999234649, 0.209482141084727828012999174891714};
constexpr std::array<double, 4> gaussWeights{0.129484966168869693270611432679082, 0.279705391489276667901467771423780,
                                             0.381830050505118944950369775488975, 0.417959183673469387755102040816327};

struct Panel {
    double lo, hi, value, error;
    bool operator<(const Panel& other) const { return error < other.error; }
};

template <class F>
Panel kronrodPanel(const F& f, double lo, double hi) {
    const double half = 0.5 * (hi - lo), middle = 0.5 * (hi + lo);
    double kronrod = 0, gauss = 0;
    for (std::size_t k = 0; k < kronrodNodes.size(); ++k) {
        const double sum = k + 1 == kronrodNodes.size()
                               ? f(middle)
                               : f(middle - half * kronrodNodes[k]) + f(middle + half * kronrodNodes[k]);
        kronrod += kronrodWeights[k] * sum;
        if (k % 2 == 1) gauss += gaussWeights[k / 2] * sum;
    }
    return {lo, hi, kronrod * half, std::fabs((kronrod - gauss) * half)};
}

// Global adaptive Gauss-Kronrod: the panel with the largest error estimate (|K15 - G7|, which
// overstates the error of K15 by orders of magnitude on smooth integrands) is halved until the
// estimates add up to at most `relative` of the integral. The relative error reached, in `reached`.
template <class F>
double adaptiveIntegral(const F& f, double lo, double hi, double relative, double& reached) {
    std::priority_queue<Panel> panels;
    panels.push(kronrodPanel(f, lo, hi));
    // Exact running totals, so that rounding in them never decides when to stop.
    ExactSum values(panels.top().value), errors(panels.top().error);
    double value = values.value(), error = errors.value();
    constexpr int maxPanels = 5000;
    for (int count = 1;
         count < maxPanels && error > relative * std::fabs(value) && error > std::numeric_limits<double>::min();
         ++count) {
        const Panel worst = panels.top();
        const double middle = 0.5 * (worst.lo + worst.hi);
        if (!(middle > worst.lo && middle < worst.hi)) break;  // no room left to halve
        panels.pop();
        const Panel left = kronrodPanel(f, worst.lo, middle), right = kronrodPanel(f, middle, worst.hi);
        panels.push(left);
        panels.push(right);
        for (const double v : {-worst.value, left.value, right.value}) values.add(v);
        for (const double e : {-worst.error, left.error, right.error}) errors.add(e);
        value = values.value();
        error = errors.value();
    }
    reached = value == 0 ? error : error / std::fabs(value);
    return value;
}

// Where the integration of a standard normal on (lo, hi] may stop: the mass beyond each returned
// end is at most 1e-17 of `mass`, so cutting it changes a group's probability by less than that.
std::pair<double, double> truncated(double lo, double hi, double mass) {
    const double tail = 1e-17 * mass;
    double top = std::max(lo, 0.0);
    while (top < hi && massAbove(top) > tail) top += 0.25;
    double bottom = std::min(hi, 0.0);
    while (bottom > lo && massBelow(bottom) > tail) bottom -= 0.25;
    return {std::max(lo, bottom), std::min(hi, top)};
}

constexpr double integralTolerance = 1e-15;

}  // namespace

Outcome<AbilityDistribution> readAbility(std::string_view text) {
    const std::size_t colon = text.find(':');
    const std::string_view kind = text.substr(0, colon);
    const std::string_view rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    if (colon != std::string_view::npos && kind == "file") {
        if (rest.empty()) return usage("--ability file: needs a path, as in file:abilities.txt.");
        return abilityFile(std::string(rest));
    }
    if (colon == std::string_view::npos || (kind != "normal" && kind != "mixture"))
        return usage("--ability must be normal:MEAN,SD, mixture:W1,M1,S1;W2,M2,S2... or file:PATH, not \"" +
                     std::string(text) + "\".");
    AbilityDistribution distribution;
    const std::vector<std::string> parts =
        kind == "normal" ? std::vector<std::string>{std::string(rest)} : splitOn(rest, ';');
    double weights = 0;
    for (const std::string& part : parts) {
        const std::vector<std::string> fields = splitOn(part, ',');
        const std::size_t wanted = kind == "normal" ? 2 : 3;
        std::vector<double> values;
        for (const std::string& field : fields)
            if (const std::optional<double> value = finiteNumber(field)) values.push_back(*value);
        if (fields.size() != wanted || values.size() != wanted)
            return usage("--ability " + std::string(kind) + ": \"" + part + "\" must be " +
                         (kind == "normal" ? "MEAN,SD" : "WEIGHT,MEAN,SD") + ", numbers.");
        NormalComponent component;
        if (kind == "mixture") component.weight = values[0];
        component.mean = values[wanted - 2];
        component.sd = values[wanted - 1];
        if (!(component.sd > 0)) return usage("--ability: the standard deviation in \"" + part + "\" must be above 0.");
        if (!(component.weight > 0 && component.weight <= 1))
            return usage("--ability: the weight in \"" + part + "\" must be above 0 and at most 1.");
        weights += component.weight;
        distribution.components.push_back(component);
    }
    if (!(std::fabs(weights - 1.0) <= 1e-9))
        return usage("--ability mixture: the weights must add up to 1, not " + std::to_string(weights) + ".");
    return distribution;
}

double irtProbability(const IrtItem& item, double scale, double ability) {
    return item.c + (1.0 - item.c) * logistic(scale * item.a * (ability - item.b));
}

Outcome<std::vector<IrtItem>> readIrtItemFile(const std::string& path) {
    const std::optional<std::string> text = fileText(path);
    if (!text) return input("Cannot read the item file " + path + ".");
    const std::vector<std::string> lines = splitLines(*text);
    const auto fault = [&](std::size_t row, std::size_t column, const std::string& what) {
        return input("Item file " + path + " line " + std::to_string(row + 1) + " column " + std::to_string(column) +
                     ": " + what);
    };
    if (lines.empty()) return input("Item file " + path + " is empty; it needs a header id,a,b,c.");
    // Where each named column stands, from the header.
    const std::vector<CsvField> header = csvFieldsWithColumns(lines[0]);
    constexpr std::array<std::string_view, 5> names{"id", "a", "b", "c", "collection"};
    std::array<std::size_t, 5> at{};  // 1-based field, 0 when absent
    for (std::size_t f = 0; f < header.size(); ++f) {
        const std::string name = trimSpaces(header[f].text);
        const auto known = std::find(names.begin(), names.end(), name);
        if (known == names.end())
            return fault(0, header[f].column,
                         "\"" + name + "\" is not a column of an item file (id, a, b, c, collection).");
        std::size_t& slot = at[static_cast<std::size_t>(known - names.begin())];
        if (slot != 0) return fault(0, header[f].column, "the column \"" + name + "\" is named twice.");
        slot = f + 1;
    }
    for (std::size_t k = 0; k < 3; ++k)
        if (at[k] == 0)
            return fault(0, 1, "the header has no column \"" + std::string(names[k]) + "\" (it needs id, a and b).");
    std::vector<IrtItem> items;
    for (std::size_t row = 1; row < lines.size(); ++row) {
        if (trimSpaces(lines[row]).empty()) continue;
        const std::vector<CsvField> fields = csvFieldsWithColumns(lines[row]);
        const auto field = [&](std::size_t k) {
            return at[k] <= fields.size() ? fields[at[k] - 1] : CsvField{"", lines[row].size() + 1};
        };
        IrtItem item;
        item.id = trimSpaces(field(0).text);
        if (item.id.empty() || item.id.find_first_of(",\"") != std::string::npos)
            return fault(row, field(0).column, "the id must be given, without commas or quotes.");
        for (std::size_t k = 1; k < 4; ++k) {
            if (k == 3 && at[k] == 0) break;
            const std::optional<double> value = finiteNumber(field(k).text);
            if (!value)
                return fault(row, field(k).column,
                             std::string(names[k]) + " \"" + field(k).text + "\" is not a number.");
            (k == 1 ? item.a : k == 2 ? item.b : item.c) = *value;
        }
        if (!(item.a > 0)) return fault(row, field(1).column, "a must be above 0.");
        if (!(item.c >= 0 && item.c < 1)) return fault(row, field(3).column, "c must be from 0 up to below 1.");
        if (at[4] != 0) {
            const std::string collection = trimSpaces(field(4).text);
            int value = 0;
            const auto [end, error] = std::from_chars(collection.data(), collection.data() + collection.size(), value);
            if (error != std::errc() || end != collection.data() + collection.size() || value < 1 || value > 8)
                return fault(row, field(4).column,
                             "the collection \"" + collection + "\" must be a whole number from 1 to 8.");
            item.collection = value;
        }
        for (const IrtItem& earlier : items)
            if (earlier.id == item.id) return fault(row, field(0).column, "the id " + item.id + " is given twice.");
        items.push_back(std::move(item));
    }
    if (items.empty()) return input("Item file " + path + " holds no item.");
    return items;
}

bool AbilityOptions::anyGiven() const {
    return !ability.empty() || !itemFile.empty() || itemOptionsGiven || !cuts.empty() || scale != 1.0 ||
           poolFromSample != 0;
}

std::int32_t AbilityModel::groupOf(double ability) const {
    return 1 + static_cast<std::int32_t>(std::lower_bound(cuts.begin(), cuts.end(), ability) - cuts.begin());
}

Outcome<GroupProbabilities> groupProbabilities(const AbilityModel& model) {
    const std::size_t groups = static_cast<std::size_t>(model.groupCount());
    const std::size_t items = model.items.size();
    GroupProbabilities result;
    result.prior.assign(groups, 0.0);
    result.pCorrect.assign(items * groups, 0.0);
    const auto lowEnd = [&](std::size_t g) { return g == 0 ? -HUGE_VAL : model.cuts[g - 1]; };
    const auto highEnd = [&](std::size_t g) { return g + 1 == groups ? HUGE_VAL : model.cuts[g]; };
    const auto noAbility = [](std::size_t g) {
        return input("Group " + std::to_string(g + 1) +
                     " holds no ability: its interval between the cuts has no mass under the ability distribution.");
    };

    if (model.ability.components.empty()) {
        // A file's abilities: each group's share of them, and the mean of the curve over its own.
        const std::vector<double>& abilities = model.ability.abilities;
        for (std::size_t g = 0; g < groups; ++g) {
            const auto first = std::upper_bound(abilities.begin(), abilities.end(), lowEnd(g));
            const auto last = std::upper_bound(abilities.begin(), abilities.end(), highEnd(g));
            const auto count = static_cast<double>(last - first);
            if (count == 0) return noAbility(g);
            result.prior[g] = count / static_cast<double>(abilities.size());
            for (std::size_t i = 0; i < items; ++i) {
                const IrtItem& item = model.items[i];
                ExactSum sum;
                for (auto at = first; at != last; ++at) sum.add(logistic(model.scale * item.a * (*at - item.b)));
                result.pCorrect[i * groups + g] = item.c + (1.0 - item.c) * (sum.value() / count);
            }
        }
        return result;
    }

    for (std::size_t g = 0; g < groups; ++g) {
        // Per component, the interval in standard units and its mass there.
        struct Piece {
            double weight, mean, sd, lo, hi, mass;
        };
        std::vector<Piece> pieces;
        ExactSum groupMass;
        for (const NormalComponent& n : model.ability.components) {
            const double lo = (lowEnd(g) - n.mean) / n.sd, hi = (highEnd(g) - n.mean) / n.sd;
            const double mass = massBetween(lo, hi);
            if (mass > 0) pieces.push_back({n.weight, n.mean, n.sd, lo, hi, mass});
            groupMass.add(n.weight * mass);
        }
        const double mass = groupMass.value();
        if (!(mass > 0)) return noAbility(g);
        result.prior[g] = mass;
        for (std::size_t i = 0; i < items; ++i) {
            const IrtItem& item = model.items[i];
            ExactSum curve;
            for (const Piece& p : pieces) {
                const auto [lo, hi] = truncated(p.lo, p.hi, p.mass);
                const auto density = [&](double z) {
                    return logistic(model.scale * item.a * (p.mean + p.sd * z - item.b)) * inverseSqrt2Pi *
                           std::exp(-0.5 * z * z);
                };
                double reached = 0;
                const double value = adaptiveIntegral(density, lo, hi, integralTolerance, reached);
                if (reached > 1e-12)
                    return input("The probability of item " + item.id + " in group " + std::to_string(g + 1) +
                                 " could not be integrated to full precision.");
                curve.add(p.weight * value);
            }
            result.pCorrect[i * groups + g] = item.c + (1.0 - item.c) * std::min(1.0, curve.value() / mass);
        }
    }
    return result;
}

}  // namespace quillon
