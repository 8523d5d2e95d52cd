#include "reference.h"

#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace quillon::reference {
namespace {

// Logarithms of 0, negative, infinite or undefined arguments count as 0.
double guardedLog2(double x) {
    if (!(x > 0.0) || std::isinf(x)) return 0.0;
    return std::log2(x);
}

double guardedLn(double x) {
    if (!(x > 0.0) || std::isinf(x)) return 0.0;
    return std::log(x);
}

// The answer character at a pool position: its digit value, 0 for anything else or past the end.
std::int32_t scoredAnswer(const std::string& answers, std::int32_t position) {
    if (position < 1 || static_cast<std::size_t>(position) > answers.size()) return 0;
    const char c = answers[static_cast<std::size_t>(position) - 1];
    if (c >= '0' && c <= '9') return c - '0';
    return 0;
}

// x to a whole power with x^0 = 1 for every x, as the update's power form asks.
double wholePower(double x, std::int32_t e) { return std::pow(x, static_cast<double>(e)); }

// The state of one examinee's replay, held in the plainest form the rules allow.
class Examinee {
public:
    Examinee(const InputFiles& inputs, const RunSettings& settings, RandomGenerator& random)
        : inputs_(inputs), settings_(settings), random_(random), groups_(settings.groupCount) {
        posterior_.assign(static_cast<std::size_t>(groups_), 0.0);
        marks_.assign(static_cast<std::size_t>(inputs.pool.itemCount), std::array<std::int32_t, 6>{});
    }

    void run(const ResponseRecord& record, ExamineeOutcome& outcome, std::vector<PositionTrace>* traces) {
        outcome.trueGroup = record.trueGroup;
        outcome.tests.clear();
        deckCount_ = 0;
        for (auto& row : marks_) row.fill(0);
        for (std::int32_t t = 1; t <= settings_.testsPerPerson; ++t) {
            TestRecord test;
            if (t > 1) {
                for (auto& row : marks_) row[0] = 0;
            }
            resetPosterior();
            for (std::int32_t n = 1; n <= settings_.maxTestLength; ++n) {
                std::int32_t c = deckDraw();
                if (c > 8) test.icolErrorPositions.push_back(n);
                const std::int32_t item = selectItem(c, n);
                if (item == 0) {
                    test.failed = true;
                    test.failedCollection = c;
                    outcome.tests.push_back(test);
                    return;
                }
                marks_[static_cast<std::size_t>(item) - 1][static_cast<std::size_t>(t)] = 1;
                const std::int32_t r = scoredAnswer(record.answers, item);
                PositionOutcome at;
                at.item = item;
                at.mapGroup = updatePosterior(item, r);
                at.mapProb = at.mapGroup >= 1 ? P(at.mapGroup) : 0.0;
                at.sprtGroup = sprtDecision();
                if (groups_ == 2) {
                    at.bayesGroup = bayesDecision();
                    at.bayesProb = P(at.bayesGroup);
                }
                test.positions.push_back(at);
                if (traces) traces->push_back(PositionTrace{t, n, c, r, posterior_});
            }
            outcome.tests.push_back(test);
        }
    }

private:
    double& P(std::int32_t g) { return posterior_[static_cast<std::size_t>(g) - 1]; }
    double pCorrect(std::int32_t i, std::int32_t g) const {
        return inputs_.pool.pCorrect[static_cast<std::size_t>(i - 1) * static_cast<std::size_t>(groups_) +
                                     static_cast<std::size_t>(g - 1)];
    }

    void resetPosterior() {
        for (std::int32_t g = 1; g <= groups_; ++g) {
            P(g) = settings_.uniformPriors ? 1.0 / groups_ : inputs_.pool.groupPrior[static_cast<std::size_t>(g) - 1];
        }
    }

    // The group with the largest value, lowest among equals, 0 when none exceeds 0.
    std::int32_t largestGroup() {
        double max = 0.0;
        std::int32_t best = 0;
        for (std::int32_t g = 1; g <= groups_; ++g) {
            if (P(g) > max) {
                max = P(g);
                best = g;
            }
        }
        return best;
    }

