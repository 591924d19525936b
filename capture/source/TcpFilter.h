// SPDX-License-Identifier: GPL-3.0-or-later
// The kernel filter of a live capture: TCP and UDP (QUIC), untagged or behind VLAN tags.
#pragma once

#include <pcap/pcap.h>

#include <string>

namespace tarnwick {

// VLAN tags nested this deep are still matched: beyond any real network (802.1ad stacks two), at
// under 200 filter instructions.
inline constexpr int kMaxFilteredTags = 8;

// Compiles the filter for the handle's link type into program (free it with pcap_freecode); false, and
// error set, when not even plain "tcp or udp" compiles.
bool CompileTcpFilter(pcap_t* handle, bpf_program& program, std::string* error);

// Compiles and installs it; false, and error set, when that fails.
bool InstallTcpFilter(pcap_t* handle, std::string* error);

}  // namespace tarnwick
