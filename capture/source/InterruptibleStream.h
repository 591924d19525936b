// SPDX-License-Identifier: GPL-3.0-or-later
// A stream of a capture's bytes from a file, a pipe, a FIFO or standard input, gzip or zstd compressed or
// not, whose reads another thread can end at once.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "capture/source/StreamDecompressor.h"

namespace tarnwick {

// Each read waits in poll() on the descriptor and on a wake-up event together, so Interrupt() ends a
// read that waits for a silent writer. An interrupted stream reads as ended. A stream that begins with
// the gzip or zstd signature is decompressed as it is read, whatever its name. The stream counts the
// bytes it delivered, so ftello() works on pipes too.
class InterruptibleStream {
public:
    // path "-" is standard input. A FIFO is opened without waiting for its writer.
    // Nothing (and *error set) when the path cannot be opened for reading.
    static std::unique_ptr<InterruptibleStream> Open(const std::string& path, std::string* error);
    // Closes the stream if its new owner has not (see ReleaseFile), then the wake-up event.
    ~InterruptibleStream();
    InterruptibleStream(const InterruptibleStream&) = delete;
    InterruptibleStream& operator=(const InterruptibleStream&) = delete;

    // Up to size bytes of the (decompressed) stream, waiting for the first of them: 0 at its end or once
    // interrupted, -1 when reading failed or the compression is damaged or cut off (Error() says why).
    ssize_t Read(uint8_t* into, size_t size);
    // The stream's first bytes without taking them (the next reads deliver them again): fewer than count
    // only when the stream ends, fails or is interrupted sooner. Before any Read().
    size_t Peek(uint8_t* into, size_t count);

    // The same bytes as a stdio stream (for libpcap), made on the first call; nothing when that fails.
    // Not to be mixed with Read().
    FILE* File();
    // Called once another owner (a capture handle) has taken the stdio stream and will fclose it; this
    // object must still outlive that fclose.
    void ReleaseFile() { file_ = nullptr; }
    // Any thread, any number of times.
    void Interrupt();
    bool Interrupted() const;
    // A regular file: its reads never wait, and a failure to parse it can be told at once.
    bool IsRegularFile() const { return regularFile_; }
    // The compression found at the start; Plain before the first read or peek.
    StreamDecompressor::Format Compression() const;
    // Why a read failed: the system's reason, or what is wrong with the compression and where.
    const std::string& Error() const;

private:
    struct Cookie;
    InterruptibleStream() = default;

    std::unique_ptr<Cookie> cookie_;
    std::unique_ptr<char[]> buffer_;
    FILE* file_ = nullptr;
    bool fileMade_ = false;
    bool regularFile_ = false;
};

}  // namespace tarnwick
