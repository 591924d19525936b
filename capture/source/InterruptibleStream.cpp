// SPDX-License-Identifier: GPL-3.0-or-later
// A stream of a capture's bytes whose reads another thread can end at once, decompressed when it must be.
#include "capture/source/InterruptibleStream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace tarnwick {

namespace {

// Large reads: a replay takes a whole file as fast as it can.
constexpr size_t kBufferBytes = 1u << 20;
// Compressed bytes read ahead of the decoder.
constexpr size_t kCompressedBufferBytes = 256u << 10;

}  // namespace

struct InterruptibleStream::Cookie {
    int descriptor = -1;
    int wakeUp = -1;
    bool waitForInput = true;  // false for regular files, whose reads never wait
    std::atomic<bool> interrupted{false};
    int64_t delivered = 0;

    // The stream's first bytes, read to tell its compression; for a plain stream they are delivered
    // first, for a compressed one they are the decoder's first input.
    bool detected = false;
    StreamDecompressor::Format format = StreamDecompressor::Format::Plain;
    std::unique_ptr<StreamDecompressor> decompressor;
    std::vector<uint8_t> raw;  // read from the descriptor, not yet taken
    size_t rawStart = 0;
    bool rawEnded = false;
    std::vector<uint8_t> peeked;  // delivered stream bytes handed out again by the next reads
    size_t peekedStart = 0;
    std::string error;

    // Waits (interruptibly) for the descriptor's next bytes: 0 at its end or once interrupted.
    ssize_t ReadDescriptor(uint8_t* into, size_t size) {
        for (;;) {
            if (interrupted.load(std::memory_order_relaxed)) return 0;
            if (waitForInput) {
                pollfd waits[2] = {{descriptor, POLLIN, 0}, {wakeUp, POLLIN, 0}};
                if (poll(waits, 2, -1) < 0) {
                    if (errno == EINTR) continue;
                    return Failed(errno);
                }
                if (waits[1].revents != 0) return 0;
            }
            const ssize_t count = read(descriptor, into, size);
            if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (count < 0) return Failed(errno);
            return count;
        }
    }

    ssize_t Failed(int cause) {
        error = std::strerror(cause);
        return -1;
    }

    // Reads the first bytes (as many as a signature has, fewer only at the stream's end) and picks the
    // decoder.
    bool Detect() {
        detected = true;
        raw.resize(kCompressedBufferBytes);
        size_t have = 0;
        while (have < StreamDecompressor::kSignatureBytes) {
            const ssize_t count = ReadDescriptor(raw.data() + have, raw.size() - have);
            if (count < 0) {
                raw.clear();
                rawEnded = true;
                return false;
            }
            if (count == 0) {
                rawEnded = true;
                break;
            }
            have += static_cast<size_t>(count);
        }
        raw.resize(have);
        format = StreamDecompressor::Detect(raw);
        if (format != StreamDecompressor::Format::Plain) {
            decompressor = std::make_unique<StreamDecompressor>(format);
            if (!decompressor->Error().empty()) {
                error = decompressor->Error();
                return false;
            }
        }
        return true;
    }