    std::int32_t updatePosterior(std::int32_t i, std::int32_t r) {
        std::vector<double> updated(static_cast<std::size_t>(groups_));
        double max = 0.0;
        std::int32_t best = 0;
        double sum = 0.0;
        bool allZero = true;
        for (std::int32_t g = 1; g <= groups_; ++g) {
            const double p = pCorrect(i, g);
            const double value = wholePower(p, r) * P(g) * wholePower(1.0 - p, 1 - r);
            updated[static_cast<std::size_t>(g) - 1] = value;
            if (value > max) {
                max = value;
                best = g;
            }
            sum += value;
            if (value != 0.0) allZero = false;
        }
        // An answer no group can give keeps the previous posterior rather than 0/0 everywhere.
        if (allZero) return largestGroup();
        for (std::int32_t g = 1; g <= groups_; ++g) P(g) = updated[static_cast<std::size_t>(g) - 1] / sum;
        return best;
    }

    void normalisePosterior() {
        double sum = 0.0;
        for (std::int32_t g = 1; g <= groups_; ++g) sum += P(g);
        for (std::int32_t g = 1; g <= groups_; ++g) P(g) = P(g) / sum;
    }

    double probabilityCorrect(std::int32_t i) {
        double sum = 0.0;
        for (std::int32_t g = 1; g <= groups_; ++g) sum += pCorrect(i, g) * P(g);
        return sum;
    }

    std::vector<double> lookAheadPosterior(std::int32_t i, bool right) {
        std::vector<double> t(static_cast<std::size_t>(groups_));
        double sum = 0.0;
        for (std::int32_t g = 1; g <= groups_; ++g) {
            const double p = pCorrect(i, g);
            t[static_cast<std::size_t>(g) - 1] = (right ? p : 1.0 - p) * P(g);
            sum += t[static_cast<std::size_t>(g) - 1];
        }
        for (double& value : t) value = value / sum;
        return t;
    }

    double entropy(const std::vector<double>& t) const {
        double sum = 0.0;
        for (std::int32_t g = 1; g <= groups_; ++g) {
            const double x = t[static_cast<std::size_t>(g) - 1];
            sum += x * guardedLog2(x);
        }
        return -sum;
    }

    double shannonScore(std::int32_t i) {
        normalisePosterior();
        const double pc = probabilityCorrect(i);
        const double hr = entropy(lookAheadPosterior(i, true));
        const double hw = entropy(lookAheadPosterior(i, false));
        return pc * hr + (1.0 - pc) * hw;
    }

    double discriminationScore(std::int32_t i) {
        std::int32_t b = 1;
        if (groups_ > 2) {
            const std::int32_t m = largestGroup();
            // No group above 0 (an undefined posterior) has no most probable group: the lowest
            // boundary, as for group 1.
            if (m <= 1) {
                b = 1;
            } else if (m == groups_) {
                b = groups_ - 1;
            } else if (P(m + 1) >= P(m - 1)) {
                b = m;
            } else {
                b = m - 1;
            }
        }
        return 1.0 / std::fabs(guardedLn(pCorrect(i, b) / pCorrect(i, b + 1)));
    }

    double bayesCost(const std::vector<double>& t) const {
        const double t1 = t[0];
        const double t2 = t[1];
        double cost = t1 * settings_.costFailFail;
        cost = cost + t1 * (1.0 - t1) * settings_.costFailPass;
        cost = cost + t2 * (1.0 - t2) * settings_.costPassFail;
        cost = cost + t2 * settings_.costPassPass;
        return cost;
    }

    double expectedCostScore(std::int32_t i) {
        normalisePosterior();
        const double pc = probabilityCorrect(i);
        const double right = bayesCost(lookAheadPosterior(i, true));
        const double wrong = bayesCost(lookAheadPosterior(i, false));
        return pc * right + (1.0 - pc) * wrong;
    }

    // The in-place quicksort over 1-based list positions lo to hi; it alone decides tie order.
    static void quicksort(std::vector<std::int32_t>& item, std::vector<double>& score, std::int32_t lo,
                          std::int32_t hi) {
        const double pivot = score[static_cast<std::size_t>((lo + hi) / 2)];
        std::int32_t i = lo;
        std::int32_t j = hi;
        while (i <= j) {
            while (score[static_cast<std::size_t>(i)] < pivot && i < hi) ++i;
            while (pivot < score[static_cast<std::size_t>(j)] && j > lo) --j;
            if (i <= j) {
                std::swap(item[static_cast<std::size_t>(i)], item[static_cast<std::size_t>(j)]);
                std::swap(score[static_cast<std::size_t>(i)], score[static_cast<std::size_t>(j)]);
                ++i;
                --j;
            }
        }
        if (lo < j) quicksort(item, score, lo, j);
        if (i < hi) quicksort(item, score, i, hi);
    }

