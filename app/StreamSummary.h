// The lines a headless run ends with when it read TLS: what each stage saw, dropped and cut.
#pragma once

#include <string>

#include "capture/CaptureSession.h"
#include "capture/tls/TlsKeyLog.h"

namespace tarnwick {

// "lo: TLS connections 3, decrypted 3, plaintext bytes 301234, without logged secrets 0, ..."
std::string StreamSummaryLine(const std::string& name, const StreamTotals& totals);
// "key log /path: lines 12, malformed 0, ..."; never any of its contents.
std::string KeyLogSummaryLine(const std::string& path, const KeyLogStatistics& statistics);

}  // namespace tarnwick
