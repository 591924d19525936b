// A stdio stream over a file, a pipe, a FIFO or standard input whose reads another thread can end at once.
#include "capture/source/InterruptibleStream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace tarnwick {

namespace {

// Large reads: a replay takes a whole file as fast as it can.
constexpr size_t kBufferBytes = 1u << 20;

}  // namespace

struct InterruptibleStream::Cookie {
    int descriptor = -1;
    int wakeUp = -1;
    bool waitForInput = true;  // false for regular files, whose reads never wait
    std::atomic<bool> interrupted{false};
    int64_t delivered = 0;

    static ssize_t Read(void* self, char* into, size_t size) {
        auto& cookie = *static_cast<Cookie*>(self);
        for (;;) {
            if (cookie.interrupted.load(std::memory_order_relaxed)) return 0;
            if (cookie.waitForInput) {
                pollfd waits[2] = {{cookie.descriptor, POLLIN, 0}, {cookie.wakeUp, POLLIN, 0}};
                if (poll(waits, 2, -1) < 0) {
                    if (errno == EINTR) continue;
                    return -1;
                }
                if (waits[1].revents != 0) return 0;
            }
            const ssize_t count = read(cookie.descriptor, into, size);
            if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (count > 0) cookie.delivered += count;
            return count;
        }
    }

    // Only the question "where am I" is answered, which is what ftello() asks.
    static int Seek(void* self, off64_t* offset, int whence) {
        auto& cookie = *static_cast<Cookie*>(self);
        if (whence != SEEK_CUR || *offset != 0) {
            errno = ESPIPE;
            return -1;
        }
        *offset = cookie.delivered;
        return 0;
    }

    static int Close(void* self) {
        auto& cookie = *static_cast<Cookie*>(self);
        const int result = cookie.descriptor >= 0 ? close(cookie.descriptor) : 0;
        cookie.descriptor = -1;
        return result;
    }
};

std::unique_ptr<InterruptibleStream> InterruptibleStream::Open(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return nullptr;
    };
    const bool standardInput = path == "-";
    // O_NONBLOCK only for the open: a FIFO without a writer would block it. Reads wait in poll().
    const int descriptor =
        standardInput ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0) : open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return fail(std::strerror(errno));
    struct stat status {};
    if (fstat(descriptor, &status) != 0) {
        const int cause = errno;
        close(descriptor);
        return fail(std::strerror(cause));
    }
    // Standard input keeps its flags: its open file description is shared with the parent.
    if (!standardInput) fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);

    std::unique_ptr<InterruptibleStream> stream(new InterruptibleStream());
    stream->cookie_ = std::make_unique<Cookie>();
    Cookie& cookie = *stream->cookie_;
    cookie.descriptor = descriptor;
    cookie.waitForInput = !S_ISREG(status.st_mode);
    stream->regularFile_ = S_ISREG(status.st_mode);
    cookie.wakeUp = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (cookie.wakeUp < 0) {
        const int cause = errno;
        close(descriptor);
        return fail(std::strerror(cause));
    }
    const cookie_io_functions_t functions{&Cookie::Read, nullptr, &Cookie::Seek, &Cookie::Close};
    stream->file_ = fopencookie(&cookie, "rb", functions);
    if (!stream->file_) {
        const int cause = errno;
        close(descriptor);
        return fail(std::strerror(cause));
    }
    // Before any read; the buffer lives as long as this object, which outlives the stream.
    stream->buffer_ = std::make_unique<char[]>(kBufferBytes);
    std::setvbuf(stream->file_, stream->buffer_.get(), _IOFBF, kBufferBytes);
    return stream;
}

InterruptibleStream::~InterruptibleStream() {
    if (file_) std::fclose(file_);
    if (cookie_ && cookie_->wakeUp >= 0) close(cookie_->wakeUp);
}

void InterruptibleStream::Interrupt() {
    cookie_->interrupted.store(true);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(cookie_->wakeUp, &one, sizeof one);
}

bool InterruptibleStream::Interrupted() const {
    return cookie_->interrupted.load();
}

}  // namespace tarnwick
