// SPDX-License-Identifier: GPL-3.0-or-later
// The lines a headless run ends with: what each stage of a capture saw, passed over and cut, which
// limits were reached, and what could not be read.
#include "app/StreamSummary.h"

#include <cstdint>
#include <initializer_list>
#include <utility>

namespace tarnwick {

namespace {

// "label 3, label 0, ..." (the name first, so no plural is needed)
std::string Figures(std::initializer_list<std::pair<const char*, uint64_t>> figures) {
    std::string text;
    for (const auto& [label, value] : figures)
        text += (text.empty() ? "" : ", ") + std::string(label) + " " + std::to_string(value);
    return text;
}

std::string ValueText(const LimitDescription& description, int64_t value) {
    if (description.unit == "bytes") {
        if (value % (1 << 20) == 0) return std::to_string(value >> 20) + " MiB";
        if (value % (1 << 10) == 0) return std::to_string(value >> 10) + " KiB";
        return std::to_string(value) + " bytes";
    }
    if (description.unit == "seconds") return std::to_string(value) + " s";
    return std::to_string(value);
}

}  // namespace

std::string StreamSummaryLine(const std::string& name, const PipelineTotals& totals, bool readsTls) {
    const TlsStatistics& tls = totals.tls;
    const ReassemblyStatistics& tcp = totals.reassembly;
    const Http1Statistics& http = totals.http1;
    const Http2Statistics& http2 = totals.http2;
    const QuicStatistics& quic = totals.quic;
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
                         {"of protocols not read", tls.unread},
                         {"cut at a bound", tls.cut},
                         {"broken by lost bytes", tls.lost}}) +
                "; ";
    line += "reassembly " + Figures({{"connections", tcp.connections},
                                     {"passed over", tcp.passedOver},
                                     {"segments", tcp.segments},
                                     {"bytes read", tcp.bytesDelivered},
                                     {"bytes passed over", tcp.bytesSkipped},
                                     {"out of order", tcp.outOfOrderSegments},
                                     {"repeated", tcp.duplicateSegments},
                                     {"gaps", tcp.gaps},
                                     {"cut at the connection bound", tcp.cuts},
                                     {"evicted", tcp.evictions},
                                     {"idle", tcp.idleTimeouts}});
    return line + "; HTTP/1 " +
           Figures({{"requests", http.requests},
                    {"connections", http.connections},
                    {"responses", http.responses},
                    {"without their request", http.unpaired},
                    {"places lost", http.lost},
                    {"heads cut", http.headsCut},
                    {"given up", http.givenUp}}) +
           "; HTTP/2 " +
           Figures({{"connections", http2.connections},
                    {"switched from HTTP/1.1", http2.upgrades},
                    {"requests", http2.requests},
                    {"pushed", http2.pushes},
                    {"responses", http2.responses},
                    {"given up malformed", http2.malformed},
                    {"given up undecodable", http2.decodingErrors},
                    {"given up at lost bytes", http2.lostStretches},
                    {"streams refused at a bound", http2.streamsRefused},
                    {"header lists cut", http2.headerListsCut},
                    {"malformed streams", http2.malformedStreams}}) +
           (quic.connections == 0 && quic.notFollowed == 0
                ? std::string()
                : "; QUIC " +
                      Figures({{"connections", quic.connections},
                               {"decrypted", quic.decrypted},
                               {"packets opened", quic.packetsDecrypted},
                               {"plaintext bytes", quic.bytesDecrypted},
                               {"without logged secrets", quic.missingKeys},
                               {"packets failing authentication", quic.authenticationFailures},
                               {"malformed", quic.malformed},
                               {"other suites", quic.unsupported},
                               {"not followed at a bound", quic.notFollowed},
                               {"cut at a bound", quic.cut}}) +
                      "; HTTP/3 " +
                      Figures({{"requests", quic.requests},
                               {"pushed", quic.pushes},
                               {"responses", quic.responses},
                               {"streams refused at a bound", quic.streamsRefused},
                               {"header lists cut", quic.headerListsCut},
                               {"malformed streams", quic.malformedStreams},
                               {"given up undecodable", quic.qpackErrors}})) +
           "; streams " +
           Figures({{"playlists read", totals.streams.playlistsRead},
                    {"playlists not read", totals.streams.playlistsUnread},
                    {"segments", totals.streams.segments},
                    {"evicted", totals.streams.streamsEvicted},
                    {"names dropped", totals.streams.namesDropped},
                    {"template matches cut", totals.streams.matchesCut}});
}

std::string LimitsSummaryLine(const std::string& name, const PipelineTotals& totals, const CaptureLimits& limits) {
    if (!totals.limitsReached.Any()) return {};
    std::string line;
    for (const LimitDescription& description : LimitTable()) {
        const uint64_t count = totals.limitsReached.Count(description.limit);
        if (count == 0) continue;
        line += (line.empty() ? "" : "; ") + std::string(description.key) + " (" +
                ValueText(description, limits.Get(description.limit)) + ": " + std::string(description.meaning) + ") " +
                std::to_string(count) + (count == 1 ? " time" : " times");
    }
    return name + ": limits reached: " + line + " (each can be raised in the [Limits] section of Tarnwick.ini)";
}

std::string UnreadTlsSummaryLine(const std::string& name, const PipelineTotals& totals, bool readsTls) {
    const uint64_t unread = totals.tlsWithoutKeyLog - std::min(totals.tlsWithoutKeyLog, totals.tls.notFollowed);
    if (unread == 0 || readsTls) return {};
    std::string names;
    for (const std::string& server : totals.tlsServerNames) names += (names.empty() ? "" : ", ") + server;
    return name + ": " + std::to_string(unread) + (unread == 1 ? " HTTPS connection" : " HTTPS connections") +
           (names.empty() ? "" : " (" + names + (unread > totals.tlsServerNames.size() ? ", ..." : "") + ")") +
           " not read: videos inside HTTPS need the browser's TLS key log (--keylog FILE, or KeyLogFile in "
           "Tarnwick.ini; see the README)";
}

std::string KeyLogSummaryLine(const std::string& path, const KeyLogStatistics& statistics) {
    return "key log " + path + ": " +
           Figures({{"lines", statistics.lines},
                    {"malformed", statistics.malformedLines},
                    {"connections known", statistics.clientRandoms},
                    {"forgotten", statistics.dropped}});
}

}  // namespace tarnwick
