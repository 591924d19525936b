// SPDX-License-Identifier: GPL-3.0-or-later
// Which network adapters can be watched, and the own addresses of each.
#include "capture/source/CaptureAdapters.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace tarnwick {

bool IsUsableOwnAddress(const IpAddress& address) {
    if (address.IsIpv4()) {
        const uint8_t first = address.Ipv4Bytes()[0];
        return first != 0 && first != 169 && first != 254 && first != 255;
    }
    const uint8_t first = address.Bytes()[0];
    return (first & 0xE0) == 0x20 || (first & 0xFE) == 0xFC;
}

OwnAddresses UsableAddressesOf(const pcap_addr_t* addresses) {
    OwnAddresses usable;
    for (const pcap_addr_t* entry = addresses; entry; entry = entry->next) {
        if (!entry->addr) continue;
        IpAddress address;
        if (entry->addr->sa_family == AF_INET) {
            sockaddr_in ipv4{};
            std::memcpy(&ipv4, entry->addr, sizeof ipv4);
            address = IpAddress::FromIpv4Bytes(reinterpret_cast<const uint8_t*>(&ipv4.sin_addr));
        } else if (entry->addr->sa_family == AF_INET6) {
            sockaddr_in6 ipv6{};
            std::memcpy(&ipv6, entry->addr, sizeof ipv6);
            address = IpAddress::FromIpv6Bytes(reinterpret_cast<const uint8_t*>(&ipv6.sin6_addr));
        } else {
            continue;
        }
        if (IsUsableOwnAddress(address)) usable.Add(address);
    }
    return usable;
}

std::vector<CaptureAdapter> UsableAdaptersOf(const pcap_if_t* adapters) {
    std::vector<CaptureAdapter> usable;
    for (const pcap_if_t* adapter = adapters; adapter; adapter = adapter->next) {
        if (!adapter->addresses || !adapter->name) continue;
        // Equality, not a bit test: loopback together with other flags is still examined.
        if (adapter->flags == PCAP_IF_LOOPBACK) continue;
        OwnAddresses addresses = UsableAddressesOf(adapter->addresses);
        if (!addresses.Empty()) usable.push_back({adapter->name, std::move(addresses)});
    }
    return usable;
}

std::vector<CaptureAdapter> ListUsableAdapters(std::string* error) {
    char errorText[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* adapters = nullptr;
    if (pcap_findalldevs(&adapters, errorText) != 0) {
        if (error) *error = std::string("cannot list the network adapters: ") + errorText;
        return {};
    }
    std::vector<CaptureAdapter> usable = UsableAdaptersOf(adapters);
    pcap_freealldevs(adapters);
    return usable;
}

std::vector<std::string> ListCaptureAdapters() {
    std::vector<std::string> names;
    for (auto& adapter : ListUsableAdapters(nullptr)) names.push_back(std::move(adapter.name));
    return names;
}

OwnAddresses OwnAddressesOfAdapter(const std::string& name) {
    char errorText[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* adapters = nullptr;
    if (pcap_findalldevs(&adapters, errorText) != 0) return {};
    OwnAddresses addresses;
    for (const pcap_if_t* adapter = adapters; adapter; adapter = adapter->next)
        if (adapter->name && (name == kAnyAdapter || name == adapter->name))
            addresses.Add(UsableAddressesOf(adapter->addresses));
    pcap_freealldevs(adapters);
    return addresses;
}

bool IsLoopbackAdapter(const std::string& name) {
    if (name == kAnyAdapter) return false;
    char errorText[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* adapters = nullptr;
    if (pcap_findalldevs(&adapters, errorText) != 0) return false;
    bool loopback = false;
    for (const pcap_if_t* adapter = adapters; adapter; adapter = adapter->next)
        if (adapter->name && name == adapter->name) loopback = (adapter->flags & PCAP_IF_LOOPBACK) != 0;
    pcap_freealldevs(adapters);
    return loopback;
}

void PreferCookedHeaderV2(pcap_t* handle) {
    int* linkTypes = nullptr;
    const int count = pcap_list_datalinks(handle, &linkTypes);
    bool offered = false;
    for (int i = 0; i < count; ++i) offered = offered || linkTypes[i] == DLT_LINUX_SLL2;
    if (count > 0) pcap_free_datalinks(linkTypes);
    if (offered && pcap_datalink(handle) != DLT_LINUX_SLL2) pcap_set_datalink(handle, DLT_LINUX_SLL2);
}

std::optional<int> LinkTypeOfAdapter(const std::string& name) {
    char errorText[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_create(name.c_str(), errorText);
    if (!handle) return std::nullopt;
    std::optional<int> linkType;
    if (pcap_activate(handle) >= 0) {
        PreferCookedHeaderV2(handle);
        linkType = pcap_datalink(handle);
    }
    pcap_close(handle);
    return linkType;
}

}  // namespace tarnwick
