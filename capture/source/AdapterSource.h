// SPDX-License-Identifier: GPL-3.0-or-later
// Opens a live adapter: captured by this process when it may, else through the capture helper.
#pragma once

#include <memory>
#include <string>

#include "capture/source/PacketSource.h"

namespace tarnwick {

// Nothing, with *error set to a sentence the user can act on, when neither way works.
std::unique_ptr<PacketSource> OpenAdapterSource(const std::string& name, int bufferMiB, std::string* error);

}  // namespace tarnwick
