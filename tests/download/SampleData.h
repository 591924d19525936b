// SPDX-License-Identifier: GPL-3.0-or-later
// Deterministic test bodies and free loopback ports.
#pragma once

#include <cstddef>
#include <string>

namespace tarnwick::test {

// Deterministic bytes for a body of the given size.
std::string SampleBody(size_t size);

// A loopback port with nothing listening on it.
int UnusedPort();

}  // namespace tarnwick::test