    std::int32_t selectItem(std::int32_t& collection, std::int32_t position) {
        std::int32_t factor = settings_.randomizationFactor;
        if (settings_.followScript) {
            const ScriptSlot& slot = inputs_.script.slots[static_cast<std::size_t>(position) - 1];
            collection = slot.slotCollection;
            factor = slot.slotFactor;
        }
        if (factor < 1) factor = 1;

        // Index 0 unused, so the list positions are the 1-based ones of the rules.
        std::vector<std::int32_t> item{0};
        std::vector<double> score{0.0};
        std::int32_t count = 0;
        for (std::int32_t i = 1; i <= inputs_.pool.itemCount; ++i) {
            if (inputs_.pool.itemCollection[static_cast<std::size_t>(i) - 1] != collection) continue;
            bool marked = false;
            for (std::int32_t column = 0; column < 6; ++column) {
                if (marks_[static_cast<std::size_t>(i) - 1][static_cast<std::size_t>(column)] == 1) marked = true;
            }
            if (marked) continue;
            ++count;
            double s = 0.0;
            if (settings_.selectionMethod == SelectionMethod::Shannon) {
                s = shannonScore(i);
            } else if (settings_.selectionMethod == SelectionMethod::MaxDiscr) {
                s = discriminationScore(i);
            } else {
                s = expectedCostScore(i);
            }
            item.push_back(i);
            score.push_back(s);
        }
        if (count == 0) return 0;

        for (std::int32_t r = 1; r <= count; ++r) {
            if (std::isnan(score[static_cast<std::size_t>(r)])) {
                score[static_cast<std::size_t>(r)] = std::numeric_limits<double>::infinity();
            }
        }
        quicksort(item, score, 1, count);

        const std::int32_t k = count < factor ? count : factor;
        const double u = random_.nextUniform();
        const std::int32_t r = 1 + static_cast<std::int32_t>(std::floor(u * k));
        const std::int32_t chosen = item[static_cast<std::size_t>(r)];

        if (settings_.blockEnemies) {
            for (const EnemySet& set : inputs_.enemySets) {
                bool contains = false;
                for (std::int32_t listed : set.positions) {
                    if (listed == chosen) contains = true;
                }
                if (!contains) continue;
                for (std::int32_t listed : set.positions) {
                    if (listed == 0) continue;
                    marks_[static_cast<std::size_t>(listed) - 1][0] = 1;
                }
            }
        }
        return chosen;
    }

    std::int32_t deckDraw() {
        if (deckCount_ == 0) {
            deckRemaining_ = inputs_.pool.collectionDeck;
            if (deckRemaining_.empty()) deckRemaining_.push_back(0);
            deckCount_ = static_cast<std::int32_t>(deckRemaining_.size());
        }
        const double u = random_.nextUniform();
        const std::int32_t index = 1 + static_cast<std::int32_t>(std::floor(u * deckCount_));
        const std::int32_t c = deckRemaining_[static_cast<std::size_t>(index) - 1];
        deckRemaining_.erase(deckRemaining_.begin() + (index - 1));
        --deckCount_;
        return c;
    }

    std::int32_t sprtDecision() {
        const double a = settings_.sprtAlpha;
        const double b = settings_.sprtBeta;
        const double upper = (1.0 - b) / a;
        const double lower = b / (1.0 - a);
        const std::int32_t n = groups_;
        // Comparisons with an undefined ratio are false, so a 0/0 ratio decides nothing.
        std::int32_t d = 0;
        if (P(n) / P(n - 1) > upper) d = n;
        if (P(2) / P(1) < lower) d = 1;
        if (n > 2) {
            for (std::int32_t k = 2; k <= n - 1; ++k) {
                if (P(k) / P(k - 1) > upper && P(k + 1) / P(k) < lower) d = k;
            }
        }
        return d;
    }

