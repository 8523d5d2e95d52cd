// The enemies loader over arbitrary bytes, matched against a small fixed pool that holds a
// repeated identifier, a dropped one, an empty one and a quoted one.
#include "collected_diagnostics.h"
#include "fuzz_support.h"
#include "quillon/engine/input_files.h"

namespace {

const quillon::ItemPool& fixedPool() {
    static const quillon::ItemPool pool = [] {
        quillon::RunSettings settings;
        settings.dropItems = true;
        return quillon::parsePool(
            "Item_ID,Collection,Freq,dropQQ,1,2\r\n"
            "N,,,,500,500\r\n"
            "P_Grp, , , ,.5,.5\r\n"
            "A7,1,,0,.3,.7\r\n"
            "B2,1,,0,.2,.8\r\n"
            "A7,2,,0,.4,.6\r\n"
            "D4,2,,1,.1,.9\r\n"
            ",2,,0,.5,.5\r\n"
            "\" C, 9 \",3,,0,.45,.55\r\n"
            "\tT,3,,0,.35,.65\r\n",
            settings, "pool.csv");
    }();
    return pool;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const quillon::ItemPool& pool = fixedPool();
    const std::string_view bytes = quillon::fuzz::asText(data, size);
    std::vector<quillon::EnemySet> sets;
    quillon::testing::CollectedDiagnostics diagnostics;
    std::vector<quillon::EnemyRow> rows;
    try {
        sets = quillon::parseEnemies(quillon::splitLines(bytes), pool, "enemies.csv", &diagnostics, &rows);
    } catch (const quillon::InputError&) {
        // Every refusal is told with its place.
        FUZZ_CHECK(diagnostics.hasLocatedRefusal("enemies.csv"));
        return 0;
    }
    FUZZ_CHECK(rows.size() == sets.size());
    for (const quillon::EnemyRow& row : rows) {
        FUZZ_CHECK(!row.names.empty());
        for (const quillon::EnemyName& name : row.names)
            FUZZ_CHECK(name.position >= 0 && name.position <= pool.itemCount && name.column >= 1);
    }
    FUZZ_CHECK(!sets.empty());
    FUZZ_CHECK(sets.size() + 1 == quillon::splitLines(bytes).size());
    for (const quillon::EnemySet& set : sets) {
        FUZZ_CHECK(!set.positions.empty());
        for (std::int32_t position : set.positions) {
            FUZZ_CHECK(position >= 0 && position <= pool.itemCount);
            // The first of two items with one identifier is the one an enemy row names.
            FUZZ_CHECK(position != 3);
        }
    }
    return 0;
}
