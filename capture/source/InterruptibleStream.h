// A stdio stream over a file, a pipe, a FIFO or standard input whose reads another thread can end at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace tarnwick {

// Each read waits in poll() on the descriptor and on a wake-up event together, so Interrupt() ends a
// read that waits for a silent writer. An interrupted stream reads as ended. The stream counts the
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

    FILE* File() const { return file_; }
    // Called once another owner (a capture handle) has taken the stream and will fclose it; this
    // object must still outlive that fclose.
    void ReleaseFile() { file_ = nullptr; }
    // Any thread, any number of times.
    void Interrupt();
    bool Interrupted() const;
    // A regular file: its reads never wait, and a failure to parse it can be told at once.
    bool IsRegularFile() const { return regularFile_; }

private:
    struct Cookie;
    InterruptibleStream() = default;

    std::unique_ptr<Cookie> cookie_;
    std::unique_ptr<char[]> buffer_;
    FILE* file_ = nullptr;
    bool regularFile_ = false;
};

}  // namespace tarnwick
