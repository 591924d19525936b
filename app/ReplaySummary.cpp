// The line a headless replay ends with: what it read and saw, and why nothing was listed when nothing was.
#include "app/ReplaySummary.h"

#include "sniffer/SniffedVideoList.h"

namespace tarnwick {

namespace {

std::string Counted(uint64_t count, const std::string& one, const std::string& many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string WhyNothingWasListed(const ReplayTotals& totals, const OwnAddresses& ownAddresses) {
    const DetectionCounts& seen = totals.detections;
    if (totals.packets == 0) return "the capture holds no packets";
    if (!totals.ownAddressKnown)
        return "no packet begins an HTTP request (GET), so this host's address is unknown (give it with --own-address)";
    const std::string own = ownAddresses.ToString(", ");
    const std::string theOwn = ownAddresses.All().size() == 1 ? "the own address " : "the own addresses ";
    if (seen.requests == 0) {
        if (seen.otherRequests == 0) return "no HTTP request (GET) was sent from " + theOwn + own;
        const std::string other = seen.firstOtherSender.ToString();
        return "no HTTP request (GET) was sent from " + theOwn + own + "; requests came from " + other +
               " (try --own-address " + other + ")";
    }
    if (seen.videoAnswers == 0 && seen.streamSegments != 0)
        return "the streams' segments came to less than " + std::to_string(SniffedVideoList::kMinimumSize) + " bytes";
    if (seen.videoAnswers == 0) return "no answer carried a video";
    if (seen.videosReported == 0) return "no video answer belonged to a request from " + own;
    return "every video was smaller than " + std::to_string(SniffedVideoList::kMinimumSize) +
           " bytes or the same as one listed before";
}

}  // namespace

std::string ReplaySummaryLine(const std::string& name, const ReplayTotals& totals, const OwnAddresses& ownAddresses,
                              uint64_t listed) {
    const DetectionCounts& seen = totals.detections;
    std::string line = name + ": " + Counted(totals.packets, "packet", "packets") + " read, " +
                       Counted(seen.requests, "request", "requests");
    if (totals.ownAddressKnown) line += " from " + ownAddresses.ToString(" and ");
    line += ", " + Counted(seen.videoAnswers, "video answer", "video answers");
    // Segments are no videos of their own: without them, a listed stream would seem to come from nowhere.
    if (seen.streamSegments != 0) line += ", " + Counted(seen.streamSegments, "stream segment", "stream segments");
    line += ", " + Counted(listed, "video", "videos") + " listed";
    if (listed == 0) line += "; nothing listed: " + WhyNothingWasListed(totals, ownAddresses);
    return line;
}

}  // namespace tarnwick
