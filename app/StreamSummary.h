// The lines a headless run ends with when it read TLS or clear-text HTTP/2: what each stage saw, dropped and cut.
#pragma once

#include <string>

#include "capture/CaptureSession.h"
#include "capture/tls/TlsKeyLog.h"

namespace tarnwick {

// "lo: TLS connections 3, decrypted 3, plaintext bytes 301234, without logged secrets 0, ...; HTTP/2 ...";
// the TLS figures only when readsTls, the clear-text ones only when such connections were followed.
std::string StreamSummaryLine(const std::string& name, const StreamTotals& totals, bool readsTls);
// "key log /path: lines 12, malformed 0, ..."; never any of its contents.
std::string KeyLogSummaryLine(const std::string& path, const KeyLogStatistics& statistics);

}  // namespace tarnwick
