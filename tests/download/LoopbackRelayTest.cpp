// SPDX-License-Identifier: GPL-3.0-or-later
// The relay that ffmpeg fetches through: the heads it sends on, its bounds, its own connections, its refusals.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HttpTestServer.h"
#include "ScriptedTcpServer.h"
#include "UntrustedHttpsServer.h"
#include "capture/session/OwnConnections.h"
#include "download/LoopbackRelay.h"
#include "download/ProxyRequest.h"

namespace tarnwick {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

// A plain client of the relay: connects, sends, and reads until the relay closes (or 5 seconds pass).
class RelayClient {
public:
    explicit RelayClient(uint16_t port) {
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RelayClient() { ::close(socket_); }
    RelayClient(const RelayClient&) = delete;
    RelayClient& operator=(const RelayClient&) = delete;

    bool Connected() const { return connected_; }
    void Send(const std::string& bytes) const { (void)::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Everything until the relay closes; `closed` tells whether it did within the time.
    std::string ReadAll(bool* closed = nullptr) const {
        std::string received;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < deadline) {
            pollfd readable{socket_, POLLIN, 0};
            if (::poll(&readable, 1, 50) <= 0) continue;
            char block[65536];
            const ssize_t got = ::recv(socket_, block, sizeof block, 0);
            if (got <= 0) {
                if (closed) *closed = true;
                return received;
            }
            received.append(block, static_cast<size_t>(got));
        }
        if (closed) *closed = false;
        return received;
    }

private:
    int socket_ = -1;
    bool connected_ = false;
};

TEST(ProxyRequest, ReadsTheThreeFormsAndRewritesForTheServer) {
    const ProxyRequest plain = ProxyRequest::Parse(
        "GET http://Video.Example:8080/v/seg1.ts?t=1#frag HTTP/1.1\r\nUser-Agent: Lavf/59\r\nAccept: */*\r\n"
        "Connection: keep-alive\r\nProxy-Connection: keep-alive\r\nHost: Video.Example:8080\r\nReferer: old\r\n\r\n");
    ASSERT_EQ(plain.TargetForm(), ProxyRequest::Form::Absolute) << plain.Problem();
    EXPECT_EQ(plain.Host(), "Video.Example");
    EXPECT_EQ(plain.Port(), 8080);
    EXPECT_EQ(plain.ForServer({{"User-Agent", "Firefox"}, {"Referer", "http://page/"}}),
              "GET /v/seg1.ts?t=1 HTTP/1.1\r\nAccept: */*\r\nHost: Video.Example:8080\r\nUser-Agent: Firefox\r\n"
              "Referer: http://page/\r\nConnection: close\r\n\r\n");
    // Without a Host field the server's own is added, its port only when it is not the default.
    EXPECT_EQ(ProxyRequest::Parse("GET http://[::1]/x HTTP/1.0\r\n\r\n").ForServer({}),
              "GET /x HTTP/1.0\r\nHost: [::1]\r\nConnection: close\r\n\r\n");

    const ProxyRequest tunnel = ProxyRequest::Parse("CONNECT [2001:db8::1]:443 HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_EQ(tunnel.TargetForm(), ProxyRequest::Form::Connect);
    EXPECT_EQ(tunnel.Host(), "2001:db8::1");
    EXPECT_EQ(tunnel.Port(), 443);
    const ProxyRequest inner = ProxyRequest::Parse("GET /index.m3u8 HTTP/1.1\r\nHost: cdn.example\r\n\r\n");
    EXPECT_EQ(inner.TargetForm(), ProxyRequest::Form::Origin);
    EXPECT_EQ(inner.ForServer({}), "GET /index.m3u8 HTTP/1.1\r\nHost: cdn.example\r\nConnection: close\r\n\r\n");
}

TEST(ProxyRequest, RefusesWhatItDoesNotRelay) {
    const std::vector<std::string> refused = {
        "POST http://h/x HTTP/1.1\r\n\r\n",
        "GET http://user@h/x HTTP/1.1\r\n\r\n",
        "GET http://h/x HTTP/2\r\n\r\n",
        "GET http://h/x HTTP/1.1\r\nHost: h\r\n",
        "GET http://h/x HTTP/1.1\r\nBad Name: v\r\n\r\n",
        "GET http://h/x HTTP/1.1\r\nX: a\rb\r\n\r\n",
        "CONNECT h HTTP/1.1\r\n\r\n",
        "CONNECT h:0 HTTP/1.1\r\n\r\n",
        "CONNECT h:70000 HTTP/1.1\r\n\r\n",
        "GET ftp://h/x HTTP/1.1\r\n\r\n",
        "GET http://h:/x HTTP/1.1\r\n\r\n",
        "GET http://h/a b HTTP/1.1\r\n\r\n",
        "GET http://h/x HTTP/1.1\r\n" + std::string(ProxyRequest::kMaxHeadBytes, 'x')};
    for (const std::string& head : refused)
        EXPECT_EQ(ProxyRequest::Parse(head).TargetForm(), ProxyRequest::Form::Invalid) << head;
    std::string many = "GET http://h/x HTTP/1.1\r\n";
    for (size_t i = 0; i <= ProxyRequest::kMaxFields; ++i) many += "X: y\r\n";
    EXPECT_EQ(ProxyRequest::Parse(many + "\r\n").TargetForm(), ProxyRequest::Form::Invalid);
}

TEST(LoopbackRelay, PlainRequestsReachTheServerWithTheBrowsersFieldsThroughOurOwnConnections) {
    test::HttpTestServer server;
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    LoopbackRelay relay;
    relay.captured = CapturedRequestHeaders::Parse(
        "GET /guarded HTTP/1.1\r\nHost: " + host + "\r\nCookie: " + test::HttpTestServer::kCookie +
        "\r\nReferer: " + test::HttpTestServer::kReferer + "\r\nUser-Agent: Firefox\r\n\r\n");
    ASSERT_TRUE(relay.Start()) << relay.Error();
    const uint16_t relayPort = relay.Port();
    // Any connection to the relay's port is ours: the capture leaves ffmpeg's side of it alone.
    EXPECT_TRUE(OwnConnections::Process().Owns(40000, relayPort, OwnConnections::NowMs()));

    RelayClient client(relay.Port());
    ASSERT_TRUE(client.Connected());
    client.Send("GET http://" + host + "/guarded HTTP/1.1\r\nHost: " + host +
                "\r\nUser-Agent: Lavf/59\r\nConnection: keep-alive\r\nProxy-Connection: keep-alive\r\n\r\n");
    bool closed = false;
    const std::string answer = client.ReadAll(&closed);
    EXPECT_TRUE(closed);
    EXPECT_THAT(answer, StartsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(answer.size() - answer.find("\r\n\r\n") - 4, test::HttpTestServer::kFileSize);
    EXPECT_EQ(server.LastHeader("User-Agent"), "Firefox");
    EXPECT_EQ(server.LastHeader("Connection"), "close");
    EXPECT_EQ(server.LastHeader("Proxy-Connection"), "");
    EXPECT_TRUE(OwnConnections::Process().Owns(static_cast<uint16_t>(server.LastClientPort()),
                                               static_cast<uint16_t>(server.Port()), server.LastRequestTimeMs()));

    relay.Stop();
    // Closed: a connection to the port after that is no longer ours.
    EXPECT_FALSE(
        OwnConnections::Process().Owns(40000, relayPort, OwnConnections::NowMs() + 2 * OwnConnections::kEarlyMs));
}

TEST(LoopbackRelay, ABrowsersCookieGoesOnlyToItsOwnHost) {
    test::HttpTestServer server;
    LoopbackRelay relay;
    relay.captured = CapturedRequestHeaders::Parse(
        "GET / HTTP/1.1\r\nHost: video.example\r\nCookie: " + std::string(test::HttpTestServer::kCookie) +
        "\r\nReferer: " + test::HttpTestServer::kReferer + "\r\n\r\n");
    ASSERT_TRUE(relay.Start()) << relay.Error();
    RelayClient client(relay.Port());
    client.Send("GET " + server.Url("/guarded") + " HTTP/1.1\r\n\r\n");
    EXPECT_THAT(client.ReadAll(), StartsWith("HTTP/1.1 403"));
    EXPECT_EQ(server.LastHeader("Cookie"), "");
    EXPECT_EQ(server.LastHeader("Referer"), test::HttpTestServer::kReferer);
}

TEST(LoopbackRelay, AnAnswerEndsWithItsFramingEvenWhenTheServerKeepsTheConnection) {
    test::ScriptedTcpServer keepsOpen({{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nvideo", 0}}, true);
    LoopbackRelay relay;
    ASSERT_TRUE(relay.Start()) << relay.Error();
    RelayClient client(relay.Port());
    client.Send("GET http://127.0.0.1:" + std::to_string(keepsOpen.Port()) + "/clip HTTP/1.1\r\n\r\n");
    bool closed = false;
    const auto start = Clock::now();
    EXPECT_EQ(client.ReadAll(&closed), "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nvideo");
    EXPECT_TRUE(closed);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_THAT(keepsOpen.ReceivedRequest(), HasSubstr("Connection: close\r\n"));
}

TEST(LoopbackRelay, RefusesOverlongHeadsOtherMethodsAndConnectionsBeyondItsBound) {
    test::HttpTestServer server;
    LoopbackRelay relay;
    ASSERT_TRUE(relay.Start()) << relay.Error();
    {
        RelayClient overlong(relay.Port());
        overlong.Send("GET " + server.Url("/file.bin") +
                      " HTTP/1.1\r\nX: " + std::string(ProxyRequest::kMaxHeadBytes, 'x') + "\r\n\r\n");
        bool closed = false;
        overlong.ReadAll(&closed);
        EXPECT_TRUE(closed);
        RelayClient posting(relay.Port());
        posting.Send("POST " + server.Url("/file.bin") + " HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
        EXPECT_THAT(posting.ReadAll(), StartsWith("HTTP/1.1 400"));
        EXPECT_EQ(server.Requests(), 0);
    }
    // Connections that never say anything hold every place; the next one is turned away at once.
    std::vector<std::unique_ptr<RelayClient>> silent;
    for (int i = 0; i < LoopbackRelay::kMaxConnections; ++i) {
        silent.push_back(std::make_unique<RelayClient>(relay.Port()));
        ASSERT_TRUE(silent.back()->Connected());
    }
    // Give the relay time to take them all.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    RelayClient turnedAway(relay.Port());
    EXPECT_THAT(turnedAway.ReadAll(), StartsWith("HTTP/1.1 503"));
    // Stopping ends the silent ones at once, not after their stall limit.
    const auto start = Clock::now();
    relay.Stop();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

TEST(LoopbackRelay, ASecureConnectionToAServerWhoseCertificateFailsIsRefusedAndSaidWhy) {
    test::UntrustedHttpsServer untrusted;
    ASSERT_TRUE(untrusted.Ready()) << "no test certificate: is the openssl tool installed (scripts/deps.sh)?";
    LoopbackRelay relay;
    ASSERT_TRUE(relay.Start()) << relay.Error();
    RelayClient client(relay.Port());
    client.Send("CONNECT 127.0.0.1:" + std::to_string(untrusted.Port()) + " HTTP/1.1\r\n\r\n");
    EXPECT_THAT(client.ReadAll(), StartsWith("HTTP/1.1 502"));
    EXPECT_THAT(relay.ServerProblem(),
                HasSubstr("certificate of 127.0.0.1 port " + std::to_string(untrusted.Port()) + " cannot be trusted"));
}

}  // namespace
}  // namespace tarnwick
