#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "quillon/run_host.h"

namespace quillon::testing {

/// A host that records every call, and cancels when a test tells it to.
class RecordingHost : public RunHost {
public:
    void showMessage(const std::string& text) override { messages.push_back(text); }
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

    std::vector<std::string> messages;
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
    TempFolder() {
        path_ = std::filesystem::temp_directory_path() /
                ("quillon-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
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

}  // namespace quillon::testing