    std::int32_t bayesDecision() {
        double r1 = P(1) * (settings_.costPassFail - settings_.costFailFail);
        double r2 = P(2) * (settings_.costFailPass - settings_.costPassPass);
        const double s = r2 + r1;
        r1 = r1 / s;
        r2 = r2 / s;
        return r2 > r1 ? 2 : 1;
    }

    const InputFiles& inputs_;
    const RunSettings& settings_;
    RandomGenerator& random_;
    std::int32_t groups_;
    std::vector<double> posterior_;
    std::vector<std::array<std::int32_t, 6>> marks_;  // [position - 1][column]
    std::vector<std::int32_t> deckRemaining_;
    std::int32_t deckCount_ = 0;
};

// Accurate when the decided group is the true one, a false positive when higher, else negative.
void count(std::int32_t decided, std::int32_t trueGroup, std::int64_t& accurate, std::int64_t& falsePos,
           std::int64_t& falseNeg) {
    if (decided == trueGroup) ++accurate;
    if (decided > trueGroup) ++falsePos;
    if (decided < trueGroup) ++falseNeg;
}

}  // namespace

void simulateExaminee(const InputFiles& inputs, const RunSettings& settings, const ResponseRecord& record,
                      RandomGenerator& random, ExamineeOutcome& outcome, std::vector<PositionTrace>* traces) {
    // The marks have one column per test: five tests at most, as the run itself allows.
    if (settings.testsPerPerson > 5) throw std::invalid_argument("more than five tests per person");
    Examinee examinee(inputs, settings, random);
    examinee.run(record, outcome, traces);
}

ReferenceRun runReference(const InputFiles& inputs, const RunSettings& settings, std::string_view responses,
                          RandomGenerator& random) {
    ReferenceRun run;
    RunStatistics& stats = run.statistics;
    stats.lengths.assign(static_cast<std::size_t>(settings.maxTestLength), LengthStatistics{});
    stats.exposureCount.assign(static_cast<std::size_t>(inputs.pool.itemCount), 0);

    const std::vector<std::string> lines = splitLines(responses);
    const std::int64_t expectedTests = static_cast<std::int64_t>(lines.size()) * settings.testsPerPerson;
    const std::int64_t step = expectedTests / 100;
    bool cancelled = false;  // a collection error closes the progress display, which reads as a cancel
    bool stopped = false;

    for (const std::string& line : lines) {
        if (stopped) break;
        const ResponseRecord record = parseResponseLine(line);
        ExamineeOutcome outcome;
        simulateExaminee(inputs, settings, record, random, outcome, nullptr);
        for (const TestRecord& test : outcome.tests) {
            // The progress point comes before the test counts: a cancel there ends the replay
            // without starting it.
            const std::int64_t next = stats.testsStarted + 1;
            if ((step == 0 || next % step == 0) && cancelled) {
                stopped = true;
                break;
            }
            stats.testsStarted = next;
            for (std::size_t n = 0; n < test.positions.size(); ++n) {
                const PositionOutcome& at = test.positions[n];
                LengthStatistics& length = stats.lengths[n];
                ++stats.exposureCount[static_cast<std::size_t>(at.item) - 1];
                length.mapProbSum.add(at.mapProb);
                count(at.mapGroup, record.trueGroup, length.mapAccurate, length.mapFalsePos, length.mapFalseNeg);
                if (at.sprtGroup > 0) {
                    ++length.sprtDecided;
                    count(at.sprtGroup, record.trueGroup, length.sprtAccurate, length.sprtFalsePos,
                          length.sprtFalseNeg);
                }
                if (settings.groupCount == 2) {
                    length.bayesProbSum.add(at.bayesProb);
                    count(at.bayesGroup, record.trueGroup, length.bayesAccurate, length.bayesFalsePos,
                          length.bayesFalseNeg);
                }
            }
            for (std::int32_t position : test.icolErrorPositions) {
                run.messages.push_back("icol error  " + std::to_string(position));
                cancelled = true;
            }
            if (test.failed) {
                run.messages.push_back("Not enought items, content area " + std::to_string(test.failedCollection));
                return run;
            }
        }
    }
    run.completed = true;
    return run;
}

}  // namespace quillon::reference
