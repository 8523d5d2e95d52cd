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
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "quillon/output_tables.h"

namespace quillon {

std::shared_timed_mutex& fileReplacementLock() {
    // Never destroyed: a signal may arrive while the process is already running its exit.
    static auto* lock = new std::shared_timed_mutex;
    return *lock;
}

namespace {

// The kernel's own limit on a chain of links.
constexpr int maxLinkDepth = 40;

// The file a write to `path` would reach: links followed, chains and relative ones too, also when
// the last link names a file that does not exist yet; nothing for a loop.
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

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

bool writeAll(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

// Gives the new file what the old one had: its owner where the system allows it, and its mode.
bool takeOverAttributes(int fd, const struct stat& old) {
    struct stat now;
    if (::fstat(fd, &now) != 0) return false;
    if (now.st_uid != old.st_uid || now.st_gid != old.st_gid) {
        [[maybe_unused]] const int ignored = ::fchown(fd, old.st_uid, old.st_gid);  // only some callers may
    }
    return ::fchmod(fd, old.st_mode & 07777) == 0;
}

}  // namespace

bool replaceFileContents(const std::string& path, const std::string& content) {
    if (path.empty()) return false;
    const std::optional<std::string> resolved = resolveLinks(path);
    if (!resolved) return false;
    const std::filesystem::path target(*resolved);
    const std::string name = target.filename().string();
    if (name.empty() || name == "." || name == "..") return false;
    const std::string folder = target.has_parent_path() ? target.parent_path().string() : std::string(".");

    const Descriptor directory(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0) return false;
    struct stat old;
    const bool exists = ::fstatat(directory.get(), name.c_str(), &old, 0) == 0;
    if (!exists && errno != ENOENT) return false;
    // A folder, device or pipe is never swapped for a plain file.
    if (exists && !S_ISREG(old.st_mode)) return false;

    const std::shared_lock held(fileReplacementLock());
    const SignalsDeferred deferred;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = temporaryName();
        // A new table gets 0666 less the umask, as any new file; an old one's mode follows below.
        fd =
            ::openat(directory.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    Descriptor file(fd);
    const bool replaced = (!exists || takeOverAttributes(fd, old)) && writeAll(fd, content) && ::fsync(fd) == 0 &&
                          file.close() &&
                          ::renameat(directory.get(), temporary.c_str(), directory.get(), name.c_str()) == 0;
    if (!replaced) {
        file.close();
        ::unlinkat(directory.get(), temporary.c_str(), 0);
    }
    return replaced;
}

}  // namespace quillon
