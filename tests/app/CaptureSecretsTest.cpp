// SPDX-License-Identifier: GPL-3.0-or-later
// Captures that carry their TLS secrets: read without a key log (Wireshark's, editcap's) and written
// by --write so that Wireshark and Tarnwick read them again without one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "capture/source/PcapngReader.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using testing::ChildProcess;
using testing::ReadFile;

const std::string kTls = std::string(TARNWICK_TEST_DATA) + "/tls/";

bool Installed(const std::string& program) {
    return access(program.c_str(), X_OK) == 0;
}

// The lines of text that contain needle.
std::string LinesWith(const std::string& text, const std::string& needle) {
    std::string found;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        if (line.find(needle) != std::string::npos) found += line + "\n";
        at = end + 1;
    }
    return found;
}

// The key log text of every Decryption Secrets Block of a pcapng file, in order.
class SecretsCollector final : public PacketHandler {
public:
    void HandlePacket(const pcap_pkthdr&, const uint8_t*, int) override { ++packets; }
    void HandleSecrets(std::span<const uint8_t> lines) override {
        text.append(reinterpret_cast<const char*>(lines.data()), lines.size());
        if (!text.empty() && text.back() != '\n') text += '\n';
    }
    std::string text;
    uint64_t packets = 0;
};

SecretsCollector SecretsOf(const std::string& path) {
    SecretsCollector collector;
    const std::string bytes = ReadFile(path);
    PcapngReader reader;
    for (size_t at = 0; at < bytes.size();) {
        size_t room = 0;
        uint8_t* into = reader.Room(room);
        const size_t count = std::min(room, bytes.size() - at);
        std::memcpy(into, bytes.data() + at, count);
        reader.Commit(count);
        at += count;
        EXPECT_EQ(reader.Parse(collector), PcapngReader::Result::Ok) << reader.Error();
    }
    return collector;
}

// Tarnwick's own recorded HTTPS with its key log put into the capture by editcap: the same videos as
// with --keylog. The copy keeps the capture's name, which the lines carry.
TEST(CaptureSecrets, OwnTlsCapturesWithInjectedSecretsListTheirVideos) {
    if (!Installed("/usr/bin/editcap")) GTEST_SKIP() << "no editcap here (package tshark)";
    testing::TempDir dir;
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kTls)) {
        if (entry.path().extension() != ".pcap") continue;
        auto keyLog = entry.path(), expected = entry.path();
        keyLog.replace_extension(".keylog");
        expected.replace_extension(".expected.jsonl");
        const std::string injected = dir / entry.path().filename().string();
        ChildProcess editcap(
            {"/usr/bin/editcap", "--inject-secrets", "tls," + keyLog.string(), entry.path().string(), injected});
        ASSERT_EQ(editcap.Finish(), 0) << editcap.Stderr();
        ChildProcess tarnwick({TARNWICK_BINARY, "--headless", "--json", "--read", injected});
        EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
        EXPECT_EQ(tarnwick.Stdout(), ReadFile(expected.string())) << entry.path() << tarnwick.Stderr();
        ++checked;
    }
    EXPECT_GE(checked, 9);
}

// Wireshark's own captures with their secrets inside decrypt as they do with the same secrets given as a
// key log beside a copy whose blocks editcap took out, and as they do once Tarnwick wrote them again.
TEST(CaptureSecrets, WiresharkCapturesWithSecretsDecryptAsWithTheirKeyLog) {
    const std::string external = TARNWICK_EXTERNAL_CAPTURES;
    const std::pair<std::string, std::string> cases[] = {
        {"/ws-tls12-dsb-no-keylog/tls12-dsb.pcapng", "decrypted 2"},
        {"/ws-http2-brotli-dsb-no-keylog/http2-brotli.pcapng", "decrypted 1"}};
    if (!std::filesystem::exists(external + cases[0].first)) GTEST_SKIP() << "no external captures at " << external;
    testing::TempDir dir;
    for (const auto& [name, decrypted] : cases) {
        const std::string path = external + name;
        const std::string written = dir / "written.pcapng";
        ChildProcess alone({TARNWICK_BINARY, "--headless", "--json", "--read", path, "--write", written});
        EXPECT_EQ(alone.Finish(), 0) << alone.Stderr();
        EXPECT_NE(alone.Stderr().find(decrypted), std::string::npos) << name << "\n" << alone.Stderr();
        // Written again, the secrets come along, ahead of every packet that needs them.
        ChildProcess again({TARNWICK_BINARY, "--headless", "--json", "--read", written});
        EXPECT_EQ(again.Finish(), 0) << again.Stderr();
        EXPECT_NE(again.Stderr().find(decrypted), std::string::npos) << name << " written again\n" << again.Stderr();
        if (!Installed("/usr/bin/editcap")) continue;
        const std::string keyLog = dir.Write("keys.log", SecretsOf(path).text);
        const std::string stripped = dir / std::filesystem::path(path).filename().string();
        ChildProcess editcap({"/usr/bin/editcap", "--discard-all-secrets", path, stripped});
        ASSERT_EQ(editcap.Finish(), 0) << editcap.Stderr();
        ASSERT_TRUE(SecretsOf(stripped).text.empty());
        ChildProcess withKeyLog({TARNWICK_BINARY, "--headless", "--json", "--read", stripped, "--keylog", keyLog});
        EXPECT_EQ(withKeyLog.Finish(), 0) << withKeyLog.Stderr();
        EXPECT_EQ(withKeyLog.Stdout(), alone.Stdout());
        EXPECT_EQ(LinesWith(withKeyLog.Stderr(), "decrypted"), LinesWith(alone.Stderr(), "decrypted")) << name;
    }
}

