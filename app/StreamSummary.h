// SPDX-License-Identifier: GPL-3.0-or-later
// The lines a headless run ends with: what each stage of a capture saw, passed over and cut, which
// limits were reached, and what could not be read.
#pragma once

#include <string>

#include "capture/limits/CaptureLimits.h"
#include "capture/session/PipelineTotals.h"
#include "capture/tls/TlsKeyLog.h"

namespace tarnwick {

// "lo: TLS connections 3, decrypted 3, ...; reassembly ...; HTTP/1 ...; HTTP/2 ..."; the TLS figures
// only when readsTls.
std::string StreamSummaryLine(const std::string& name, const PipelineTotals& totals, bool readsTls);
// "lo: limits reached: HeldBytes (32 MiB: bytes all connections hold ahead of ...) 3 times, ...; ...";
// empty when none was reached.
std::string LimitsSummaryLine(const std::string& name, const PipelineTotals& totals, const CaptureLimits& limits);
// "lo: 5 HTTPS connections (a.example, b.example) were not read: ..."; empty when there were none or
// they were over a bound (which the limits line names).
std::string UnreadTlsSummaryLine(const std::string& name, const PipelineTotals& totals, bool readsTls);
// "key log /path: lines 12, malformed 0, ..."; never any of its contents.
std::string KeyLogSummaryLine(const std::string& path, const KeyLogStatistics& statistics);

}  // namespace tarnwick
