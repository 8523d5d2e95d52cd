#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quillon/engine/run_host.h"

namespace quillon::testing {

/// A host that records every call, and cancels when a test tells it to.
class RecordingHost : public RunHost {
public:
    void showMessage(const std::string& text) override { messages.push_back(text); }
    void showInputMessage(const std::string& text) override {
        inputMessages.push_back(text);
        showMessage(text);
    }
    void showDone(const std::string& text) override { done.push_back(text); }
    ProgressHandle progressInit(const std::string& caption) override {
        captions.push_back(caption);
        open = true;
        return 7;
    }
    void progressSet(ProgressHandle, const ProgressReport& report) override { reports.push_back(report); }
    bool progressIsCancelled(ProgressHandle) override {
        ++checks;
        if (cancelAtCheck > 0 && checks >= cancelAtCheck) cancelled = true;
        return cancelled || !open;
    }
    void progressShutdown(ProgressHandle) override {
        open = false;
        ++shutdowns;
    }

    std::vector<std::string> messages;       // every message, the input messages included
    std::vector<std::string> inputMessages;  // those about the settings or the input files
    std::vector<std::string> done;
    std::vector<std::string> captions;
    std::vector<ProgressReport> reports;
    int checks = 0;
    int cancelAtCheck = 0;  // cancel from this check on; 0 never
    int shutdowns = 0;
    bool open = false;
    bool cancelled = false;
};

/// A fresh folder per test, removed afterwards.
class TempFolder {
public:
    TempFolder() : TempFolder(std::filesystem::temp_directory_path()) {}
    explicit TempFolder(const std::filesystem::path& base) {
        path_ = base / ("quillon-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() { std::filesystem::remove_all(path_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }

    std::string write(const std::string& name, const std::string& content) const {
        std::ofstream out(file(name), std::ios::binary);
        out << content;
        return file(name);
    }

    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    static int& counter() {
        static int value = 0;
        return value;
    }
    std::filesystem::path path_;
};

/// Feeds bytes from a thread through a FIFO (a named pipe) or an anonymous pipe, a stream that
/// cannot be read twice; `path` is the name a reader opens.
class StreamFeed {
public:
    enum class Kind { Fifo, Pipe };

    StreamFeed(Kind kind, const std::string& fifoPath, std::string bytes) {
        std::signal(SIGPIPE, SIG_IGN);  // a reader that stops early must not end the test
        if (kind == Kind::Fifo) {
            path = fifoPath;
            ::mkfifo(path.c_str(), 0600);
            writer_ = std::thread([this, bytes = std::move(bytes)] {
                const int fd = ::open(path.c_str(), O_WRONLY);  // waits for the reader
                writeAll(fd, bytes);
            });
        } else {
            int ends[2];
            if (::pipe(ends) != 0) return;
            readEnd_ = ends[0];
            path = "/dev/fd/" + std::to_string(ends[0]);
            writer_ = std::thread([fd = ends[1], bytes = std::move(bytes)] { writeAll(fd, bytes); });
        }
    }
    ~StreamFeed() {
        if (readEnd_ < 0 && writer_.joinable()) {
            // Drain what no reader took, so that the writer can finish.
            const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
            if (fd >= 0) {
                ::fcntl(fd, F_SETFL, 0);
                char sink[4096];
                while (::read(fd, sink, sizeof sink) > 0) {
                }
                ::close(fd);
            }
        }
        if (writer_.joinable()) writer_.join();
        if (readEnd_ >= 0) ::close(readEnd_);
    }
    StreamFeed(const StreamFeed&) = delete;
    StreamFeed& operator=(const StreamFeed&) = delete;

    std::string path;

private:
    static void writeAll(int fd, const std::string& bytes) {
        for (std::size_t done = 0; fd >= 0 && done < bytes.size();) {
            const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (wrote <= 0) break;
            done += static_cast<std::size_t>(wrote);
        }
        if (fd >= 0) ::close(fd);
    }

    std::thread writer_;
    int readEnd_ = -1;
};

}  // namespace quillon::testing
