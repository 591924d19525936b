// SPDX-License-Identifier: GPL-3.0-or-later
// The kernel filter of a live capture: TCP and UDP (QUIC), untagged or behind VLAN tags.
#include "capture/source/TcpFilter.h"

namespace tarnwick {

// Each "vlan" in a libpcap filter moves the tests after it past one tag, so every level of nesting
// reaches one tag deeper. Link types without tags (and libpcap versions that refuse the depth) get
// fewer levels, down to plain "tcp or udp".
bool CompileTcpFilter(pcap_t* handle, bpf_program& program, std::string* error) {
    std::string firstError;
    for (int depth = kMaxFilteredTags; depth >= 0; --depth) {
        std::string text = "tcp or udp";
        for (int level = 0; level < depth; ++level) text = "tcp or udp or (vlan and (" + text + "))";
        if (pcap_compile(handle, &program, text.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0) return true;
        if (firstError.empty()) firstError = pcap_geterr(handle);
    }
    if (error) *error = "cannot compile the capture filter: " + firstError;
    return false;
}

bool InstallTcpFilter(pcap_t* handle, std::string* error) {
    bpf_program program{};
    if (!CompileTcpFilter(handle, program, error)) return false;
    const bool installed = pcap_setfilter(handle, &program) == 0;
    if (!installed && error) *error = std::string("cannot install the capture filter: ") + pcap_geterr(handle);
    pcap_freecode(&program);
    return installed;
}

}  // namespace tarnwick
