// SPDX-License-Identifier: GPL-3.0-or-later
// The secrets of a browser's TLS key log, by client random; follows the file while it grows.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "capture/tls/TlsKeyLogLine.h"
#include "capture/tls/TlsSecret.h"

namespace tarnwick {

// What one connection's decryption needs, as far as the key log knows it.
struct TlsSessionSecrets {
    TlsSecret master;  // TLS 1.2
    TlsSecret clientEarly;
    TlsSecret clientHandshake;
    TlsSecret serverHandshake;
    TlsSecret clientTraffic;
    TlsSecret serverTraffic;
    uint8_t handedOut = 0;  // the kinds (bit 1 << kind) already taken by TakeUsedLines()

    TlsSecret& Of(TlsSecretKind kind);
    // A TLS 1.2 connection needs the master secret; a TLS 1.3 one the four handshake and traffic secrets.
    bool CompleteFor(bool tls13) const {
        return tls13 ? !clientHandshake.Empty() && !serverHandshake.Empty() && !clientTraffic.Empty() &&
                           !serverTraffic.Empty()
                     : !master.Empty();
    }
};

struct KeyLogStatistics {
    uint64_t lines = 0;           // complete lines read
    uint64_t secrets = 0;         // lines that gave a secret
    uint64_t malformedLines = 0;  // lines with a known label that could not be read; skipped
    uint64_t clientRandoms = 0;   // connections the table knows now
    uint64_t dropped = 0;         // connections forgotten to keep the table within its bound
    uint64_t lookups = 0;
    uint64_t misses = 0;  // lookups that found nothing even after reading the file again
};

// The file is a secret: it is only ever read, never copied, logged or written, and the texts read from it
// are wiped once parsed. Lines are taken when complete; a last line without its line end is read only
// when nothing more follows it. When the file is replaced or shortened it is read again from the start.
// A FIFO (or any other file that is not a regular one) is kept open and read without waiting: what its
// writer has sent is taken at each look. Secrets may also come from memory (a capture's own), alone or
// with files: more files can be followed at any time (a browser started later). Shared by the capture
// threads of all adapters.
class TlsKeyLog {
public:
    static constexpr size_t kMaxClientRandoms = 100000;
    static constexpr size_t kMaxLineLength = 512;

    // Reads nothing yet; the first lookup reads the file. An empty path gives a key log that knows only
    // what AddLines() and AddText() give it.
    explicit TlsKeyLog(std::string path);
    ~TlsKeyLog();
    TlsKeyLog(const TlsKeyLog&) = delete;
    TlsKeyLog& operator=(const TlsKeyLog&) = delete;

    // The file named at construction; empty when there is none.
    const std::string& Path() const { return path_; }
    // Follows another file too, from its start, until the key log goes.
    void Follow(const std::string& path);
    // Reads what the files hold now. Empty when they could be read, else why not (they may appear later).
    std::string Load();

    // Copies the secrets known for clientRandom into out. When they are not complete for the version,
    // reads what was added to the file since the last look first. False when nothing is known.
    bool Find(const TlsClientRandom& clientRandom, bool tls13, TlsSessionSecrets& out);

    // Takes key log text as the file holds it; what follows the last line end waits for the rest.
    void AddText(std::string_view text);
    // Takes whole key log lines from memory, the last one also without its line end; a file's unfinished
    // line is left as it is. The text is a secret: it is parsed where it lies, never copied or kept.
    void AddLines(std::string_view lines);
    // Reads a waiting last line that has no line end (a file's last line).
    void TakeUnfinishedLine();

    KeyLogStatistics Statistics() const;

    // From now on, remembers which secrets Find() hands out, for TakeUsedLines().
    void RecordUse();
    // Appends, as key log lines, the secrets Find() handed out since the last call (each secret once).
    // out then holds secrets: the caller writes them where asked and wipes them.
    void TakeUsedLines(std::string& out);

    // Keyed per process: client randoms come from the traffic, and randoms chosen to share a hash would
    // otherwise turn the table into one long chain.
    struct RandomHash {
        size_t operator()(const TlsClientRandom& random) const;
    };

private:
    // Where the reading of one file stands; text from memory has one of its own, without a path.
    struct Source {
        std::string path;
        std::string partial;  // an unfinished last line
        bool skippingLongLine = false;
        off_t offset = 0;
        dev_t device = 0;
        ino_t inode = 0;
        int stream = -1;  // the open FIFO, when the path names one
    };

    std::string ReadNewBytes();
    std::string ReadNewBytes(Source& file);
    // A FIFO's (or other stream's) waiting bytes, without ever waiting for more.
    std::string ReadStream(Source& file);
    static void CloseStream(Source& file);
    void TakeUnfinishedLines();
    void TakeLine(std::string_view line, bool counted);
    void AddTextLocked(Source& source, std::string_view text);
    void NoteUse(const TlsClientRandom& clientRandom, TlsSessionSecrets& secrets);

    const std::string path_;
    mutable std::mutex mutex_;
    std::deque<Source> files_;  // never moved once added: an unfinished line may hold part of a secret
    Source memory_;
    std::unordered_map<TlsClientRandom, TlsSessionSecrets, RandomHash> table_;
    std::deque<TlsClientRandom> arrival_;  // oldest first, for the bound
    bool recordingUse_ = false;
    std::vector<TlsKeyLogLine> used_;  // handed out, not yet taken
    KeyLogStatistics statistics_;
};

}  // namespace tarnwick
