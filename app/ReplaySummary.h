// SPDX-License-Identifier: GPL-3.0-or-later
// The line a headless replay ends with: what it read and saw, and why nothing was listed when nothing was.
#pragma once

#include <cstdint>
#include <string>

#include "capture/session/PipelineTotals.h"
#include "capture/source/OwnAddresses.h"

namespace tarnwick {

// name: the capture's name; ownAddresses: meaningful when totals.ownAddressKnown; listed: videos printed;
// readsTls: a key log was given.
std::string ReplaySummaryLine(const std::string& name, const PipelineTotals& totals, const OwnAddresses& ownAddresses,
                              uint64_t listed, bool readsTls);

}  // namespace tarnwick