    // The stream's next bytes, decompressed when they must be; 0 at the end, -1 with error set.
    ssize_t Produce(uint8_t* into, size_t size) {
        if (!detected && !Detect()) return -1;
        if (!decompressor) {
            if (rawStart < raw.size()) {
                const size_t count = std::min(size, raw.size() - rawStart);
                std::memcpy(into, raw.data() + rawStart, count);
                rawStart += count;
                if (rawStart == raw.size()) {
                    // A capture may carry TLS secrets in its first blocks: no copy is left behind.
                    explicit_bzero(raw.data(), raw.size());
                    std::vector<uint8_t>().swap(raw);
                }
                return static_cast<ssize_t>(count);
            }
            return rawEnded ? 0 : ReadDescriptor(into, size);
        }
        for (;;) {
            if (interrupted.load(std::memory_order_relaxed)) return 0;
            std::span<const uint8_t> input(raw.data() + rawStart, raw.size() - rawStart);
            size_t written = 0;
            if (!decompressor->Decompress(input, {into, size}, written)) {
                error = decompressor->Error();
                return -1;
            }
            rawStart = raw.size() - input.size();
            if (written > 0) return static_cast<ssize_t>(written);
            if (!input.empty()) continue;  // taken without output yet (a header)
            if (rawEnded) {
                if (decompressor->AtStreamEnd()) return 0;
                error = std::string("its ") + StreamDecompressor::Name(format) + " compression is cut off after " +
                        std::to_string(decompressor->CompressedBytes()) + " compressed bytes";
                return -1;
            }
            raw.resize(kCompressedBufferBytes);
            rawStart = 0;
            const ssize_t count = ReadDescriptor(raw.data(), raw.size());
            if (count < 0) return -1;
            if (interrupted.load(std::memory_order_relaxed)) return 0;
            raw.resize(static_cast<size_t>(count));
            rawEnded = count == 0;
        }
    }

    ssize_t Read(uint8_t* into, size_t size) {
        if (interrupted.load(std::memory_order_relaxed)) return 0;
        ssize_t count;
        if (peekedStart < peeked.size()) {
            count = static_cast<ssize_t>(std::min(size, peeked.size() - peekedStart));
            std::memcpy(into, peeked.data() + peekedStart, static_cast<size_t>(count));
            peekedStart += static_cast<size_t>(count);
        } else {
            count = Produce(into, size);
        }
        if (count > 0) delivered += count;
        return count;
    }

    static ssize_t ReadFunction(void* self, char* into, size_t size) {
        return static_cast<Cookie*>(self)->Read(reinterpret_cast<uint8_t*>(into), size);
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
        return fail(std::strerror(cause));
    }
    return stream;
}

InterruptibleStream::~InterruptibleStream() {
    if (file_) std::fclose(file_);
    if (!cookie_) return;
    Cookie::Close(cookie_.get());  // when no stdio stream did already
    if (cookie_->wakeUp >= 0) close(cookie_->wakeUp);
}

ssize_t InterruptibleStream::Read(uint8_t* into, size_t size) {
    return cookie_->Read(into, size);
}

size_t InterruptibleStream::Peek(uint8_t* into, size_t count) {
    Cookie& cookie = *cookie_;
    while (cookie.peeked.size() < count) {
        uint8_t piece[64];
        const ssize_t got = cookie.Produce(piece, std::min(sizeof piece, count - cookie.peeked.size()));
        if (got <= 0) break;
        cookie.peeked.insert(cookie.peeked.end(), piece, piece + got);
    }
    const size_t have = std::min(count, cookie.peeked.size());
    if (have > 0) std::memcpy(into, cookie.peeked.data(), have);  // an empty vector's data may be null
    return have;
}

FILE* InterruptibleStream::File() {
    if (fileMade_) return file_;
    fileMade_ = true;
    const cookie_io_functions_t functions{&Cookie::ReadFunction, nullptr, &Cookie::Seek, &Cookie::Close};
    file_ = fopencookie(cookie_.get(), "rb", functions);
    if (!file_) {
        cookie_->error = std::strerror(errno);
        Cookie::Close(cookie_.get());
        return nullptr;
    }
    // Before any read; the buffer lives as long as this object, which outlives the stream.
    buffer_ = std::make_unique<char[]>(kBufferBytes);
    std::setvbuf(file_, buffer_.get(), _IOFBF, kBufferBytes);
    return file_;
}

void InterruptibleStream::Interrupt() {
    cookie_->interrupted.store(true);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(cookie_->wakeUp, &one, sizeof one);
}

bool InterruptibleStream::Interrupted() const {
    return cookie_->interrupted.load();
}

StreamDecompressor::Format InterruptibleStream::Compression() const {
    return cookie_->format;
}

const std::string& InterruptibleStream::Error() const {
    return cookie_->error;
}

}  // namespace tarnwick
