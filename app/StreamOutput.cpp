// The capture helper's standard output, pipes fed by reference.
#include "app/StreamOutput.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace tarnwick {

StreamOutput::StreamOutput(int fd) : fd_(fd) {}

bool StreamOutput::Put(const uint8_t* data, size_t size, bool byReference, uint64_t* end) {
    std::lock_guard lock(mutex_);
    if (broken_.load()) return false;
    const size_t spliced = byReference && splicing_ ? Splice(data, size) : 0;
    if (spliced < size && !Write(data + spliced, size - spliced)) {
        broken_.store(true);  // the reader went away
        return false;
    }
    put_ += size;
    if (end) *end = spliced > 0 ? put_ : 0;
    return true;
}

size_t StreamOutput::Splice(const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        iovec piece{const_cast<uint8_t*>(data + done), size - done};
        const ssize_t count = vmsplice(fd_, &piece, 1, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            // Not a pipe (a file, a socket): plain writes from now on. A reader that went away shows
            // on the write of the rest.
            if (errno != EPIPE) splicing_ = false;
            break;
        }
        done += static_cast<size_t>(count);
    }
    return done;
}

bool StreamOutput::Write(const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd_, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

uint64_t StreamOutput::Taken() {
    std::lock_guard lock(mutex_);
    // The bytes still in the pipe are the newest ones: it hands them out in order.
    int unread = 0;
    if (ioctl(fd_, FIONREAD, &unread) != 0 || unread < 0) return 0;
    return put_ - static_cast<uint64_t>(unread);
}

}  // namespace tarnwick
