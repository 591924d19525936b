// The lines a headless run ends with when it read TLS or clear-text HTTP/2: what each stage saw, dropped and cut.
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

std::string ReassemblyFigures(const ReassemblyStatistics& tcp) {
    return Figures({{"segments", tcp.segments},
                    {"out of order", tcp.outOfOrderSegments},
                    {"repeated", tcp.duplicateSegments},
                    {"gaps", tcp.gaps},
                    {"cut at the connection bound", tcp.cuts},
                    {"evicted", tcp.evictions},
                    {"idle", tcp.idleTimeouts}});
}

}  // namespace

std::string StreamSummaryLine(const std::string& name, const StreamTotals& totals, bool readsTls) {
    const TlsStatistics& tls = totals.tls;
    const Http1Statistics& http = totals.http1;
    const Http2Statistics& http2 = totals.http2;
    std::string line = name + ": ";
    if (readsTls)
        line += "TLS " +
                Figures({{"connections", tls.connections},
                         {"decrypted", tls.decrypted},
                         {"plaintext bytes", tls.bytesDecrypted},
                         {"without logged secrets", tls.missingKeys},
                         {"failed authentication", tls.authenticationFailures},
                         {"malformed", tls.malformed},
                         {"other versions or suites", tls.unsupported},
                         {"of protocols not read", tls.unread}}) +
                "; reassembly " + ReassemblyFigures(totals.reassembly) + "; ";
    if (totals.cleartextReassembly.connections > 0)
        line += "clear-text HTTP/2 reassembly " +
                Figures({{"connections", totals.cleartextReassembly.connections}}) + ", " +
                ReassemblyFigures(totals.cleartextReassembly) + "; ";
    return line + "HTTP/1 " +
           Figures({{"requests", http.requests},
                    {"responses", http.responses},
                    {"videos", http.videos},
                    {"given up", http.malformed}}) +
           "; HTTP/2 " +
           Figures({{"connections", http2.connections},
                    {"switched from HTTP/1.1", http2.upgrades},
                    {"requests", http2.requests},
                    {"pushed", http2.pushes},
                    {"responses", http2.responses},
                    {"videos", http2.videos},
                    {"given up malformed", http2.malformed},
                    {"given up undecodable", http2.decodingErrors},
                    {"streams refused at a bound", http2.streamsRefused},
                    {"header lists cut", http2.headerListsCut},
                    {"malformed streams", http2.malformedStreams}});
}

std::string KeyLogSummaryLine(const std::string& path, const KeyLogStatistics& statistics) {
    return "key log " + path + ": " +
           Figures({{"lines", statistics.lines},
                    {"malformed", statistics.malformedLines},
                    {"connections known", statistics.clientRandoms},
                    {"forgotten", statistics.dropped}});
}

}  // namespace tarnwick
