// SPDX-License-Identifier: GPL-3.0-or-later
// The kernel filter, run by libpcap in user space on tagged and untagged frames.
#include <gtest/gtest.h>

#include "capture/source/TcpFilter.h"
#include "tests/capture/FrameBuilder.h"

namespace tarnwick {
namespace {

using testing::BuildIpPacket;
using testing::Endpoint;
using testing::WithEthernet;

bool Passes(pcap_t* handle, const std::vector<uint8_t>& frame) {
    bpf_program program{};
    std::string error;
    EXPECT_TRUE(CompileTcpFilter(handle, program, &error)) << error;
    pcap_pkthdr header{};
    header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
    const bool passes = pcap_offline_filter(&program, &header, frame.data()) != 0;
    pcap_freecode(&program);
    return passes;
}

TEST(TcpFilter, TcpAndUdpPassBehindEveryTagDepthUpToTheLimit) {
    pcap_t* ethernet = pcap_open_dead(DLT_EN10MB, 65535);
    const auto v4 = BuildIpPacket({{10, 0, 0, 1}, 1000}, {{10, 0, 0, 2}, 80}, "GET ");
    const auto v6 = BuildIpPacket({*IpAddress::Parse("fd00::1"), 1000}, {*IpAddress::Parse("fd00::2"), 80}, "GET ");
    auto udp = v4;
    udp[9] = 17;
    auto icmp = v4;
    icmp[9] = 1;
    std::vector<uint16_t> tags;
    for (int depth = 0; depth <= kMaxFilteredTags; ++depth) {
        EXPECT_TRUE(Passes(ethernet, WithEthernet(v4, tags))) << depth;
        EXPECT_TRUE(Passes(ethernet, WithEthernet(v6, tags))) << depth;
        EXPECT_TRUE(Passes(ethernet, WithEthernet(udp, tags))) << depth;
        EXPECT_FALSE(Passes(ethernet, WithEthernet(icmp, tags))) << depth;
        tags.insert(tags.begin(), depth % 2 ? 0x88A8 : 0x8100);
    }
    EXPECT_FALSE(Passes(ethernet, WithEthernet(v4, tags)));
    pcap_close(ethernet);

    // Links without tags get plain "tcp or udp".
    pcap_t* cooked = pcap_open_dead(DLT_LINUX_SLL2, 65535);
    std::vector<uint8_t> frame(20, 0);
    frame[0] = 0x08;
    frame.insert(frame.end(), v4.begin(), v4.end());
    EXPECT_TRUE(Passes(cooked, frame));
    pcap_close(cooked);
}

}  // namespace
}  // namespace tarnwick
