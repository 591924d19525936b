// SPDX-License-Identifier: GPL-3.0-or-later
// The capture helper's standard output, pipes fed by reference.
#include "app/StreamOutput.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarnwick {

StreamOutput::StreamOutput(int fd) : fd_(fd) {}

bool StreamOutput::PutTogether(const Chunk* chunks, size_t count, uint64_t* end) {
    std::lock_guard lock(mutex_);
    if (end) *end = 0;
    for (size_t i = 0; i < count;) {
        if (broken_.load()) return false;
        // A run of chunks by reference goes in one call: the reader is woken once for all of it.
        size_t run = 0;
        while (i + run < count && chunks[i + run].byReference && splicing_ && run < kMostPieces) ++run;
        size_t spliced = 0;
        size_t size = 0;
        if (run > 0) {
            iovec pieces[kMostPieces];
            for (size_t k = 0; k < run; ++k) {
                pieces[k] = {const_cast<uint8_t*>(chunks[i + k].data), chunks[i + k].size};
                size += chunks[i + k].size;
            }
            spliced = Splice(pieces, run);
        } else {
            run = 1;
            size = chunks[i].size;
        }
        // What did not go by reference is written out, chunk by chunk, from where the splice stopped.
        size_t skip = spliced;
        for (size_t k = 0; k < run; ++k) {
            const Chunk& chunk = chunks[i + k];
            const size_t done = std::min(skip, chunk.size);
            skip -= done;
            if (done < chunk.size && !Write(chunk.data + done, chunk.size - done)) {
                broken_.store(true);
                return false;
            }
        }
        put_ += size;
        if (end && spliced > 0) *end = put_;
        i += run;
    }
    return true;
}

size_t StreamOutput::Splice(iovec* pieces, size_t count) {
    size_t done = 0;
    while (count > 0) {
        const ssize_t result = vmsplice(fd_, pieces, count, 0);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) {
            // Not a pipe (a file, a socket): plain writes from now on. A reader that went away shows
            // on the write of the rest.
            if (errno != EPIPE) splicing_ = false;
            break;
        }
        done += static_cast<size_t>(result);
        for (size_t left = static_cast<size_t>(result); count > 0 && left > 0;) {
            const size_t step = std::min(left, pieces->iov_len);
            pieces->iov_base = static_cast<uint8_t*>(pieces->iov_base) + step;
            pieces->iov_len -= step;
            left -= step;
            if (pieces->iov_len == 0) {
                ++pieces;
                --count;
            }
        }
    }
    return done;
}

bool StreamOutput::Write(const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd_, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            writeError_.store(written < 0 ? errno : EIO);
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

std::string StreamOutput::Error() const {
    const int cause = writeError_.load();
    if (!broken_.load() || cause == EPIPE) return {};
    return std::string("cannot write the stream: ") + std::strerror(cause);
}

uint64_t StreamOutput::Taken() {
    std::lock_guard lock(mutex_);
    // The bytes still in the pipe are the newest ones: it hands them out in order.
    int unread = 0;
    if (ioctl(fd_, FIONREAD, &unread) != 0 || unread < 0) return 0;
    return put_ - static_cast<uint64_t>(unread);
}

}  // namespace tarnwick
