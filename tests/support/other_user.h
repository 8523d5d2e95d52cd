#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace quillon::testing {

// Root may write anywhere, so a test of a file nobody may write runs that part as this user.
inline constexpr unsigned otherUser = 65534;

/// Empty when `path` and every folder above it let others search them, else the first that does not.
inline std::string firstFolderClosedToOthers(const std::filesystem::path& path) {
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(path, error);
    if (error) return path.string();
    for (std::filesystem::path at = real;; at = at.parent_path()) {
        struct stat info {};
        if (::stat(at.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) return at.string();
        if (at == at.root_path()) return {};
    }
}

/// A folder under which a test can make files the other user can reach and run: the temporary
/// folder when it allows that, else /tmp or /var/tmp. The checkout and TMPDIR may both be private
/// to the one who runs the tests. Empty when none will do, with why in `why`.
inline std::filesystem::path baseTheOtherUserCanReach(std::string& why) {
    std::error_code error;
    const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
    std::vector<std::filesystem::path> bases;
    if (!error) bases.push_back(temp);
    for (const char* fallback : {"/tmp", "/var/tmp"})
        if (temp != fallback) bases.emplace_back(fallback);
    std::string refusals;
    for (const std::filesystem::path& base : bases) {
        struct statvfs mount {};
        const std::string closed = firstFolderClosedToOthers(base);
        if (!closed.empty()) {
            refusals += "; " + closed + " is closed to others";
        } else if (::access(base.c_str(), W_OK | X_OK) != 0) {
            refusals += "; " + base.string() + " is not writable";
        } else if (::statvfs(base.c_str(), &mount) != 0 || (mount.f_flag & ST_NOEXEC) != 0) {
            refusals += "; " + base.string() + " is mounted noexec";
        } else {
            why.clear();
            return base;
        }
    }
    why = "no folder to share with user " + std::to_string(otherUser) + ":" + refusals.substr(1);
    return {};
}

/// Empty when this process can run a program as the other user, else why it cannot (a container
/// may map no such user).
inline std::string cannotBecomeTheOtherUser() {
    const std::string id = std::to_string(otherUser);
    const std::string probe = "setpriv --reuid=" + id + " --regid=" + id + " --clear-groups true >/dev/null 2>&1";
    if (std::system(probe.c_str()) != 0) return "setpriv cannot switch to user " + id + " here";
    return {};
}

}  // namespace quillon::testing
