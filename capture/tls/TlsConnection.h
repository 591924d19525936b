// One TLS connection: reads its handshake, finds its secrets in the key log and decrypts its records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capture/stream/FlowKey.h"
#include "capture/stream/StreamReader.h"
#include "capture/tls/TlsCipherSuite.h"
#include "capture/tls/TlsHandshakeReader.h"
#include "capture/tls/TlsHello.h"
#include "capture/tls/TlsKeyLog.h"
#include "capture/tls/TlsRecordDecryptor.h"
#include "capture/tls/TlsStatistics.h"

namespace tarnwick {

// What the reader of the decrypted bytes is chosen by and builds URLs from.
struct TlsConnectionFacts {
    FlowKey key;
    std::string serverName;  // from the ClientHello; empty when it named none
    std::string alpn;        // the protocol the server chose ("http/1.1", "h2"); empty when none
};

// Records held for secrets the key log does not have yet, over all the connections that share it.
struct TlsWaitingBudget {
    size_t maxBytes = 32u << 20;
    size_t bytes = 0;
};

// Makes the reader of a connection's decrypted bytes when its first application data arrives; may
// return nothing for a protocol nobody reads, and the connection is then let go.
using TlsApplicationReaderFactory = std::function<std::unique_ptr<StreamReader>(const TlsConnectionFacts&)>;

// Sits on the reassembled byte streams of a connection that began with a ClientHello and hands the
// decrypted application data of each direction to its application reader, in the same shape.
// Nothing that failed authentication is passed on: the first such record ends the decryption.
// Records whose secrets the key log does not hold yet wait, within a bound of bytes (per connection and,
// with a budget, over all connections) and of time, for the browser to write them.
class TlsConnection final : public StreamReader {
public:
    static constexpr size_t kMaxRecordBody = 16384 + 2048;
    static constexpr size_t kMaxWaitingBytes = 1u << 20;
    static constexpr int64_t kMaxKeyWaitSeconds = 10;

    TlsConnection(const FlowKey& key, TlsKeyLog& keyLog, TlsApplicationReaderFactory readerFactory,
                  TlsStatistics& statistics, TlsWaitingBudget* budget = nullptr);
    ~TlsConnection() override;

    // Whether a client's first payload starts a TLS handshake: a handshake record holding a ClientHello.
    static bool StartsClientHello(std::span<const uint8_t> payload);

    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeSeconds) override;
    void OnEnd(StreamEnd how) override;
    bool Done() const override { return done_; }

    const TlsConnectionFacts& Facts() const { return facts_; }

private:
    enum class Protection : uint8_t { Plain, Early, Handshake, Application };
    enum class Step : uint8_t { Read, Wait, Stop };
    enum class Failure : uint8_t { MissingKeys, Authentication, Malformed, Unsupported };

    struct Side {
        uint8_t header[5] = {};
        size_t headerHave = 0;
        size_t bodyLength = 0;
        std::vector<uint8_t> partial;               // a record's body split across deliveries
        std::deque<std::vector<uint8_t>> waiting;   // whole records (header first) that cannot be read yet
        TlsHandshakeReader handshake;
        TlsRecordDecryptor decryptor;
        Protection protection = Protection::Plain;
        bool keysInstalled = false;
        bool earlyKeysMissing = false;  // early data that cannot be read is passed over
        TlsSecret trafficSecret;
    };

    Side& SideOf(StreamDirection direction) { return sides_[IndexOf(direction)]; }
    // writable: body's bytes where they may be decrypted in place, or null when they are the caller's.
    void TakeRecord(StreamDirection direction, std::span<const uint8_t, 5> header, std::span<const uint8_t> body,
                    uint8_t* writable);
    void Resume();
    Step ReadRecord(StreamDirection direction, std::span<const uint8_t, 5> header, std::span<const uint8_t> body,
                    uint8_t* writable);
    Step ReadPlain(StreamDirection direction, uint8_t type, std::span<const uint8_t> body);
    Step ReadProtected(StreamDirection direction, std::span<const uint8_t, 5> header, std::span<const uint8_t> body,
                       uint8_t* writable);
    Step ReadPlaintext(StreamDirection direction, uint8_t type, std::span<const uint8_t> bytes);
    bool ReadHandshake(StreamDirection direction, std::span<const uint8_t> bytes);
    bool OnHandshakeMessage(StreamDirection direction, uint8_t type, std::span<const uint8_t> body);
    bool OnServerHello(std::span<const uint8_t> body);
    // Installs the keys of the given protection for a direction (its protection is left to the caller);
    // Wait while the key log lacks them.
    Step InstallKeys(StreamDirection direction, Protection protection);
    bool SecretKnown(const TlsSecret& secret);
    void DeliverApplicationData(StreamDirection direction, std::span<const uint8_t> bytes);
    void Fail(Failure why);
    void Hold(size_t bytes);
    void Release(size_t bytes);

    TlsConnectionFacts facts_;
    TlsKeyLog& keyLog_;
    TlsApplicationReaderFactory readerFactory_;
    TlsStatistics& statistics_;
    TlsWaitingBudget* budget_;
    Side sides_[2];
    TlsClientRandom clientRandom_{};
    TlsClientRandom serverRandom_{};
    bool clientHelloSeen_ = false;
    bool offersEarlyData_ = false;
    bool retryRequested_ = false;  // a HelloRetryRequest came: a second ClientHello and ServerHello follow
    bool secondClientHelloSeen_ = false;
    std::optional<TlsCipherSuite> suite_;  // set by the ServerHello
    TlsSessionSecrets secrets_;
    std::unique_ptr<StreamReader> application_;
    bool applicationRefused_ = false;
    bool decryptedAny_ = false;
    int unreadableEarlyRecords_ = 0;
    bool done_ = false;
    size_t waitingBytes_ = 0;
    int64_t now_ = 0;
    int64_t waitingSince_ = 0;
    std::vector<uint8_t> plaintext_;  // made on first use: most connections decrypt in place
};

}  // namespace tarnwick
