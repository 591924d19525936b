// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the first bytes of a body, judged for a video container.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "capture/judge/VideoSignature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's bytes, so a read past them is caught by the sanitizers.
    const std::vector<uint8_t> body(data, data + size);
    const auto type = tarnwick::VideoSignature::TypeOf(std::span<const uint8_t>(body.data(), body.size()));
    volatile size_t sink = type.size();
    (void)sink;
    return 0;
}
