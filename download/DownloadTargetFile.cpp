// SPDX-License-Identifier: GPL-3.0-or-later
// The file a download writes into. A fresh download goes to a temporary file beside the target that replaces
// the target only once the download has succeeded, so a failure leaves an existing file exactly as it was.
#include "download/DownloadTargetFile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace tarnwick {
namespace {

constexpr int kNameAttempts = 100;
// Room for the dot in front and the suffix within the system's limit on one name.
constexpr size_t kMaxBaseInTemporaryName = 200;

std::string RandomSuffix() {
    unsigned char bytes[6] = {};
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        static unsigned counter = 0;
        unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u + ++counter;
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(seed = seed * 1103515245u + 12345u);
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

}  // namespace

DownloadTargetFile::~DownloadTargetFile() {
    Discard();
}

bool DownloadTargetFile::Fail(int code, const std::string& what) {
    errorCode_ = code;
    error_ = what + ": " + std::strerror(code);
    return false;
}

bool DownloadTargetFile::OpenFresh(const std::string& target) {
    Discard();
    errorCode_ = 0;
    error_.clear();
    target_ = target;
    struct stat info {};
    if (::lstat(target.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        // A link stays a link: its file is the one replaced.
        if (char* resolved = ::realpath(target.c_str(), nullptr)) {
            target_ = resolved;
            std::free(resolved);
        }
    }
    bool exists = ::stat(target_.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) {
        fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        return fd_ >= 0 || Fail(errno, target);
    }
    size_t slash = target_.rfind('/');
    std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    if (base.size() > kMaxBaseInTemporaryName) base.resize(kMaxBaseInTemporaryName);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string candidate = folder + "." + base + ".part-" + RandomSuffix();
        fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            temporary_ = candidate;
            // The replacement keeps the permissions of the file it replaces.
            if (exists) (void)::fchmod(fd_, info.st_mode & 07777);
            return true;
        }
        if (errno != EEXIST) break;
    }
    return Fail(errno, "cannot create a temporary file beside " + target);
}

DownloadTargetFile::ResumeResult DownloadTargetFile::OpenForResume(const std::string& target, uint64_t offset) {
    Discard();
    errorCode_ = 0;
    error_.clear();
    target_ = target;
    fd_ = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) {
        Fail(errno, target);
        return ResumeResult::CannotOpen;
    }
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0 || ::ftruncate(fd_, static_cast<off_t>(offset)) != 0) {
        int code = errno;
        Discard();
        Fail(code, target);
        return ResumeResult::CannotSeek;
    }
    return ResumeResult::Opened;
}

bool DownloadTargetFile::Restart() {
    std::string target = target_;
    return OpenFresh(target);
}

bool DownloadTargetFile::Commit() {
    if (fd_ < 0) return true;
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        int code = errno;
        if (!temporary_.empty()) ::unlink(temporary_.c_str());
        temporary_.clear();
        return Fail(code, target_);
    }
    if (temporary_.empty()) return true;
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        int code = errno;
        ::unlink(temporary_.c_str());
        temporary_.clear();
        return Fail(code, target_);
    }
    temporary_.clear();
    return true;
}

void DownloadTargetFile::Discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

}  // namespace tarnwick
