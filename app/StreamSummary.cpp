// The lines a headless run ends with when it read TLS: what each stage saw, dropped and cut.
#include "app/StreamSummary.h"

#include <cstdint>
#include <initializer_list>
#include <utility>

namespace tarnwick {

namespace {

// "label 3, label 0, ..." (the name first, so no plural is needed)
std::string Figures(std::initializer_list<std::pair<const char*, uint64_t>> figures) {
    std::string text;
    for (const auto& [label, value] : figures) text += (text.empty() ? "" : ", ") + std::string(label) + " " + std::to_string(value);
    return text;
}

}  // namespace

std::string StreamSummaryLine(const std::string& name, const StreamTotals& totals) {
    const TlsStatistics& tls = totals.tls;
    const ReassemblyStatistics& tcp = totals.reassembly;
    const Http1Statistics& http = totals.http1;
    return name + ": TLS " +
           Figures({{"connections", tls.connections},
                    {"decrypted", tls.decrypted},
                    {"plaintext bytes", tls.bytesDecrypted},
                    {"without logged secrets", tls.missingKeys},
                    {"failed authentication", tls.authenticationFailures},
                    {"malformed", tls.malformed},
                    {"other versions or suites", tls.unsupported},
                    {"of protocols not read", tls.unread}}) +
           "; reassembly " +
           Figures({{"segments", tcp.segments},
                    {"out of order", tcp.outOfOrderSegments},
                    {"repeated", tcp.duplicateSegments},
                    {"gaps", tcp.gaps},
                    {"cut at the connection bound", tcp.cuts},
                    {"evicted", tcp.evictions},
                    {"idle", tcp.idleTimeouts}}) +
           "; HTTP/1 " +
           Figures({{"requests", http.requests},
                    {"responses", http.responses},
                    {"videos", http.videos},
                    {"given up", http.malformed}});
}

std::string KeyLogSummaryLine(const std::string& path, const KeyLogStatistics& statistics) {
    return "key log " + path + ": " +
           Figures({{"lines", statistics.lines},
                    {"malformed", statistics.malformedLines},
                    {"connections known", statistics.clientRandoms},
                    {"forgotten", statistics.dropped}});
}

}  // namespace tarnwick
