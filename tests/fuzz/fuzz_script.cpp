// The script loader over arbitrary bytes; the first byte sets the test length it must cover.
#include "fuzz_support.h"
#include "quillon/engine/input_files.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size < 1) return 0;
    quillon::RunSettings settings;
    settings.followScript = true;
    settings.maxTestLength = static_cast<std::int32_t>(data[0]) - 8;  // also 0 and below
    const std::string_view bytes = quillon::fuzz::asText(data + 1, size - 1);
    quillon::Script script;
    try {
        script = quillon::parseScript(bytes, settings, "script.csv");
    } catch (const quillon::InputError&) {
        return 0;
    }
    FUZZ_CHECK(!script.slots.empty());
    FUZZ_CHECK(static_cast<std::int64_t>(script.slots.size()) >= settings.maxTestLength);
    // One slot per line after the header.
    FUZZ_CHECK(script.slots.size() + 1 == quillon::splitLines(bytes).size());
    return 0;
}
