// An IPv4 address as it stands in the packet.
#pragma once

#include <array>
#include <cstdint>

namespace tarnwick {

using Ipv4Address = std::array<uint8_t, 4>;  // first octet first, as in the packet

}  // namespace tarnwick
