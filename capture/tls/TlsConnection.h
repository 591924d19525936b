// SPDX-License-Identifier: GPL-3.0-or-later
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

#include "capture/limits/CaptureLimits.h"
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

// What the decrypted bytes carry, as the handshake chose it (ALPN) or, when the server's choice cannot
// be read (its keys came too late), as the client's first bytes show it.
enum class TlsApplicationProtocol : uint8_t { Http1, Http2, Other };

// Makes the reader of a connection's decrypted bytes once its protocol is known; may return nothing for
// a protocol nobody reads, and the connection is then let go.
using TlsApplicationReaderFactory =
    std::function<std::unique_ptr<StreamReader>(const TlsConnectionFacts&, TlsApplicationProtocol)>;

// What one connection may hold (records waiting for their keys or split across deliveries, the
// plaintext buffer), and all connections together through the budget.
struct TlsConnectionLimits {
    size_t maxHeldBytes = 1u << 20;
    int64_t keyWaitMs = 10'000;
    ByteBudget* budget = nullptr;
    LimitHits* hits = nullptr;
    size_t* alive = nullptr;  // counts the connections that exist
};

// Sits on the reassembled byte streams of a connection that began with a ClientHello and hands the
// decrypted application data of each direction to its application reader, in the same shape.
// Nothing that failed authentication is passed on: the first such record ends the decryption.
// Records whose secrets the key log does not hold yet wait, within a bound of bytes (per connection and
// over all connections, each record counted with its upkeep) and of time, for the browser to write
// them. No application data is read before its protocol is known.
class TlsConnection final : public StreamReader {
public:
    static constexpr size_t kMaxRecordBody = 16384 + 2048;
    // What a waiting record costs beyond its bytes.
    static constexpr size_t kRecordUpkeep = 64;
    // Plaintext held until the client's first bytes tell the protocol.
    static constexpr size_t kMaxUndecidedBytes = 64;

    TlsConnection(const FlowKey& key, TlsKeyLog& keyLog, TlsApplicationReaderFactory readerFactory,
                  TlsStatistics& statistics, TlsConnectionLimits limits = {});
    ~TlsConnection() override;

    // Whether a client's first payload starts a TLS handshake: a handshake record holding a ClientHello.
    static bool StartsClientHello(std::span<const uint8_t> payload);
    // The protocol a client's first plaintext bytes show, or nothing while too few have come.
    static std::optional<TlsApplicationProtocol> ProtocolOfFirstBytes(std::span<const uint8_t> bytes);

    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeMs) override;
    void OnGap(StreamDirection direction, uint64_t count) override;
    // A connection that ends while records still wait for their secrets lingers: the browser may log
    // them a moment later. Its reader is told of the end once they are read, or once they are given up.
    void OnEnd(StreamEnd how) override;
    bool Done() const override { return done_; }

    // Ended, with records still waiting for the key log.
    bool Lingering() const { return lingering_ && !done_; }
    // Looks into the key log again; gives the waiting records up after the key wait.
    void Retry(int64_t nowMs);

    const TlsConnectionFacts& Facts() const { return facts_; }

private:
    enum class Protection : uint8_t { Plain, Early, Handshake, Application };
    enum class Step : uint8_t { Read, Wait, Stop };
    enum class Failure : uint8_t { MissingKeys, Authentication, Malformed, Unsupported, Bound, Lost };

    struct Side {
        uint8_t header[5] = {};
        size_t headerHave = 0;
        size_t bodyLength = 0;
        std::vector<uint8_t> partial;              // a record's body split across deliveries
        std::deque<std::vector<uint8_t>> waiting;  // whole records (header first) that cannot be read yet
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
    // Makes the application reader once the protocol is known; false while it is not.
    bool ChooseApplication(StreamDirection direction, std::span<const uint8_t> bytes);
    void Fail(Failure why);
    // Counts bytes the connection holds against its bounds; false (and the connection failed) beyond them.
    bool Hold(size_t bytes);
    void Release(size_t bytes);
    void Waiting(bool started);

    TlsConnectionFacts facts_;
    TlsKeyLog& keyLog_;
    TlsApplicationReaderFactory readerFactory_;
    TlsStatistics& statistics_;
    TlsConnectionLimits limits_;
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
    bool alpnKnown_ = false;    // the server's choice was read (ServerHello, or EncryptedExtensions)
    std::string undecided_[2];  // plaintext that came before the protocol was known
    bool decryptedAny_ = false;
    int unreadableEarlyRecords_ = 0;
    bool done_ = false;
    bool lingering_ = false;
    StreamEnd endedHow_ = StreamEnd::Closed;
    size_t waitingBytes_ = 0;  // of records waiting for what they need
    size_t heldBytes_ = 0;     // everything counted against the bounds
    int64_t now_ = 0;
    int64_t waitingSince_ = 0;
    std::vector<uint8_t> plaintext_;  // made on first use: most connections decrypt in place
};

}  // namespace tarnwick
