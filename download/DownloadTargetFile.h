// SPDX-License-Identifier: GPL-3.0-or-later
// The file a download writes into. A fresh download goes to a temporary file beside the target that replaces
// the target only once the download has succeeded, so a failure leaves an existing file exactly as it was.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

class DownloadTargetFile {
public:
    DownloadTargetFile() = default;
    // Whatever is still open is discarded.
    ~DownloadTargetFile();
    DownloadTargetFile(const DownloadTargetFile&) = delete;
    DownloadTargetFile& operator=(const DownloadTargetFile&) = delete;

    // Opens a new, empty file for the whole download. A target that is not a regular file (a device, a pipe)
    // cannot be replaced and is written directly. False (ErrorCode(), Error()) when nothing could be opened.
    bool OpenFresh(const std::string& target);
    enum class ResumeResult { Opened, CannotOpen, CannotSeek };
    // Opens the existing target to go on at `offset`: what lies beyond it is cut, the rest stays even when
    // the download then fails, ready for the next attempt.
    ResumeResult OpenForResume(const std::string& target, uint64_t offset);
    // The server sends the whole file instead of the rest: start over in a fresh file, keeping the target.
    bool Restart();

    // The descriptor to write to; -1 when nothing is open.
    int Descriptor() const { return fd_; }
    // The file the descriptor writes to, for a writer that opens it by name (the temporary file, or the
    // target itself when it cannot be replaced).
    const std::string& WritePath() const { return temporary_.empty() ? target_ : temporary_; }
    // Closes the file and puts it in place of the target. False (ErrorCode(), Error()) when that failed;
    // the target is then as it was before.
    bool Commit();
    // Closes the file and removes the temporary file; the target is left as it was.
    void Discard();

    int ErrorCode() const { return errorCode_; }
    const std::string& Error() const { return error_; }

private:
    bool Fail(int code, const std::string& what);

    std::string target_;
    std::string temporary_;  // empty when writing into the target itself
    int fd_ = -1;
    int errorCode_ = 0;
    std::string error_;
};

}  // namespace tarnwick
