// SPDX-License-Identifier: GPL-3.0-or-later
// The browser's fields that downloads send again: which are taken, where they go, and which are refused.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "download/CapturedRequestHeaders.h"

namespace tarnwick {
namespace {

using Field = CapturedRequestHeaders::Field;

using Pairs_t = std::vector<std::pair<std::string, std::string>>;

Pairs_t Pairs(const std::vector<Field>& fields) {
    Pairs_t pairs;
    for (const Field& field : fields) pairs.emplace_back(field.name, field.value);
    return pairs;
}

TEST(CapturedRequestHeaders, TakesTheBrowsersFieldsAndGivesCredentialsOnlyToTheirOwnHost) {
    const auto headers = CapturedRequestHeaders::Parse(
        "GET /v/clip.mp4?token=1 HTTP/1.1\r\nHOST: Video.Example:8080\r\nuser-agent:  Firefox/128.0 \r\n"
        "Cookie: a=1\r\nRange: bytes=0-99\r\nReferer: https://page.example/watch\r\nConnection: keep-alive\r\n"
        "cookie: b=2\r\nOrigin: https://page.example\r\nAuthorization: Bearer t0ken\r\nTE: trailers\r\n\r\n"
        "Cookie: after=the-head\r\n");
    EXPECT_EQ(headers.Host(), "video.example");
    EXPECT_EQ(Pairs(headers.For("video.example:8080")), (Pairs_t{{"User-Agent", "Firefox/128.0"},
                                                                 {"Referer", "https://page.example/watch"},
                                                                 {"Origin", "https://page.example"},
                                                                 {"Cookie", "a=1; b=2"},
                                                                 {"Authorization", "Bearer t0ken"}}));
    EXPECT_EQ(Pairs(headers.For("VIDEO.example")), Pairs(headers.For("video.example:8080")));
    // A segment server elsewhere gets the page's address and the agent, as from the browser, but no secret.
    EXPECT_EQ(Pairs(headers.For("cdn.example")), (Pairs_t{{"User-Agent", "Firefox/128.0"},
                                                          {"Referer", "https://page.example/watch"},
                                                          {"Origin", "https://page.example"}}));
    // Addresses compare without brackets and port.
    EXPECT_EQ(CapturedRequestHeaders::Parse("GET / HTTP/1.1\r\nHost: [2001:DB8::5]:81\r\nCookie: c=3\r\n\r\n")
                  .For("2001:db8::5")
                  .size(),
              1u);
    EXPECT_TRUE(CapturedRequestHeaders::Parse("").Empty());
    EXPECT_TRUE(CapturedRequestHeaders::Parse("GET / HTTP/1.1\r\nHost: h\r\nRange: bytes=1-\r\n\r\n").Empty());
}

TEST(CapturedRequestHeaders, ValuesThatCouldEndOrSmuggleAFieldAreRefused) {
    using namespace std::string_literals;
    const auto headers = CapturedRequestHeaders::Parse(
        "GET / HTTP/1.1\r\nHost: h\r\nReferer: http://a/\rX-Injected: 1\r\nUser-Agent: A\0B\r\n"s +
        "Origin: http://o\x7f\r\nAuthorization: " + std::string(CapturedRequestHeaders::kMaxValueBytes + 1, 'x') +
        "\r\n Folded: line\r\n\r\n");
    EXPECT_TRUE(headers.Empty());
    // One bad cookie spoils them all: a part of the browser's cookies could be worse than none.
    const auto cookies = CapturedRequestHeaders::Parse(
        "GET / HTTP/1.1\r\nHost: h\r\nCookie: a=1\r\nCookie: b=\x01\r\n"
        "Cookie: c=3\r\nReferer: http://page/\r\n\r\n");
    EXPECT_EQ(Pairs(cookies.For("h")), (Pairs_t{{"Referer", "http://page/"}}));
}

}  // namespace
}  // namespace tarnwick
