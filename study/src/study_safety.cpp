// What keeps a study from harming its own files: no output or work file over an input, and one
// study at a time on an output folder.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <filesystem>
#include <utility>

#include "quillon/engine/input_files.h"
#include "quillon/study/study.h"
#include "quillon/study_figures/study_figures.h"

namespace quillon {

namespace {

namespace fs = std::filesystem;

// The files a study reads, under the names messages give them.
std::vector<RoleFile> studyInputFiles(const Study& study) {
    std::vector<RoleFile> inputs{{"study", study.file}};
    for (const StudyValue& setting : study.settings)
        if (isStudyFileSetting(setting.name)) inputs.push_back({setting.name, setting.value});
    for (const StudyFactor& factor : study.factors)
        if (!factor.generateOption && isStudyFileSetting(factor.name))
            for (const std::string& level : factor.values) inputs.push_back({factor.name, level});
    for (const std::string& file : study.responseFiles) inputs.push_back({"response", file});
    return inputs;
}

#ifndef _WIN32
// Locks the open lock file, or closes it and says who holds it: the holder wrote its study file
// and process after locking ("study FILE\nprocess ID\n").
Status lockOrRefuse(int descriptor, const Study& study) {
    if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) return {};
    const int cause = errno;
    std::string holder;
    char buffer[4096];
    for (ssize_t got; (got = ::read(descriptor, buffer, sizeof buffer)) > 0;)
        holder.append(buffer, static_cast<std::size_t>(got));
    ::close(descriptor);
    if (cause != EWOULDBLOCK) return Failure{FailureKind::Output, "Cannot lock " + studyLockFile(study) + "."};
    std::string file, process;
    if (holder.rfind("study ", 0) == 0) {
        file = holder.substr(6, holder.find('\n') - 6);
        if (const std::size_t at = holder.find("\nprocess "); at != std::string::npos)
            process = holder.substr(at + 9, holder.find('\n', at + 1) - at - 9);
    }
    const std::string who = file.empty() ? std::string("another study")
                                         : "the study " + file + (process.empty() ? "" : " (process " + process + ")");
    return Failure{FailureKind::Output, "The output folder " + study.outputFolder + " is in use by " + who +
                                            "; wait until it ends, or give this study another output folder."};
}
#endif

}  // namespace

std::string studyLockFile(const Study& study) { return (fs::path(study.outputFolder) / "study.lock").string(); }

Status refuseStudyOverInputs(const Study& study, const std::string& workFolder) {
    const std::vector<RoleFile> inputs = studyInputFiles(study);
    std::vector<std::string> outputs;
    for (std::string_view name : studyOutputNames) outputs.push_back((fs::path(study.outputFolder) / name).string());
    outputs.push_back(studyLockFile(study));
    for (const std::string& output : outputs)
        for (const RoleFile& input : inputs)
            if (namesOneFile(output, input.path))
                return Failure{FailureKind::Output, "The study's output file " + output + " would replace its " +
                                                        input.role + " file " + input.path +
                                                        "; choose another output folder."};
    for (const RoleFile& input : inputs)
        if (liesWithin(input.path, workFolder))
            return Failure{FailureKind::Output, "The study's " + input.role + " file " + input.path +
                                                    " lies in its work folder " + workFolder +
                                                    ", where the study's own files could replace it; keep the "
                                                    "study's inputs out of that folder."};
    return {};
}

StudyLock::StudyLock(StudyLock&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), path_(std::move(other.path_)) {}

StudyLock& StudyLock::operator=(StudyLock&& other) noexcept {
    if (this != &other) {
        StudyLock old(std::move(*this));
        descriptor_ = std::exchange(other.descriptor_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

StudyLock::~StudyLock() {
#ifndef _WIN32
    // Removed while still held: a study that opened it meanwhile finds its name gone and tries
    // again (see take), so no two studies ever hold locks on different files of one name.
    if (descriptor_ < 0) return;
    ::unlink(path_.c_str());
    ::close(descriptor_);
#endif
}

Outcome<StudyLock> StudyLock::take(const Study& study) {
    StudyLock lock;
#ifndef _WIN32
    const std::string path = studyLockFile(study);
    std::error_code error;
    fs::create_directories(study.outputFolder, error);
    // A few tries: each one fails only when the holder removed the file between our open and lock.
    for (int attempt = 0; attempt < 100 && lock.descriptor_ < 0; ++attempt) {
        const int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (descriptor < 0) return Failure{FailureKind::Output, "Cannot write " + path + "."};
        if (Status taken = lockOrRefuse(descriptor, study); !taken) return taken.failure();
        struct stat held {
        }, named{};
        if (::fstat(descriptor, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            lock.descriptor_ = descriptor;
        else
            ::close(descriptor);
    }
    if (lock.descriptor_ < 0) return Failure{FailureKind::Output, "Cannot lock " + path + "."};
    lock.path_ = path;
    const std::string holder = "study " + study.file + "\nprocess " + std::to_string(::getpid()) + "\n";
    if (::ftruncate(lock.descriptor_, 0) != 0 ||
        ::pwrite(lock.descriptor_, holder.data(), holder.size(), 0) != static_cast<ssize_t>(holder.size()))
        return Failure{FailureKind::Output, "Cannot write " + path + "."};
#else
    (void)study;
#endif
    return lock;
}

}  // namespace quillon
