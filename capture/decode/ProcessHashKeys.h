// SPDX-License-Identifier: GPL-3.0-or-later
// Random keys for the hash tables whose keys the traffic chooses (connection ends), drawn once per
// process, so that no two runs place the same connections together.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <random>

namespace tarnwick {

template <size_t Count>
std::array<uint64_t, Count> ProcessHashKeys() {
    static const std::array<uint64_t, Count> keys = [] {
        std::array<uint64_t, Count> drawn{};
        try {
            std::random_device device;
            for (auto& key : drawn) key = static_cast<uint64_t>(device()) << 32 | device();
        } catch (const std::exception&) {
            // No entropy source at all: the clock and an address still differ from run to run.
            std::seed_seq seed{static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
                               static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&drawn))};
            std::mt19937_64 generator(seed);
            for (auto& key : drawn) key = generator();
        }
        return drawn;
    }();
    return keys;
}

}  // namespace tarnwick
