// One response line, and the line reader over a temporary file compared with the in-memory
// line rule. The first byte may pad the file (rarely, as 64 KiB is slow to scan) so that
// the data meets the reader's buffer edge.
#include "collected_diagnostics.h"
#include "fuzz_support.h"
#include "quillon/engine/input_files.h"
#include "recording_host.h"

namespace {

// The reader fills 64 KiB at a time; padding up to just below that puts the data on the edge.
constexpr std::size_t readerBuffer = 1 << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string_view bytes = quillon::fuzz::asText(data + 1, size - 1);

    const quillon::ResponseRecord record = quillon::parseResponseLine(bytes);
    // The diagnosed parse reads the same record, and points only into the line or just past it.
    quillon::testing::CollectedDiagnostics diagnostics;
    const quillon::ResponseLineCheck check{&diagnostics, "r",    1, 2, static_cast<std::size_t>(data[0] & 15),
                                           true,         nullptr};
    const quillon::ResponseRecord checked = quillon::parseResponseLine(bytes, &check);
    FUZZ_CHECK(checked.answers == record.answers && checked.trueGroup == record.trueGroup);
    for (const quillon::LoadDiagnostic& d : diagnostics.list)
        FUZZ_CHECK(d.line == 1 && d.column >= 1 && d.column <= static_cast<std::int64_t>(bytes.size()) + 1);
    FUZZ_CHECK(record.trueGroup >= 1 && record.trueGroup <= 10);
    FUZZ_CHECK(record.answers == (bytes.size() > 13 ? bytes.substr(13) : std::string_view()));
    for (std::int32_t position = -1; position <= static_cast<std::int32_t>(record.answers.size()) + 1; ++position) {
        const std::int32_t value = record.answerValue(position);
        FUZZ_CHECK(value >= 0 && value <= 9);
    }

    static const quillon::testing::TempFolder folder;
    std::string content;
    if (data[0] >= 0xf8) content.assign(readerBuffer - 1 - (data[0] & 7), 'x');
    content.append(bytes);
    const std::vector<std::string> expected = quillon::splitLines(content);
    quillon::LineReader reader(folder.write("responses.txt", content));
    FUZZ_CHECK(reader.isOpen());
    FUZZ_CHECK(reader.countLinesAndRewind() == static_cast<std::int64_t>(expected.size()));
    std::string line;
    for (const std::string& wanted : expected) {
        FUZZ_CHECK(reader.nextLine(line));
        FUZZ_CHECK(line == wanted);
    }
    FUZZ_CHECK(!reader.nextLine(line));
    FUZZ_CHECK(!reader.nextLine(line));
    return 0;
}
