// The script loader over arbitrary bytes; the first byte sets the test length it must cover. Its
// refusals are all located.
#include "collected_diagnostics.h"
#include "fuzz_support.h"
#include "quillon/engine/input_files.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size < 1) return 0;
    quillon::RunSettings settings;
    settings.followScript = true;
    settings.maxTestLength = static_cast<std::int32_t>(data[0]) - 8;  // also 0 and below
    const std::string_view bytes = quillon::fuzz::asText(data + 1, size - 1);
    quillon::Script script;
    quillon::testing::CollectedDiagnostics diagnostics;
    try {
        script = quillon::parseScript(quillon::splitLines(bytes), settings, "script.csv", &diagnostics);
    } catch (const quillon::InputError&) {
        // Every refusal is told with its place.
        FUZZ_CHECK(diagnostics.hasLocatedRefusal("script.csv"));
        return 0;
    }
    FUZZ_CHECK(!script.slots.empty());
    FUZZ_CHECK(static_cast<std::int64_t>(script.slots.size()) >= settings.maxTestLength);
    // One slot per line after the header.
    FUZZ_CHECK(script.slots.size() + 1 == quillon::splitLines(bytes).size());
    return 0;
}
