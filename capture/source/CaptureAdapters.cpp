// Which network adapters can be watched, and the own address of each.
#include "capture/source/CaptureAdapters.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

namespace tarnwick {

std::optional<Ipv4Address> FirstUsableAddress(const pcap_addr_t* addresses) {
    for (const pcap_addr_t* entry = addresses; entry; entry = entry->next) {
        if (!entry->addr || entry->addr->sa_family != AF_INET) continue;
        sockaddr_in ipv4{};
        std::memcpy(&ipv4, entry->addr, sizeof ipv4);
        Ipv4Address address;
        std::memcpy(address.data(), &ipv4.sin_addr, 4);
        const uint8_t first = address[0];
        if (first == 0 || first == 169 || first == 254 || first == 255) continue;
        return address;
    }
    return std::nullopt;
}

std::vector<CaptureAdapter> UsableAdaptersOf(const pcap_if_t* adapters) {
    std::vector<CaptureAdapter> usable;
    for (const pcap_if_t* adapter = adapters; adapter; adapter = adapter->next) {
        if (!adapter->addresses || !adapter->name) continue;
        // Equality, not a bit test: loopback together with other flags is still examined.
        if (adapter->flags == PCAP_IF_LOOPBACK) continue;
        if (auto address = FirstUsableAddress(adapter->addresses)) usable.push_back({adapter->name, *address});
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

std::string FormatAddress(const Ipv4Address& address) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
    return text;
}

std::optional<Ipv4Address> ParseAddress(const std::string& text) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return std::nullopt;
    Ipv4Address address;
    std::memcpy(address.data(), &parsed, 4);
    return address;
}

}  // namespace tarnwick
