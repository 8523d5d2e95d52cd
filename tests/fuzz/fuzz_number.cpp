// The number rule that reads every field of the input files and every box of the window.
#include <cmath>
#include <cstdint>

#include "fuzz_support.h"
#include "quillon/engine/run_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string_view text = quillon::fuzz::asText(data, size);
    const double value = quillon::readNumber(text);
    const std::int32_t rounded = quillon::readInteger(text);
    FUZZ_CHECK(rounded == quillon::roundToInteger(value));
    if (std::isnan(value)) {
        FUZZ_CHECK(rounded == 0);
    } else if (value >= -2147483648.0 && value <= 2147483647.0) {
        // Nearest integer, and a half goes to the even one.
        const double distance = std::fabs(static_cast<double>(rounded) - value);
        FUZZ_CHECK(distance <= 0.5);
        if (distance == 0.5) FUZZ_CHECK(rounded % 2 == 0);
    } else {
        FUZZ_CHECK(rounded == (value > 0 ? INT32_MAX : INT32_MIN));
    }
    // Leading blanks and line ends are skipped, so they never change the value.
    const std::string padded = " \t\r\n" + std::string(text);
    const double again = quillon::readNumber(padded);
    FUZZ_CHECK(again == value || (std::isnan(again) && std::isnan(value)));
    return 0;
}
