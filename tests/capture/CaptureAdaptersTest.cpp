// SPDX-License-Identifier: GPL-3.0-or-later
// The usable-adapter rule on hand-made enumerations.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <deque>

#include "capture/source/CaptureAdapters.h"

namespace tarnwick {
namespace {

// Owns the records of one hand-made enumeration.
class Enumeration {
public:
    // Adds an adapter with the given address entries; an entry of family 0 gets no socket address. An
    // entry of another family than AF_INET6 keeps the IPv4 bytes where an IPv4 socket address would.
    void Adapter(const char* name, bpf_u_int32 flags, std::vector<std::pair<int, IpAddress>> entries) {
        pcap_if_t& adapter = adapters_.emplace_back();
        adapter.name = const_cast<char*>(name);
        adapter.flags = flags;
        pcap_addr_t* previous = nullptr;
        for (const auto& [family, bytes] : entries) {
            pcap_addr_t& entry = addresses_.emplace_back();
            if (family != 0) {
                sockaddr_storage& storage = sockets_.emplace_back();
                auto* raw = reinterpret_cast<uint8_t*>(&storage);
                reinterpret_cast<sockaddr*>(raw)->sa_family = static_cast<sa_family_t>(family);
                if (family == AF_INET6)
                    std::memcpy(&reinterpret_cast<sockaddr_in6*>(raw)->sin6_addr, bytes.Bytes().data(), 16);
                else
                    std::memcpy(raw + 4, bytes.Ipv4Bytes(), 4);
                entry.addr = reinterpret_cast<sockaddr*>(raw);
            }
            if (previous)
                previous->next = &entry;
            else
                adapter.addresses = &entry;
            previous = &entry;
        }
        if (adapters_.size() > 1) adapters_[adapters_.size() - 2].next = &adapter;
    }
    const pcap_if_t* First() const { return adapters_.empty() ? nullptr : &adapters_.front(); }

private:
    std::deque<pcap_if_t> adapters_;
    std::deque<pcap_addr_t> addresses_;
    std::deque<sockaddr_storage> sockets_;
};

std::vector<std::string> Names(const std::vector<CaptureAdapter>& adapters) {
    std::vector<std::string> names;
    for (const auto& adapter : adapters) names.push_back(adapter.name);
    return names;
}

TEST(CaptureAdapters, ExcludedFirstOctetsAndMissingAddressesAreNotListed) {
    Enumeration list;
    list.Adapter("linklocal", 6, {{AF_INET, {169, 254, 1, 2}}});
    list.Adapter("169", 6, {{AF_INET, {169, 1, 2, 3}}});
    list.Adapter("254", 6, {{AF_INET, {254, 0, 0, 1}}});
    list.Adapter("zero", 6, {{AF_INET, {0, 0, 0, 0}}});
    list.Adapter("broadcast", 6, {{AF_INET, {255, 1, 1, 1}}});
    list.Adapter("none", 6, {});
    list.Adapter("nosockaddr", 6, {{0, {}}});
    list.Adapter("good", 6, {{AF_INET, {10, 1, 2, 3}}});
    EXPECT_EQ(Names(UsableAdaptersOf(list.First())), std::vector<std::string>{"good"});
}

TEST(CaptureAdapters, LoopbackFlagAloneIsExcludedButNotWithOtherBits) {
    Enumeration list;
    list.Adapter("loonly", PCAP_IF_LOOPBACK, {{AF_INET, {127, 0, 0, 1}}});
    list.Adapter("lo", PCAP_IF_LOOPBACK | PCAP_IF_UP | PCAP_IF_RUNNING, {{AF_INET, {127, 0, 0, 1}}});
    EXPECT_EQ(Names(UsableAdaptersOf(list.First())), std::vector<std::string>{"lo"});
}

IpAddress V6(const char* text) {
    return *IpAddress::Parse(text);
}

TEST(CaptureAdapters, EveryPassingAddressOfBothFamiliesIsOwn) {
    Enumeration list;
    // Link-layer entries keep the interface index where IPv4 keeps its address: never read. Link-local,
    // loopback and multicast IPv6 addresses say nothing about this host.
    list.Adapter("eth0", 6,
                 {{AF_PACKET, {4, 0, 0, 0}},
                  {AF_INET6, V6("fe80::1")},
                  {AF_INET, {169, 254, 3, 4}},
                  {AF_INET, {192, 168, 1, 5}},
                  {AF_INET6, V6("2001:db8::5")},
                  {AF_INET6, V6("fd12::7")},
                  {AF_INET6, V6("::1")},
                  {AF_INET6, V6("ff02::1")},
                  {AF_INET, {10, 0, 0, 9}}});
    list.Adapter("packetonly", 6, {{AF_PACKET, {4, 0, 0, 0}}});
    list.Adapter("linklocal6", 6, {{AF_INET6, V6("fe80::2")}});
    list.Adapter("v6only", 6, {{AF_INET6, V6("2a00:1450::9")}});
    const auto adapters = UsableAdaptersOf(list.First());
    ASSERT_EQ(Names(adapters), (std::vector<std::string>{"eth0", "v6only"}));
    EXPECT_EQ(adapters[0].ownAddresses.ToString(), "192.168.1.5 2001:db8::5 fd12::7 10.0.0.9");
    EXPECT_EQ(adapters[1].ownAddresses.ToString(), "2a00:1450::9");
}

}  // namespace
}  // namespace tarnwick
