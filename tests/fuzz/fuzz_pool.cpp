// The pool loader over arbitrary bytes, with settings taken from the first byte; its refusals are
// all located.
#include <algorithm>
#include <cstdint>

#include "collected_diagnostics.h"
#include "fuzz_support.h"
#include "quillon/engine/input_files.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size < 1) return 0;
    const unsigned char knobs = data[0];
    quillon::RunSettings settings;
    settings.groupCount = 1 + (knobs & 7);  // 1 to 8, beyond what a run accepts
    settings.dropItems = (knobs & 8) != 0;
    settings.uniformPriors = (knobs & 16) != 0;
    settings.randomizationFactor = (knobs & 32) != 0 ? settings.maxTestLength : 1;
    const std::string_view bytes = quillon::fuzz::asText(data + 1, size - 1);
    quillon::ItemPool pool;
    quillon::testing::CollectedDiagnostics diagnostics;
    try {
        pool = quillon::parsePool(quillon::splitLines(bytes), settings, "pool.csv", &diagnostics);
    } catch (const quillon::InputError&) {
        // Every refusal is told with its place.
        FUZZ_CHECK(diagnostics.hasLocatedRefusal("pool.csv"));
        return 0;
    }
    // Diagnostics change nothing that is loaded.
    const quillon::ItemPool plain = quillon::parsePool(bytes, settings, "pool.csv");
    FUZZ_CHECK(plain.itemId == pool.itemId && plain.itemCollection == pool.itemCollection);
    FUZZ_CHECK(plain.collectionDeck == pool.collectionDeck && plain.groupPrior == pool.groupPrior);
    const auto items = static_cast<std::size_t>(pool.itemCount);
    const auto groups = static_cast<std::size_t>(settings.groupCount);
    FUZZ_CHECK(pool.itemCount > 0);
    FUZZ_CHECK(pool.groupCount == settings.groupCount);
    FUZZ_CHECK(pool.itemId.size() == items && pool.itemCollection.size() == items);
    FUZZ_CHECK(pool.pCorrect.size() == items * groups && pool.groupPrior.size() == groups);
    FUZZ_CHECK(std::is_sorted(pool.collectionDeck.begin(), pool.collectionDeck.end()));
    for (std::int32_t c : pool.collectionDeck) {
        FUZZ_CHECK(c >= 1);
        const auto members = std::count(pool.itemCollection.begin(), pool.itemCollection.end(), c);
        FUZZ_CHECK(members >= 6);  // fewer than six items round to no deck entry
    }
    for (const std::string& id : pool.itemId) {
        FUZZ_CHECK(id.empty() || (id.front() != ' ' && id.back() != ' '));
        FUZZ_CHECK(id.find_first_of("\r\n") == std::string::npos);
    }
    if (settings.randomizationFactor == settings.maxTestLength)
        for (std::int32_t c : pool.itemCollection) FUZZ_CHECK(c == 1);
    return 0;
}
