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
    case TlsSecretKind::MasterSecret: return master;
    case TlsSecretKind::ClientEarlyTraffic: return clientEarly;
    case TlsSecretKind::ClientHandshakeTraffic: return clientHandshake;
    case TlsSecretKind::ServerHandshakeTraffic: return serverHandshake;
    case TlsSecretKind::ClientTraffic: return clientTraffic;
    case TlsSecretKind::ServerTraffic: return serverTraffic;
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

TlsKeyLog::TlsKeyLog(std::string path) : path_(std::move(path)) {}

TlsKeyLog::~TlsKeyLog() {
    Wipe(partial_);
    CloseStream();
}

void TlsKeyLog::CloseStream() {
    if (stream_ >= 0) close(stream_);
    stream_ = -1;
}

std::string TlsKeyLog::Load() {
    std::lock_guard lock(mutex_);
    std::string problem = ReadNewBytes();
    if (problem.empty()) TakeLine(partial_, false);
    return problem;
}

// Reads from the last offset to the end of the file into the table. Called with the lock held.
std::string TlsKeyLog::ReadNewBytes() {
    if (path_.empty()) return "no key log file named";
    // A look at the file's size first: lookups for connections whose keys never come are frequent,
    // and most find nothing new.
    struct stat status {};
    if (stat(path_.c_str(), &status) != 0) {
        CloseStream();
        return std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode) && stream_ >= 0 && status.st_dev == device_ && status.st_ino == inode_)
        return ReadStream();
    if (status.st_dev == device_ && status.st_ino == inode_ && status.st_size == offset_) return {};
    // Never waits: a FIFO without a writer would hold the open (on the capture thread, when the file is
    // replaced) until one comes.
    const int file = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) return std::strerror(errno);
    if (fstat(file, &status) != 0) {
        const int error = errno;
        close(file);
        return std::strerror(error);
    }
    if (!S_ISREG(status.st_mode)) {
        // Kept open, so that what a writer sends between two looks waits in the FIFO for the next.
        CloseStream();
        stream_ = file;
        device_ = status.st_dev;
        inode_ = status.st_ino;
        offset_ = 0;
        Wipe(partial_);
        skippingLongLine_ = false;
        return ReadStream();
    }
    CloseStream();
    if (status.st_dev != device_ || status.st_ino != inode_ || status.st_size < offset_) {
        // Replaced or shortened: read again from the start; what is known stays known.
        device_ = status.st_dev;
        inode_ = status.st_ino;
        offset_ = 0;
        Wipe(partial_);
        skippingLongLine_ = false;
    }
    std::string chunk(kReadChunk, '\0');
    while (offset_ < status.st_size) {
        const ssize_t got = pread(file, chunk.data(), chunk.size(), offset_);
        if (got <= 0) break;
        offset_ += got;
        AddTextLocked(std::string_view(chunk.data(), static_cast<size_t>(got)));
    }
    OPENSSL_cleanse(chunk.data(), chunk.size());
    close(file);
    return {};
}

std::string TlsKeyLog::ReadStream() {
    std::string chunk(kReadChunk, '\0');
    for (size_t taken = 0; taken < kMaxStreamBytesPerLook;) {
        const ssize_t got = read(stream_, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // nothing waiting (EAGAIN), or no writer now (0)
        taken += static_cast<size_t>(got);
        AddTextLocked(std::string_view(chunk.data(), static_cast<size_t>(got)));
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
    AddTextLocked(text);
}

void TlsKeyLog::TakeUnfinishedLine() {
    std::lock_guard lock(mutex_);
    TakeLine(partial_, false);
}

void TlsKeyLog::AddTextLocked(std::string_view text) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view piece = text.substr(0, end);
        if (skippingLongLine_) {
            if (end != std::string_view::npos) skippingLongLine_ = false;
        } else if (partial_.size() + piece.size() > kMaxLineLength) {
            // No line of a key log is this long: skipped through its line end.
            ++statistics_.lines;
            ++statistics_.malformedLines;
            Wipe(partial_);
            skippingLongLine_ = end == std::string_view::npos;
        } else if (end == std::string_view::npos) {
            partial_.append(piece);
        } else if (partial_.empty()) {
            TakeLine(piece, true);
        } else {
            partial_.append(piece);
            TakeLine(partial_, true);
            Wipe(partial_);
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
        ReadNewBytes();
        TakeLine(partial_, false);
        entry = table_.find(clientRandom);
    }
    if (entry == table_.end()) {
        ++statistics_.misses;
        return false;
    }
    out = entry->second;
    return true;
}

KeyLogStatistics TlsKeyLog::Statistics() const {
    std::lock_guard lock(mutex_);
    KeyLogStatistics copy = statistics_;
    copy.clientRandoms = table_.size();
    return copy;
}

}  // namespace tarnwick