// A replay with its key log written with --write: only its owner may read the file; it carries the
// secrets of its connections and no others, ahead of their packets; tshark decrypts its requests and
// Tarnwick lists the same videos from it alone.
TEST(CaptureSecrets, WrittenCaptureIsReadAgainWithoutKeyLog) {
    testing::TempDir dir;
    const std::string otherConnections = ReadFile(kTls + "tls12-ecdhe-aes128gcm.keylog");
    const std::pair<std::string, std::string> cases[] = {{kTls + "tls13-aes128gcm", "http"},
                                                         {kTls + "tls12-ecdhe-chacha20", "http"},
                                                         {std::string(TARNWICK_TEST_DATA) + "/http2/h2-tls", "http2"}};
    for (const auto& [base, protocol] : cases) {
        if (!std::filesystem::exists(base + ".pcap")) {
            ADD_FAILURE() << base << ".pcap is missing";
            continue;
        }
        const std::string name = std::filesystem::path(base).filename().string() + ".pcap";
        const std::string keyLog = dir.Write("keys.log", ReadFile(base + ".keylog") + otherConnections);
        const std::string written = dir / ("written/" + name);
        std::filesystem::create_directories(dir / "written");
        ChildProcess replay({TARNWICK_BINARY, "--headless", "--json", "--read", base + ".pcap", "--keylog", keyLog,
                             "--write", written});
        EXPECT_EQ(replay.Finish(), 0) << replay.Stderr();
        const std::string expected = ReadFile(base + ".expected.jsonl");
        EXPECT_EQ(replay.Stdout(), expected) << replay.Stderr();
        struct stat status {};
        ASSERT_EQ(stat(written.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u);

        const SecretsCollector carried = SecretsOf(written);
        EXPECT_GT(carried.packets, 0u);
        ASSERT_FALSE(carried.text.empty()) << name;
        for (size_t at = 0; at < carried.text.size();) {
            const size_t end = carried.text.find('\n', at);
            const std::string line = carried.text.substr(at, end - at + 1);
            EXPECT_NE(ReadFile(base + ".keylog").find(line), std::string::npos) << "not this capture's: " << line;
            at = end + 1;
        }

        ChildProcess again({TARNWICK_BINARY, "--headless", "--json", "--read", written});
        EXPECT_EQ(again.Finish(), 0) << again.Stderr();
        EXPECT_EQ(again.Stdout(), expected) << again.Stderr();
        const std::string secret = carried.text.substr(carried.text.rfind(' ') + 1, 64);
        for (const auto* child : {&replay, &again})
            EXPECT_EQ((child->Stdout() + child->Stderr()).find(secret), std::string::npos);

        if (!Installed("/usr/bin/tshark")) continue;
        const std::string field = protocol == "http" ? "http.request.uri" : "http2.headers.path";
        ChildProcess tshark({"/usr/bin/tshark", "-n", "-r", written, "-Y", field, "-T", "fields", "-e", field});
        EXPECT_EQ(tshark.Finish(), 0) << tshark.Stderr();
        for (const char* video : {".mp4", ".bin", ".webm"}) {
            if (expected.find(video) == std::string::npos) continue;
            EXPECT_NE(tshark.Stdout().find(video), std::string::npos) << name << ": tshark read\n" << tshark.Stdout();
        }
    }

    // Without a key log nothing is decrypted, and no secrets are written.
    const std::string sealed = dir / "sealed.pcapng";
    ChildProcess replay(
        {TARNWICK_BINARY, "--headless", "--json", "--read", kTls + "tls13-aes128gcm.pcap", "--write", sealed});
    EXPECT_EQ(replay.Finish(), 0) << replay.Stderr();
    EXPECT_EQ(SecretsOf(sealed).text, "");
    EXPECT_GT(SecretsOf(sealed).packets, 0u);
}

}  // namespace
}  // namespace tarnwick
