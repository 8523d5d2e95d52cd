// Replacing a whole file through a temporary one beside it, so that no reader, second writer,
// full disk or signal ever sees half a table.
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "quillon/engine/output_tables.h"

namespace quillon {

std::shared_timed_mutex& fileReplacementLock() {
    // Never destroyed: a signal may arrive while the process is already running its exit.
    static auto* lock = new std::shared_timed_mutex;
    return *lock;
}

namespace {

// The kernel's own limit on a chain of links.
constexpr int maxLinkDepth = 40;

}  // namespace

std::optional<std::string> resolveLinks(std::string path) {
    for (int depth = 0; depth <= maxLinkDepth; ++depth) {
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return std::nullopt;
        target.resize(static_cast<std::size_t>(length));
        const std::filesystem::path from(path);
        path = (target.front() == '/' || !from.has_parent_path()) ? target : (from.parent_path() / target).string();
    }
    return std::nullopt;
}

namespace {

// A short name, so that a target near the file system's name limit can still be replaced.
std::string temporaryName() {
    static std::atomic<std::uint64_t> calls{0};
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        bits = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
               (static_cast<std::uint64_t>(::getpid()) << 40);
    }
    bits += calls.fetch_add(1) * 0x9E3779B97F4A7C15ULL;
    static constexpr char digits[] = "0123456789abcdefghijklmnopqrstuv";
    std::string name = ".quillon-";
    for (int i = 0; i < 12; ++i, bits >>= 5) name += digits[bits & 31];
    return name + ".tmp";
}

// Defers, in this thread, the signals that would otherwise end the process with the temporary
// file still on disk; a file-size signal then comes after the cleanup instead of before it.
class SignalsDeferred {
public:
    SignalsDeferred() {
        sigset_t deferred;
        sigemptyset(&deferred);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) sigaddset(&deferred, signal);
        pthread_sigmask(SIG_BLOCK, &deferred, &previous_);
    }
    ~SignalsDeferred() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsDeferred(const SignalsDeferred&) = delete;
    SignalsDeferred& operator=(const SignalsDeferred&) = delete;

private:
    sigset_t previous_;
};

// Gives the new file what the old one had: its owner where the system allows it, and its mode.
bool takeOverAttributes(int fd, const struct stat& old) {
    struct stat now;
    if (::fstat(fd, &now) != 0) return false;
    if (now.st_uid != old.st_uid || now.st_gid != old.st_gid) {
        [[maybe_unused]] const int ignored = ::fchown(fd, old.st_uid, old.st_gid);  // only some callers may
    }
    return ::fchmod(fd, old.st_mode & 07777) == 0;
}

// The folder a replacement writes into and the name it replaces there, or nothing when `path`
// cannot be replaced by a plain file (no name, a link loop, a folder, a device or a pipe).
struct Target {
    int directory = -1;
    std::string name;
    bool exists = false;
    struct stat old {};
};

bool findTarget(const std::string& path, Target& target) {
    if (path.empty()) return false;
    const std::optional<std::string> resolved = resolveLinks(path);
    if (!resolved) return false;
    const std::filesystem::path file(*resolved);
    target.name = file.filename().string();
    if (target.name.empty() || target.name == "." || target.name == "..") return false;
    const std::string folder = file.has_parent_path() ? file.parent_path().string() : std::string(".");
    target.directory = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (target.directory < 0) return false;
    target.exists = ::fstatat(target.directory, target.name.c_str(), &target.old, 0) == 0;
    if (!target.exists && errno != ENOENT) return false;
    // A folder, device or pipe is never swapped for a plain file.
    return !target.exists || S_ISREG(target.old.st_mode);
}

}  // namespace

// Small writes gather up to this size before they reach the file, so a line at a time is cheap.
constexpr std::size_t writeChunk = std::size_t{1} << 20;

struct FileReplacement::State {
    Target target;
    int fd = -1;
    std::string pending;
    std::string temporary;  // empty while the file has no name (O_TMPFILE)
    bool failed = false;
    bool done = false;
};

