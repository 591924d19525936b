// The line a headless replay ends with: what it read and saw, and why nothing was listed when nothing was.
#pragma once

#include <cstdint>
#include <string>

#include "capture/CaptureSession.h"

namespace tarnwick {

// name: the capture's name; ownAddresses: meaningful when totals.ownAddressKnown; listed: videos printed.
std::string ReplaySummaryLine(const std::string& name, const ReplayTotals& totals, const OwnAddresses& ownAddresses,
                              uint64_t listed);

}  // namespace tarnwick
