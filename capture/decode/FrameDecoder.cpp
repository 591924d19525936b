// SPDX-License-Identifier: GPL-3.0-or-later
// Finds the IP header behind the link layer of a captured frame and the TCP segment inside it.
#include "capture/decode/FrameDecoder.h"

#include <pcap/pcap.h>

namespace tarnwick {

namespace {

struct ReadableLink {
    int linkType;
    FrameDecoder::Link link;
};

// DLT_ values as libpcap reports them for live adapters and files (it maps a file's LINKTYPE_ values
// onto these, e.g. LINKTYPE_RAW 101 onto DLT_RAW).
constexpr ReadableLink kReadable[] = {
    {DLT_EN10MB, FrameDecoder::Link::Ethernet},
    {DLT_LINUX_SLL, FrameDecoder::Link::LinuxCooked},
    {DLT_LINUX_SLL2, FrameDecoder::Link::LinuxCooked2},
    {DLT_RAW, FrameDecoder::Link::RawIp},
    {DLT_IPV4, FrameDecoder::Link::Ipv4Only},
    {DLT_IPV6, FrameDecoder::Link::Ipv6Only},
    {DLT_NULL, FrameDecoder::Link::BsdNull},
    {DLT_LOOP, FrameDecoder::Link::BsdLoop},
};

}  // namespace

std::optional<FrameDecoder> FrameDecoder::ForLinkType(int linkType) {
    for (const auto& readable : kReadable)
        if (readable.linkType == linkType) return FrameDecoder(readable.link, linkType);
    return std::nullopt;
}

std::string FrameDecoder::DescribeLinkType(int linkType) {
    const char* name = pcap_datalink_val_to_name(linkType);
    const char* description = pcap_datalink_val_to_description(linkType);
    std::string text = name ? name : "link type " + std::to_string(linkType);
    if (description) text += std::string(" (") + description + ")";
    return text;
}

std::string FrameDecoder::ReadableLinkTypes() {
    std::string names;
    for (const auto& readable : kReadable) {
        const char* name = pcap_datalink_val_to_name(readable.linkType);
        names += (names.empty() ? "" : ", ") + std::string(name ? name : std::to_string(readable.linkType));
    }
    return names;
}

}  // namespace tarnwick
