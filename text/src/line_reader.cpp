#include "quillon/text/line_reader.h"

#include <filesystem>
#include <system_error>

namespace quillon {

namespace {

constexpr char endOfFileMark = 0x1A;

}  // namespace

bool isOpenableName(const std::string& path) {
    if (path.empty()) return false;
    std::error_code error;
    return !std::filesystem::is_directory(path, error);
}

LineReader::LineReader(const std::string& path) : buffer_(1 << 16) {
    if (isOpenableName(path)) file_ = std::fopen(path.c_str(), "rb");
    std::error_code error;
    rewindable_ = std::filesystem::is_regular_file(path, error);
    data_ = buffer_.data();
}

LineReader::LineReader(InMemory, std::string_view text) : data_(text.data()), end_(text.size()), inMemory_(true) {}

std::unique_ptr<LineReader> LineReader::overText(std::string text) {
    std::unique_ptr<LineReader> reader(new LineReader(InMemory{}, {}));
    reader->ownedText_ = std::move(text);
    reader->data_ = reader->ownedText_.data();
    reader->end_ = reader->ownedText_.size();
    return reader;
}

LineReader::~LineReader() {
    if (copy_) std::fclose(copy_);
    if (file_) std::fclose(file_);
}

void LineReader::stop(ReadProblem problem) {
    problem_ = problem;
    ended_ = true;
    begin_ = end_;
}

bool LineReader::refill() {
    if (ended_ || !file_) return false;
    end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    begin_ = 0;
    if (end_ == 0) {
        stop(std::ferror(file_) ? ReadProblem::ReadFailed : ReadProblem::None);
        return false;
    }
    if (copy_ && std::fwrite(buffer_.data(), 1, end_, copy_) != end_) {
        stop(ReadProblem::CopyFailed);
        return false;
    }
    return true;
}

// The one home of the line rule. `keep` receives the line's bytes in pieces; copying them is
// left to the caller, so a count costs no copy.
template <class Keep>
bool LineReader::readLine(Keep&& keep) {
    bool started = false;
    std::size_t length = 0;
    for (;;) {
        if (begin_ == end_ && !refill()) {
            ended_ = true;
            if (started && problem_ == ReadProblem::None) ++linesRead_;
            return started && problem_ == ReadProblem::None;
        }
        // Runs of ordinary bytes go out in one piece: this loop reads every examinee.
        std::size_t run = begin_;
        while (run < end_) {
            const char b = data_[run];
            if (b == '\r' || b == '\n' || b == endOfFileMark) break;
            ++run;
        }
        if (run > begin_) {
            length += run - begin_;
            if (file_ && length > maxLineLength) {
                stop(ReadProblem::LineTooLong);
                return false;
            }
            keep(data_ + begin_, run - begin_);
            started = true;
            begin_ = run;
            continue;
        }
        const char c = data_[begin_++];
        if (c == endOfFileMark) {
            ended_ = true;
            begin_ = end_;
            if (started) ++linesRead_;
            return started;
        }
        if (c == '\r' && (begin_ < end_ || refill()) && data_[begin_] == '\n') ++begin_;
        ++linesRead_;
        return problem_ == ReadProblem::None;
    }
}

bool LineReader::nextLine(std::string& line) {
    line.clear();
    return readLine([&line](const char* bytes, std::size_t size) { line.append(bytes, size); });
}

std::int64_t LineReader::countLinesAndRewind() {
    if (file_ && !rewindable_ && !copy_) {
        copy_ = std::tmpfile();  // unlinked from the start: nothing is left behind, even after a kill
        if (!copy_) {
            stop(ReadProblem::CopyFailed);
            return 0;
        }
        // Bytes already buffered belong to the copy too.
        if (end_ > begin_ && std::fwrite(data_ + begin_, 1, end_ - begin_, copy_) != end_ - begin_) {
            stop(ReadProblem::CopyFailed);
            return 0;
        }
    }
    std::int64_t count = 0;
    while (readLine([](const char*, std::size_t) {})) ++count;
    if (problem_ != ReadProblem::None) return count;
    if (copy_) {
        std::fclose(file_);
        file_ = copy_;
        copy_ = nullptr;
    }
    if (file_) {
        std::rewind(file_);
        begin_ = end_ = 0;
        ended_ = false;
        linesRead_ = 0;
    } else if (inMemory_) {
        begin_ = 0;
        ended_ = false;
        linesRead_ = 0;
    }
    return count;
}

std::vector<std::string> splitLines(std::string_view bytes) {
    std::vector<std::string> lines;
    LineReader reader(LineReader::InMemory{}, bytes);
    for (std::string line; reader.nextLine(line);) lines.push_back(line);
    return lines;
}

}  // namespace quillon