FileReplacement::FileReplacement(const std::string& path) : state_(std::make_unique<State>()) {
    State& s = *state_;
    if (!findTarget(path, s.target)) {
        s.failed = true;
        return;
    }
    // A new file gets 0666 less the umask, as any new file; an old one's mode is given at commit.
    const mode_t mode = s.target.exists ? 0600 : 0666;
    // An unnamed file vanishes with the process, however it ends; it gets its name only at commit.
    s.fd = ::openat(s.target.directory, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, mode);
    for (int attempt = 0; attempt < 100 && s.fd < 0; ++attempt) {
        // File systems without unnamed files: a uniquely named one, removed on every failure.
        s.temporary = temporaryName();
        s.fd = ::openat(s.target.directory, s.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (s.fd < 0 && errno != EEXIST) break;
    }
    if (s.fd < 0) {
        s.temporary.clear();
        s.failed = true;
    }
}

FileReplacement::~FileReplacement() { abandon(); }

bool FileReplacement::isOpen() const { return !state_->failed && !state_->done; }

namespace {

bool writeAll(int fd, std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + at, text.size() - at);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        at += static_cast<std::size_t>(wrote);
    }
    return true;
}

}  // namespace

bool FileReplacement::write(std::string_view text) {
    State& s = *state_;
    if (s.failed || s.done) return false;
    if (s.pending.size() + text.size() < writeChunk) {
        s.pending.append(text);
        return true;
    }
    s.failed = !writeAll(s.fd, s.pending) || !writeAll(s.fd, text);
    s.pending.clear();
    return !s.failed;
}

bool FileReplacement::flushPending() {
    State& s = *state_;
    s.failed = s.failed || !writeAll(s.fd, s.pending);
    s.pending.clear();
    return !s.failed;
}

bool FileReplacement::commit() {
    State& s = *state_;
    if (s.failed || s.done || !flushPending()) {
        abandon();
        return false;
    }
    const std::shared_lock held(fileReplacementLock());
    const SignalsDeferred deferred;
    bool replaced = (!s.target.exists || takeOverAttributes(s.fd, s.target.old)) && ::fsync(s.fd) == 0;
    if (replaced && s.temporary.empty()) {
        // Give the unnamed file a unique name in the target's folder, then move it over the target.
        const std::string self = "/proc/self/fd/" + std::to_string(s.fd);
        bool linked = false;
        for (int attempt = 0; attempt < 100 && !linked; ++attempt) {
            s.temporary = temporaryName();
            linked = ::linkat(AT_FDCWD, self.c_str(), s.target.directory, s.temporary.c_str(), AT_SYMLINK_FOLLOW) == 0;
            if (!linked && errno != EEXIST) break;
        }
        if (!linked) s.temporary.clear();
        replaced = linked;
    }
    replaced = ::close(s.fd) == 0 && replaced;
    s.fd = -1;
    replaced =
        replaced && ::renameat(s.target.directory, s.temporary.c_str(), s.target.directory, s.target.name.c_str()) == 0;
    if (replaced) s.temporary.clear();
    s.failed = !replaced;
    abandon();
    return replaced;
}

void FileReplacement::abandon() {
    State& s = *state_;
    if (s.fd >= 0) ::close(s.fd);
    s.fd = -1;
    if (!s.temporary.empty()) ::unlinkat(s.target.directory, s.temporary.c_str(), 0);
    s.temporary.clear();
    if (s.target.directory >= 0) ::close(s.target.directory);
    s.target.directory = -1;
    s.done = true;
}

bool replaceFileContents(const std::string& path, const std::string& content) {
    // Held for the whole short write, so a signal never ends the process with a file half named.
    const std::shared_lock held(fileReplacementLock());
    const SignalsDeferred deferred;
    FileReplacement file(path);
    return file.write(content) && file.commit();
}

}  // namespace quillon
