// SPDX-License-Identifier: GPL-3.0-or-later
// Command-line parsing: usage errors are caught before anything starts.
#include <gtest/gtest.h>

#include "config/CommandLine.h"

namespace tarnwick {
namespace {

CommandLine Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "tarnwick");
    return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, ReadsHeadlessOptions) {
    auto cl = Parse({"--headless", "--json", "--interface", "lo", "--interface", "eth0", "--buffer-size", "64"});
    EXPECT_TRUE(cl.error.empty());
    EXPECT_EQ(cl.bufferMiB, 64);
    EXPECT_TRUE(cl.headless);
    EXPECT_TRUE(cl.json);
    EXPECT_EQ(cl.interfaces, (std::vector<std::string>{"lo", "eth0"}));
}

TEST(CommandLine, RejectsMisuse) {
    EXPECT_FALSE(Parse({"--bogus"}).error.empty());
    EXPECT_FALSE(Parse({"--read"}).error.empty());
    EXPECT_FALSE(Parse({"--json"}).error.empty());
    // Details are printed only without a window; the window shows them in its tool tips.
    EXPECT_FALSE(Parse({"--details"}).error.empty());
    EXPECT_FALSE(Parse({"--details-dir", "/tmp"}).error.empty());
    EXPECT_FALSE(Parse({"--headless", "--details-dir"}).error.empty());
    const auto details = Parse({"--headless", "--details", "--details-dir", "/tmp/p"});
    EXPECT_TRUE(details.error.empty());
    EXPECT_TRUE(details.details);
    EXPECT_EQ(details.detailsDir, "/tmp/p");
    EXPECT_FALSE(Parse({"--download", "http://127.0.0.1/"}).error.empty());
    EXPECT_FALSE(Parse({"--headless", "--own-address", "300.1.1.1"}).error.empty());
    EXPECT_FALSE(Parse({"--headless", "--read", "a.pcap", "--interface", "lo"}).error.empty());
    for (const char* size : {"0", "-1", "12x", "4097", "99999999999"})
        EXPECT_FALSE(Parse({"--headless", "--buffer-size", size}).error.empty()) << size;
    EXPECT_FALSE(Parse({"--headless", "--read", "-", "--buffer-size", "8"}).error.empty());
    EXPECT_FALSE(
        Parse({"--read", "a.pcap", "--own-address", "10.0.0.1", "--own-address", "2001:db8::x"}).error.empty());
    const auto both = Parse({"--read", "a.pcap", "--own-address", "10.0.0.1", "--own-address", "2001:db8::5"});
    EXPECT_TRUE(both.error.empty());
    EXPECT_EQ(both.ownAddresses, (std::vector<std::string>{"10.0.0.1", "2001:db8::5"}));
}

// The browser's name is optional: an option after --browser is not taken for it.
TEST(CommandLine, BrowserNameIsOptional) {
    const auto named = Parse({"--browser", "firefox", "--headless"});
    EXPECT_TRUE(named.error.empty());
    EXPECT_TRUE(named.browser);
    EXPECT_EQ(named.browserName, "firefox");
    EXPECT_TRUE(named.headless);
    const auto unnamed = Parse({"--browser", "--headless"});
    EXPECT_TRUE(unnamed.error.empty());
    EXPECT_TRUE(unnamed.browser && unnamed.headless);
    EXPECT_EQ(unnamed.browserName, "");
    EXPECT_TRUE(Parse({"--headless", "--browser"}).browser);
    EXPECT_FALSE(Parse({"--headless", "--read", "a.pcap", "--browser"}).error.empty());
    EXPECT_FALSE(Parse({"--write", "out.pcapng"}).error.empty());
}

}  // namespace
}  // namespace tarnwick
