// Live capture between two network namespaces made here: curl fetches a video over HTTPS, and its key log
// reaches tarnwick only after the handshake, as a browser's does when it is read late.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::ReadFile;

const std::string kClientAddress = "192.0.2.1";
const std::string kServerAddress = "192.0.2.2";
constexpr int kPort = 8443;
constexpr size_t kVideoSize = 800000;

// Reads the child's output for the whole duration.
void PumpFor(ChildProcess& child, std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < until) child.Pump(20ms);
}

// Where a program lies, or empty; the children start without a search of PATH.
std::string FindProgram(const std::string& name) {
    for (const char* folder : {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/"})
        if (access((folder + name).c_str(), X_OK) == 0) return folder + name;
    return {};
}

// A client and a server network namespace joined by a veth pair; removed, with every process left in
// them (all started by this test), when the object goes.
class NamespacePair {
public:
    NamespacePair()
        : ip_(FindProgram("ip")),
          client_("tw-latekeys-" + std::to_string(getpid()) + "-c"),
          server_("tw-latekeys-" + std::to_string(getpid()) + "-s"),
          clientLink_("twlk" + std::to_string(getpid()) + "c") {}
    ~NamespacePair() {
        for (const std::string& name : made_) {
            ChildProcess pids({ip_, "netns", "pids", name});
            pids.Finish();
            for (size_t at = 0; at < pids.Stdout().size();) {
                const size_t end = pids.Stdout().find('\n', at);
                const std::string pid = pids.Stdout().substr(at, end - at);
                if (!pid.empty()) kill(static_cast<pid_t>(std::stol(pid)), SIGKILL);
                at = end == std::string::npos ? pids.Stdout().size() : end + 1;
            }
        }
        for (const std::string& name : made_) ChildProcess({ip_, "netns", "del", name}).Finish();
    }
    NamespacePair(const NamespacePair&) = delete;
    NamespacePair& operator=(const NamespacePair&) = delete;

    // False, with the reason, where namespaces cannot be made here.
    bool Make(std::string* why) {
        if (ip_.empty()) {
            *why = "no ip program (package iproute2)";
            return false;
        }
        const std::string serverLink = clientLink_.substr(0, clientLink_.size() - 1) + "s";
        const std::vector<std::vector<std::string>> steps = {
            {ip_, "netns", "add", client_},
            {ip_, "netns", "add", server_},
            {ip_, "link", "add", clientLink_, "type", "veth", "peer", "name", serverLink},
            {ip_, "link", "set", clientLink_, "netns", client_},
            {ip_, "link", "set", serverLink, "netns", server_},
            {ip_, "-n", client_, "addr", "add", kClientAddress + "/24", "dev", clientLink_},
            {ip_, "-n", server_, "addr", "add", kServerAddress + "/24", "dev", serverLink},
            {ip_, "-n", client_, "link", "set", clientLink_, "mtu", "1500", "up"},
            {ip_, "-n", server_, "link", "set", serverLink, "mtu", "1500", "up"},
            {ip_, "-n", server_, "link", "set", "lo", "up"},
        };
        for (const auto& step : steps) {
            ChildProcess child(step);
            if (child.Finish() != 0) {
                *why = "cannot make network namespaces here: " + child.Stderr();
                return false;
            }
            if (step[1] == "netns") made_.push_back(step[3]);
        }
        return true;
    }

    // argv run inside the client or the server namespace ("ip netns exec" starts it as the same process).
    std::vector<std::string> InClient(const std::vector<std::string>& argv) const { return In(client_, argv); }
    std::vector<std::string> InServer(const std::vector<std::string>& argv) const { return In(server_, argv); }
    const std::string& ClientLink() const { return clientLink_; }

private:
    std::vector<std::string> In(const std::string& name, const std::vector<std::string>& argv) const {
        std::vector<std::string> all{ip_, "netns", "exec", name};
        all.insert(all.end(), argv.begin(), argv.end());
        return all;
    }

    std::string ip_;
    std::string client_, server_, clientLink_;
    std::vector<std::string> made_;
};

// nghttpd serves the video in clear text inside the server namespace and nghttpx puts TLS in front of it,
// offering HTTP/2 and HTTP/1.1. curl, rate-limited so that the transfer lasts a few seconds, fetches it
// with its key log going to a file tarnwick does not read; once that log holds the handshake's secrets
// and records have queued, it is copied to the one tarnwick reads. The video is listed once, with its
// https address: its records waited for their keys, and the protocol came from the handshake read late.
void ExpectVideoListedWithLateKeyLog(const std::string& curlProtocol) {
    if (geteuid() != 0) GTEST_SKIP() << "not root: making network namespaces needs root";
    const std::string curl = FindProgram("curl"), openssl = FindProgram("openssl");
    const std::string nghttpd = FindProgram("nghttpd"), nghttpx = FindProgram("nghttpx");
    if (curl.empty() || openssl.empty()) GTEST_SKIP() << "no curl or openssl here";
    if (nghttpd.empty() || nghttpx.empty())
        GTEST_SKIP() << "no HTTP/2 server here (nghttpd, nghttpx: packages nghttp2-server, nghttp2-proxy)";
    NamespacePair namespaces;
    std::string why;
    if (!namespaces.Make(&why)) GTEST_SKIP() << why;

    testing::TempDir dir;
    const std::string key = dir / "key.pem", certificate = dir / "cert.pem";
    const std::string clientKeyLog = dir / "client-keys.log", readKeyLog = dir / "read-keys.log";
    ChildProcess makeCertificate({openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                                  "-nodes", "-keyout", key, "-out", certificate, "-days", "1", "-subj",
                                  "/CN=" + kServerAddress});
    ASSERT_EQ(makeCertificate.Finish(), 0) << makeCertificate.Stderr();
    dir.Write("htdocs/late.mp4", std::string(kVideoSize, 'v'));
    const std::string mimeTypes = dir.Write("mime.types", "video/mp4 mp4\n");

    ChildProcess backend(
        namespaces.InServer({nghttpd, "--no-tls", "--address=127.0.0.1", "--htdocs=" + (dir / "htdocs"),
                             "--mime-types-file=" + mimeTypes, "8080"}));
    ChildProcess frontend(
        namespaces.InServer({nghttpx, "--conf=/dev/null", "--workers=1", "--no-ocsp", "--log-level=ERROR",
                             "--frontend=" + kServerAddress + "," + std::to_string(kPort),
                             "--backend=127.0.0.1,8080;;proto=h2", key, certificate}));
    const std::string url = "https://" + kServerAddress + ":" + std::to_string(kPort) + "/late.mp4";
    bool serving = false;
    for (int attempt = 0; attempt < 50 && !serving; ++attempt) {
        ChildProcess probe(namespaces.InClient({curl, "-k", "-s", "-f", "-I", "-o", "/dev/null", url}));
        serving = probe.Finish() == 0;
        if (!serving) std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(serving) << "the server did not answer: " << frontend.Stderr() << backend.Stderr();

    ChildProcess tarnwick(namespaces.InClient(
        {TARNWICK_BINARY, "--headless", "--json", "--interface", namespaces.ClientLink(), "--keylog", readKeyLog}));
    const auto readyBy = std::chrono::steady_clock::now() + 10s;
    while (tarnwick.Stderr().find("capturing on") == std::string::npos && std::chrono::steady_clock::now() < readyBy &&
           !tarnwick.Exited())
        tarnwick.Pump(100ms);
    ASSERT_NE(tarnwick.Stderr().find("capturing on " + namespaces.ClientLink()), std::string::npos)
        << tarnwick.Stderr();

    ChildProcess fetch(namespaces.InClient({"/usr/bin/env", "SSLKEYLOGFILE=" + clientKeyLog, curl, "-k", "-s", "-S",
                                            curlProtocol, "--limit-rate", "200K", "-o", "/dev/null", url}));
    const auto secretsBy = std::chrono::steady_clock::now() + 10s;
    while (ReadFile(clientKeyLog).find("CLIENT_TRAFFIC_SECRET_0") == std::string::npos &&
           std::chrono::steady_clock::now() < secretsBy && !fetch.Exited())
        tarnwick.Pump(50ms);
    ASSERT_NE(ReadFile(clientKeyLog).find("CLIENT_TRAFFIC_SECRET_0"), std::string::npos) << fetch.Stderr();
    PumpFor(tarnwick, 300ms);  // records of the connection queue meanwhile, waiting for their keys
    ASSERT_FALSE(fetch.Exited()) << "the transfer ended before its key log was handed over";
    std::filesystem::copy_file(clientKeyLog, readKeyLog);
    ASSERT_EQ(fetch.Finish(), 0) << fetch.Stderr();

    const std::string expected = "\"type\":\"mp4\",\"size\":" + std::to_string(kVideoSize) + ",\"url\":\"" + url +
                                 "\",\"adapter\":\"" + namespaces.ClientLink() + "\"}";
    const auto listedBy = std::chrono::steady_clock::now() + 5s;
    while (tarnwick.Stdout().find(expected) == std::string::npos && std::chrono::steady_clock::now() < listedBy)
        tarnwick.Pump(50ms);
    PumpFor(tarnwick, 300ms);
    ASSERT_EQ(kill(tarnwick.Pid(), SIGTERM), 0);
    EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
    const std::string& out = tarnwick.Stdout();
    ASSERT_NE(out.find(expected), std::string::npos) << "stdout: " << out << "\nstderr: " << tarnwick.Stderr();
    EXPECT_EQ(out.find(expected), out.rfind(expected)) << out;  // once
    EXPECT_EQ(out.find("\"url\":\"http://"), std::string::npos) << out;
}

TEST(LateKeyLogLive, VideoOverHttp1IsListedOnceWhenTheKeyLogComesAfterTheHandshake) {
    ExpectVideoListedWithLateKeyLog("--http1.1");
}

// The server's choice of protocol travels encrypted (TLS 1.3): read late, it must still give HTTP/2.
TEST(LateKeyLogLive, VideoOverHttp2IsListedOnceWhenTheKeyLogComesAfterTheHandshake) {
    ExpectVideoListedWithLateKeyLog("--http2");
}

}  // namespace
}  // namespace tarnwick
