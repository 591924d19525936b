// SPDX-License-Identifier: GPL-3.0-or-later
// The line a headless replay ends with: what it read and saw, and why nothing was listed when nothing was.
#include "app/ReplaySummary.h"

#include "sniffer/SniffedVideoList.h"

namespace tarnwick {

namespace {

std::string Counted(uint64_t count, const std::string& one, const std::string& many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Names(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

std::string WhyNothingWasListed(const PipelineTotals& totals, const OwnAddresses& ownAddresses, bool readsTls) {
    const DetectionCounts& seen = totals.detections;
    if (totals.packets == 0) return "the capture holds no packets";
    if (seen.requests == 0 && seen.otherRequests == 0) {
        if (totals.tlsWithoutKeyLog > 0 && !readsTls) {
            std::string names = Names(totals.tlsServerNames);
            return "its " + Counted(totals.tlsWithoutKeyLog, "HTTPS connection", "HTTPS connections") +
                   (names.empty() ? "" : " (" + names + ")") +
                   " cannot be read without the browser's TLS key log (give it with --keylog)";
        }
        if (readsTls && totals.tls.connections > 0 && totals.tls.decrypted == 0)
            return "no HTTPS connection could be decrypted with the key log (see the TLS figures)";
        return "no HTTP request (GET) was seen";
    }
    const std::string own = ownAddresses.ToString(", ");
    const std::string theOwn = ownAddresses.All().size() == 1 ? "the own address " : "the own addresses ";
    if (seen.requests == 0) {
        const std::string other = seen.firstOtherSender.ToString();
        if (ownAddresses.Empty()) return "no HTTP request (GET) was sent from this host; requests came from " + other;
        return "no HTTP request (GET) was sent from " + theOwn + own + "; requests came from " + other +
               " (try --own-address " + other + ")";
    }
    if (seen.videoAnswers == 0 && seen.streamSegments != 0)
        return "the streams' segments came to less than " + std::to_string(SniffedVideoList::kMinimumSize) + " bytes";
    if (seen.videoAnswers == 0) return "no answer carried a video";
    return "every video was smaller than " + std::to_string(SniffedVideoList::kMinimumSize) +
           " bytes or the same as one listed before";
}

}  // namespace

std::string ReplaySummaryLine(const std::string& name, const PipelineTotals& totals, const OwnAddresses& ownAddresses,
                              uint64_t listed, bool readsTls) {
    const DetectionCounts& seen = totals.detections;
    std::string line = name + ": " + Counted(totals.packets, "packet", "packets") + " read, " +
                       Counted(seen.requests, "request", "requests");
    if (totals.ownAddressKnown && !ownAddresses.Empty()) line += " from " + ownAddresses.ToString(" and ");
    if (seen.otherRequests != 0)
        line += " (" + Counted(seen.otherRequests, "request", "requests") + " from other hosts)";
    line += ", " + Counted(seen.videoAnswers, "video answer", "video answers");
    // Segments are no videos of their own: without them, a listed stream would seem to come from nowhere.
    if (seen.streamSegments != 0) line += ", " + Counted(seen.streamSegments, "stream segment", "stream segments");
    line += ", " + Counted(listed, "video", "videos") + " listed";
    if (listed == 0) line += "; nothing listed: " + WhyNothingWasListed(totals, ownAddresses, readsTls);
    return line;
}

}  // namespace tarnwick
