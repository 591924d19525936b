// SPDX-License-Identifier: GPL-3.0-or-later
// The response reader gives the same result wherever the reads split the bytes, and refuses what it cannot frame.
#include <gtest/gtest.h>

#include <limits>

#include "download/HttpResponseReader.h"

namespace tarnwick {
namespace {

using State = HttpResponseReader::State;

struct Outcome {
    State state;
    std::string body;
    std::string error;
    int headers = 0;
};

// Feeds the response in pieces of the given sizes (the last size repeats), then ends the connection when
// the response has not completed by itself.
Outcome Read(const std::string& response, std::vector<size_t> pieces = {std::numeric_limits<size_t>::max()}) {
    Outcome outcome{};
    HttpResponseReader reader(
        [&](const HttpResponseReader&) {
            ++outcome.headers;
            return true;
        },
        [&](const char* data, size_t size) {
            outcome.body.append(data, size);
            return true;
        });
    State state = reader.CurrentState();
    for (size_t at = 0, i = 0; at < response.size() && (state == State::Header || state == State::Body); ++i) {
        size_t size = std::min(pieces[std::min(i, pieces.size() - 1)], response.size() - at);
        state = reader.Feed(response.data() + at, size);
        at += size;
    }
    if (state == State::Header || state == State::Body) state = reader.Finish();
    outcome.state = state;
    outcome.error = reader.Error();
    return outcome;
}

TEST(HttpResponseReaderTest, EverySplitGivesTheSameBody) {
    const std::string chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n"
        "a\r\n0123456789\r\n1;name=\"x\"\r\n\n\r\n0\r\nTrailer: y\r\n\r\nNEXT";
    const std::string lengthFramed = "HTTP/1.0 200 OK\nContent-Length:  12 \n\nbody\r\n\r\nbodyEXTRA";
    for (size_t first = 1; first < chunked.size(); ++first) {
        Outcome outcome = Read(chunked, {first, 3});
        ASSERT_EQ(outcome.state, State::Complete) << first << outcome.error;
        ASSERT_EQ(outcome.body, "0123456789\n") << first;
    }
    Outcome withInterim = Read("HTTP/1.1 103 Early Hints\r\nLink: x\r\n\r\n" + chunked, {7});
    EXPECT_EQ(withInterim.state, State::Complete);
    EXPECT_EQ(withInterim.headers, 1);
    for (size_t first = 1; first < lengthFramed.size(); ++first) {
        Outcome outcome = Read(lengthFramed, {first, 2});
        ASSERT_EQ(outcome.state, State::Complete) << first;
        ASSERT_EQ(outcome.body, "body\r\n\r\nbody") << first;
    }
}

TEST(HttpResponseReaderTest, WhatCannotBeFramedIsAFailureNotABody) {
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    for (const char* bad : {"5x\r\nvideo\r\n0\r\n\r\n", "\r\nvideo\r\n0\r\n\r\n", "-5\r\nvideo\r\n0\r\n\r\n",
                            "5\r\nvideoo\r\n0\r\n\r\n", "11111111111111111\r\n", "5\r\nvid"}) {
        Outcome outcome = Read(ok + "Transfer-Encoding: chunked\r\n\r\n" + bad);
        EXPECT_EQ(outcome.state, State::Failed) << bad;
        EXPECT_FALSE(outcome.error.empty()) << bad;
    }
    EXPECT_EQ(Read(ok + "Transfer-Encoding: gzip, chunked\r\n\r\n5\r\nvideo\r\n0\r\n\r\n").state, State::Failed);
    EXPECT_EQ(Read(ok + "Content-Length: 10\r\n\r\nshort").state, State::Failed);
    EXPECT_EQ(Read("<html>not found</html>\r\n\r\n").state, State::Failed);
    EXPECT_EQ(Read(ok + "X: " + std::string(HttpResponseReader::kMaxHeaderBytes, 'x')).state, State::Failed);
    EXPECT_EQ(Read(ok + "X: y\r\n").state, State::Failed);  // closed inside the header

    // A length beyond 64 bits is no length: the body runs to the close.
    Outcome huge = Read(ok + "Content-Length: 18446744073709551616\r\n\r\nvideo");
    EXPECT_EQ(huge.state, State::Complete);
    EXPECT_EQ(huge.body, "video");
    EXPECT_EQ(HttpResponseReader::ParseLength("18446744073709551615"), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(HttpResponseReader::ParseLength("1e3"), std::nullopt);
}

}  // namespace
}  // namespace tarnwick
