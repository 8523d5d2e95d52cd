#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

/// The longest line any input file may have; a longer one (or a file without line ends, such as
/// an endless device) is refused when reading reaches it, before it fills the memory.
inline constexpr std::size_t maxLineLength = std::size_t{64} << 20;

/// Whether a name may be opened as a file: not empty and not a folder (fopen would take a folder).
bool isOpenableName(const std::string& path);

/// Splits text into lines: CR, CR LF and a lone LF end a line, 0x1A or the end ends the text,
/// and a final line end adds no empty line.
std::vector<std::string> splitLines(std::string_view bytes);

/// Why a line reader stopped before the end of its file.
enum class ReadProblem { None, LineTooLong, ReadFailed, CopyFailed };

/// Reads a file one line at a time by the same line rules, without holding the whole file.
class LineReader {
public:
    /// Opens the file for reading; `isOpen` tells whether that worked.
    explicit LineReader(const std::string& path);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    /// Reads lines from text held in memory (a package's response lines), by the same rules.
    static std::unique_ptr<LineReader> overText(std::string text);

    bool isOpen() const { return file_ != nullptr || inMemory_; }

    /// Reads the next line without its end; false at the end of the file, and also when reading
    /// stops early (see `problem`).
    bool nextLine(std::string& line);

    /// Counts the remaining lines, then starts again from the beginning. A stream that cannot
    /// start again (a pipe, a FIFO, a terminal) is copied as it is counted into an unlinked
    /// temporary file, which is then read instead; check `problem` afterwards.
    std::int64_t countLinesAndRewind();

    /// Why reading stopped early, or `None`.
    ReadProblem problem() const { return problem_; }

    /// The 1-based number of the line that was too long.
    std::int64_t problemLine() const { return linesRead_ + 1; }

private:
    friend std::vector<std::string> splitLines(std::string_view bytes);

    struct InMemory {};
    // Reads lines from text already in memory.
    LineReader(InMemory, std::string_view text);

    template <class Keep>
    bool readLine(Keep&& keep);
    bool refill();
    void stop(ReadProblem problem);

    std::FILE* file_ = nullptr;
    std::FILE* copy_ = nullptr;  // while counting a stream that cannot rewind
    bool rewindable_ = true;
    std::vector<char> buffer_;
    const char* data_ = nullptr;  // the bytes being read: the buffer, or the text
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool ended_ = false;
    ReadProblem problem_ = ReadProblem::None;
    std::int64_t linesRead_ = 0;
    bool inMemory_ = false;
    std::string ownedText_;  // the text of `overText`
};

}  // namespace quillon
