// SPDX-License-Identifier: GPL-3.0-or-later
// The secrets of a browser's TLS key log, by client random; follows the file while it grows.
#include "capture/tls/TlsKeyLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "capture/decode/ProcessHashKeys.h"

namespace tarnwick {

namespace {

constexpr size_t kReadChunk = 64 * 1024;
// At most this much is taken from a FIFO at one look, so that a writer that never pauses cannot hold
// the capture thread; the rest is taken at the next.
constexpr size_t kMaxStreamBytesPerLook = 16u << 20;

void Wipe(std::string& text) {
    OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

}  // namespace

TlsSecret& TlsSessionSecrets::Of(TlsSecretKind kind) {
    switch (kind) {
        case TlsSecretKind::MasterSecret:
            return master;
        case TlsSecretKind::ClientEarlyTraffic:
            return clientEarly;
        case TlsSecretKind::ClientHandshakeTraffic:
            return clientHandshake;
        case TlsSecretKind::ServerHandshakeTraffic:
            return serverHandshake;
        case TlsSecretKind::ClientTraffic:
            return clientTraffic;
        case TlsSecretKind::ServerTraffic:
            return serverTraffic;
    }
    return master;
}

size_t TlsKeyLog::RandomHash::operator()(const TlsClientRandom& random) const {
    // Every byte counts, each 32-bit word times its own 64-bit key: the sum's top half cannot be steered
    // without knowing the keys.
    constexpr size_t kWords = sizeof(TlsClientRandom) / 4;
    static const auto keys = ProcessHashKeys<kWords + 1>();
    uint64_t sum = keys[0];
    for (size_t i = 0; i < kWords; ++i) {
        uint32_t word;
        std::memcpy(&word, random.data() + 4 * i, 4);
        sum += keys[i + 1] * word;
    }
    return static_cast<size_t>(sum >> 32 | sum << 32);  // the top bits are the well-mixed ones
}

TlsKeyLog::TlsKeyLog(std::string path) : path_(std::move(path)) {
    if (!path_.empty()) files_.emplace_back().path = path_;
}

TlsKeyLog::~TlsKeyLog() {
    Wipe(memory_.partial);
    for (auto& file : files_) {
        Wipe(file.partial);
        CloseStream(file);
    }
    for (auto& line : used_) line.secret.Clear();
}

void TlsKeyLog::Follow(const std::string& path) {
    std::lock_guard lock(mutex_);
    for (const auto& file : files_)
        if (file.path == path) return;
    files_.emplace_back().path = path;
}

void TlsKeyLog::CloseStream(Source& file) {
    if (file.stream >= 0) close(file.stream);
    file.stream = -1;
}

std::string TlsKeyLog::Load() {
    std::lock_guard lock(mutex_);
    std::string problem = ReadNewBytes();
    TakeUnfinishedLines();
    return problem;
}

// Reads every file from its last offset to its end into the table; the first problem, or empty.
// Called with the lock held.
std::string TlsKeyLog::ReadNewBytes() {
    if (files_.empty()) return "no key log file named";
    std::string first;
    for (auto& file : files_)
        if (std::string problem = ReadNewBytes(file); first.empty()) first = std::move(problem);
    return first;
}

void TlsKeyLog::TakeUnfinishedLines() {
    for (auto& file : files_) TakeLine(file.partial, false);
    TakeLine(memory_.partial, false);
}

std::string TlsKeyLog::ReadNewBytes(Source& file) {
    // A look at the file's size first: lookups for connections whose keys never come are frequent,
    // and most find nothing new.
    struct stat status {};
    if (stat(file.path.c_str(), &status) != 0) {
        CloseStream(file);
        return std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode) && file.stream >= 0 && status.st_dev == file.device && status.st_ino == file.inode)
        return ReadStream(file);
    if (status.st_dev == file.device && status.st_ino == file.inode && status.st_size == file.offset) return {};
    // Never waits: a FIFO without a writer would hold the open (on the capture thread, when the file is
    // replaced) until one comes.
    const int descriptor = open(file.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return std::strerror(errno);
    if (fstat(descriptor, &status) != 0) {
        const int error = errno;
        close(descriptor);
        return std::strerror(error);
    }
    if (!S_ISREG(status.st_mode)) {
        // Kept open, so that what a writer sends between two looks waits in the FIFO for the next.
        CloseStream(file);
        file.stream = descriptor;
        file.device = status.st_dev;
        file.inode = status.st_ino;
        file.offset = 0;
        Wipe(file.partial);
        file.skippingLongLine = false;
        return ReadStream(file);
    }
    CloseStream(file);
    if (status.st_dev != file.device || status.st_ino != file.inode || status.st_size < file.offset) {
        // Replaced or shortened: read again from the start; what is known stays known.
        file.device = status.st_dev;
        file.inode = status.st_ino;
        file.offset = 0;
        Wipe(file.partial);
        file.skippingLongLine = false;
    }
    std::string chunk(kReadChunk, '\0');
    while (file.offset < status.st_size) {
        const ssize_t got = pread(descriptor, chunk.data(), chunk.size(), file.offset);
        if (got <= 0) break;
        file.offset += got;
        AddTextLocked(file, std::string_view(chunk.data(), static_cast<size_t>(got)));
    }
    OPENSSL_cleanse(chunk.data(), chunk.size());
    close(descriptor);
    return {};
}

std::string TlsKeyLog::ReadStream(Source& file) {
    std::string chunk(kReadChunk, '\0');
    for (size_t taken = 0; taken < kMaxStreamBytesPerLook;) {
        const ssize_t got = read(file.stream, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // nothing waiting (EAGAIN), or no writer now (0)
        taken += static_cast<size_t>(got);
        AddTextLocked(file, std::string_view(chunk.data(), static_cast<size_t>(got)));
    }
    OPENSSL_cleanse(chunk.data(), chunk.size());
    return {};
}

void TlsKeyLog::AddLines(std::string_view lines) {
    std::lock_guard lock(mutex_);
    while (!lines.empty()) {
        const size_t end = lines.find('\n');
        const std::string_view line = lines.substr(0, end);
        if (line.size() > kMaxLineLength) {
            ++statistics_.lines;
            ++statistics_.malformedLines;
        } else {
            TakeLine(line, true);
        }
        if (end == std::string_view::npos) break;
        lines.remove_prefix(end + 1);
    }
}

void TlsKeyLog::AddText(std::string_view text) {
    std::lock_guard lock(mutex_);
    AddTextLocked(memory_, text);
}

void TlsKeyLog::TakeUnfinishedLine() {
    std::lock_guard lock(mutex_);
    TakeUnfinishedLines();
}

void TlsKeyLog::AddTextLocked(Source& source, std::string_view text) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view piece = text.substr(0, end);
        if (source.skippingLongLine) {
            if (end != std::string_view::npos) source.skippingLongLine = false;
        } else if (source.partial.size() + piece.size() > kMaxLineLength) {
            // No line of a key log is this long: skipped through its line end.
            ++statistics_.lines;
            ++statistics_.malformedLines;
            Wipe(source.partial);
            source.skippingLongLine = end == std::string_view::npos;
        } else if (end == std::string_view::npos) {
            source.partial.append(piece);
        } else if (source.partial.empty()) {
            TakeLine(piece, true);
        } else {
            source.partial.append(piece);
            TakeLine(source.partial, true);
            Wipe(source.partial);
        }
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

// counted: a complete line, counted in the statistics; otherwise an unfinished one, taken only if good.
void TlsKeyLog::TakeLine(std::string_view text, bool counted) {
    if (!counted && text.empty()) return;
    TlsKeyLogLine line;
    const auto kind = TlsKeyLogLine::Parse(text, line);
    if (counted) {
        ++statistics_.lines;
        if (kind == TlsKeyLogLine::Kind::Malformed) ++statistics_.malformedLines;
    }
    if (kind != TlsKeyLogLine::Kind::Secret) return;
    if (counted) ++statistics_.secrets;
    auto [entry, added] = table_.try_emplace(line.clientRandom);
    entry->second.Of(line.secretKind) = line.secret;
    if (!added) return;
    arrival_.push_back(line.clientRandom);
    while (table_.size() > kMaxClientRandoms) {
        table_.erase(arrival_.front());
        arrival_.pop_front();
        ++statistics_.dropped;
    }
}

bool TlsKeyLog::Find(const TlsClientRandom& clientRandom, bool tls13, TlsSessionSecrets& out) {
    std::lock_guard lock(mutex_);
    ++statistics_.lookups;
    auto entry = table_.find(clientRandom);
    if (entry == table_.end() || !entry->second.CompleteFor(tls13)) {
        if (!files_.empty()) ReadNewBytes();
        TakeUnfinishedLines();
        entry = table_.find(clientRandom);
    }
    if (entry == table_.end()) {
        ++statistics_.misses;
        return false;
    }
    if (recordingUse_) NoteUse(clientRandom, entry->second);
    out = entry->second;
    return true;
}

void TlsKeyLog::NoteUse(const TlsClientRandom& clientRandom, TlsSessionSecrets& secrets) {
    constexpr TlsSecretKind kKinds[] = {TlsSecretKind::MasterSecret,           TlsSecretKind::ClientEarlyTraffic,
                                        TlsSecretKind::ClientHandshakeTraffic, TlsSecretKind::ServerHandshakeTraffic,
                                        TlsSecretKind::ClientTraffic,          TlsSecretKind::ServerTraffic};
    for (const TlsSecretKind kind : kKinds) {
        const auto bit = static_cast<uint8_t>(1u << static_cast<unsigned>(kind));
        if (secrets.Of(kind).Empty() || (secrets.handedOut & bit) != 0) continue;
        secrets.handedOut |= bit;
        TlsKeyLogLine line;
        line.secretKind = kind;
        line.clientRandom = clientRandom;
        line.secret = secrets.Of(kind);
        used_.push_back(std::move(line));
    }
}

void TlsKeyLog::RecordUse() {
    std::lock_guard lock(mutex_);
    recordingUse_ = true;
}

void TlsKeyLog::TakeUsedLines(std::string& out) {
    std::lock_guard lock(mutex_);
    // Room for every line at once: a string that grows leaves copies of its text behind.
    constexpr size_t kMostLineBytes = 32 + 1 + 64 + 1 + 2 * TlsSecret::kMaxSize + 1;
    out.reserve(out.size() + used_.size() * kMostLineBytes);
    for (auto& line : used_) {
        line.AppendTo(out);
        line.secret.Clear();
    }
    used_.clear();
}

KeyLogStatistics TlsKeyLog::Statistics() const {
    std::lock_guard lock(mutex_);
    KeyLogStatistics copy = statistics_;
    copy.clientRandoms = table_.size();
    return copy;
}

}  // namespace tarnwick
