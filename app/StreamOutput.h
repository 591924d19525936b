// SPDX-License-Identifier: GPL-3.0-or-later
// The capture helper's standard output. Into a pipe, packet bytes are handed over by reference
// (vmsplice): the kernel then copies them once, straight into the reader, instead of once into the
// pipe and once out of it. Anything else, and every other output, gets plain writes.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace tarnwick {

class StreamOutput {
public:
    explicit StreamOutput(int fd);

    // Writes all of data; false once the output broke (Error() says whether that was more than the
    // reader going away). Returns in *end the stream offset after data when the pipe may still point
    // at its pages: the caller then leaves those bytes alone until Taken() reaches *end (0 when they
    // were copied).
    bool Put(const uint8_t* data, size_t size, bool byReference, uint64_t* end = nullptr) {
        const Chunk chunk{data, size, byReference};
        return PutTogether(&chunk, 1, end);
    }
    // Several chunks with nothing of another writer between them; *end as above, for the last chunk
    // that went by reference.
    struct Chunk {
        const uint8_t* data;
        size_t size;
        bool byReference;
    };
    bool PutTogether(const Chunk* chunks, size_t count, uint64_t* end = nullptr);
    // The stream offset up to which the reader has taken every byte.
    uint64_t Taken();
    bool Broken() const { return broken_.load(); }
    // Why the output broke, as a sentence: empty while it works and when its reader went away (a pipe
    // or socket closed at the other end: the stream's ordinary end); else the write error, a full disk
    // say, which loses what the stream should have held.
    std::string Error() const;

private:
    static constexpr size_t kMostPieces = 4;
    // How many of the pieces' bytes went into the pipe by reference, from the first on.
    size_t Splice(iovec* pieces, size_t count);
    bool Write(const uint8_t* data, size_t size);

    int fd_;
    std::mutex mutex_;  // one writer at a time
    bool splicing_ = true;
    uint64_t put_ = 0;  // bytes handed to the output
    std::atomic<bool> broken_{false};
    std::atomic<int> writeError_{0};  // errno of the write that failed; set before broken_
};

}  // namespace tarnwick
