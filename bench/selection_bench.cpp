// Benchmarks of the hot path: one item selection over a collection, and the decision rules.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>

#include "quillon/engine/decisions.h"
#include "quillon/engine/item_selection.h"
#include "score_tree.h"

namespace {

using namespace quillon;

InputFiles makePool(std::int32_t items, std::int32_t groups) {
    InputFiles inputs;
    ItemPool& pool = inputs.pool;
    pool.groupCount = groups;
    pool.groupPrior.assign(static_cast<std::size_t>(groups), 1.0 / groups);
    std::mt19937_64 random(42);
    for (std::int32_t i = 1; i <= items; ++i) {
        pool.itemId.push_back("I" + std::to_string(i));
        pool.itemCollection.push_back(1);
        double p = 0.2 + static_cast<double>(random() % 400) / 1000.0;
        for (std::int32_t g = 0; g < groups; ++g) {
            pool.pCorrect.push_back(p);
            p += static_cast<double>(50 + random() % 150) / 1000.0 / (groups - 1);
        }
    }
    pool.itemCount = items;
    return inputs;
}

// Arguments: pool size, groups, method (0 Shannon, 1 MaxDiscr, 2 MinCost), full path (1) or not.
void selectItemBench(benchmark::State& state) {
    const auto items = static_cast<std::int32_t>(state.range(0));
    const auto groups = static_cast<std::int32_t>(state.range(1));
    const SelectionMethod methods[] = {SelectionMethod::Shannon, SelectionMethod::MaxDiscr, SelectionMethod::MinCost};
    RunSettings settings;
    settings.groupCount = groups;
    settings.selectionMethod = methods[state.range(2)];
    const InputFiles inputs = makePool(items, groups);
    // A fourth argument of 1 takes the full path at every size, 2 the search at every size: the
    // threshold's measurement.
    const std::size_t thresholds[] = {0, std::size_t{1} << 30, 1};
    setSearchThresholdForTesting(thresholds[state.range(3)]);
    ItemSelector selector(inputs, settings);
    setSearchThresholdForTesting(0);
    ExclusionMarks marks;
    marks.resize(items);
    GroupPosterior start(groups);
    start.resetPosterior(true, {});
    // A posterior partway through a test, as the selection sees it.
    for (std::int32_t i = 1; i <= 5; ++i) start.updatePosterior(inputs.pool.itemRow(i), i % 2);
    RandomGenerator random;
    for (auto _ : state) {
        GroupPosterior posterior = start;
        std::int32_t collection = 1;
        benchmark::DoNotOptimize(selector.selectItem(collection, 1, posterior, marks, random));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * items);
    state.SetLabel(std::string(selectionMethodName(methods[state.range(2)])) + ", candidate scores/s");
    // The share of candidates whose exact score was computed one by one.
    state.counters["exact"] = static_cast<double>(selector.exactScores()) /
                              static_cast<double>(std::max<std::int64_t>(selector.candidatesScored(), 1));
    // The share of candidates looked at one by one (a search over a large collection skips groups).
    state.counters["examined"] = static_cast<double>(selector.candidatesExamined()) /
                                 static_cast<double>(std::max<std::int64_t>(selector.candidatesScored(), 1));
}
BENCHMARK(selectItemBench)->ArgsProduct({{100, 1000, 5000}, {2, 5}, {0, 1, 2}, {0}});
// Around the threshold, with and without the search.
BENCHMARK(selectItemBench)->ArgsProduct({{25, 50, 100, 200, 300, 500, 1000}, {2}, {0, 1, 2}, {1, 2}});

// Arguments: pool size, method. Whole tests of 40 items on a two-group pool, answers drawn from
// the true group's probabilities: the share of candidates the selections looked at one by one,
// over the posteriors a test goes through.
void searchShareBench(benchmark::State& state) {
    const auto items = static_cast<std::int32_t>(state.range(0));
    const SelectionMethod methods[] = {SelectionMethod::Shannon, SelectionMethod::MaxDiscr, SelectionMethod::MinCost};
    RunSettings settings;
    settings.groupCount = 2;
    settings.selectionMethod = methods[state.range(1)];
    const InputFiles inputs = makePool(items, 2);
    ItemSelector selector(inputs, settings);
    ExclusionMarks marks;
    marks.resize(items);
    RandomGenerator random;
    std::mt19937_64 answers(7);
    std::int64_t selections = 0;
    for (auto _ : state) {
        marks.clearAll();
        GroupPosterior posterior(2);
        posterior.resetPosterior(true, {});
        const int group = static_cast<int>(answers() % 2);
        for (std::int32_t position = 1; position <= std::min(40, items); ++position) {
            std::int32_t collection = 1;
            const std::int32_t item = selector.selectItem(collection, position, posterior, marks, random);
            marks.markAdministered(item, 1);
            const double p = inputs.pool.itemRow(item)[group];
            posterior.updatePosterior(inputs.pool.itemRow(item), (answers() % 1000) < p * 1000 ? 1 : 0);
            ++selections;
        }
    }
    state.SetItemsProcessed(selections);
    state.SetLabel(std::string(selectionMethodName(methods[state.range(1)])) + ", selections/s");
    state.counters["examined"] = static_cast<double>(selector.candidatesExamined()) /
                                 static_cast<double>(std::max<std::int64_t>(selector.candidatesScored(), 1));
}
BENCHMARK(searchShareBench)->ArgsProduct({{100, 300, 1000, 3000, 10000}, {0, 1, 2}});

void decisionsBench(benchmark::State& state) {
    const auto groups = static_cast<std::int32_t>(state.range(0));
    RunSettings settings;
    GroupPosterior posterior(groups);
    std::vector<double> values;
    for (std::int32_t g = 1; g <= groups; ++g) values.push_back(static_cast<double>(g * g));
    posterior.resetPosterior(false, values);
    posterior.normalisePosterior();
    for (auto _ : state) {
        benchmark::DoNotOptimize(sprtDecision(posterior, settings.sprtAlpha, settings.sprtBeta));
        if (groups == 2) benchmark::DoNotOptimize(bayesDecision(posterior, settings));
        benchmark::DoNotOptimize(classifyOutcome(posterior.largestGroup(), 1));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(decisionsBench)->Arg(2)->Arg(5);

}  // namespace
