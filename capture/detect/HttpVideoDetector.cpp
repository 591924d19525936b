// Turns captured TCP frames into detected videos: GET requests out, video responses in.
#include "capture/detect/HttpVideoDetector.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>

namespace tarnwick {

namespace {

std::string_view TrimBlanks(std::string_view text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return text;  // only blanks: left as it is
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

}  // namespace

HttpVideoDetector::HttpVideoDetector(Ipv4Address ownAddress, PendingRequestTable& pending, IgnoreList& ignored,
                                     Deliver deliver, std::string sourceName)
    : ownAddress_(ownAddress),
      pending_(pending),
      ignored_(ignored),
      deliver_(std::move(deliver)),
      sourceName_(std::move(sourceName)) {}

void HttpVideoDetector::ProcessPacket(const uint8_t* bytes, size_t capturedLength, int64_t captureTimeSeconds) {
    const PacketView frame(bytes, capturedLength);
    TcpFrame tcp;
    // Fewer than three payload bytes hold no pattern of either direction (ACKs and the like).
    if (!TcpFrame::Parse(frame, tcp) || tcp.payloadLength < 3) return;
    if (tcp.sourceAddress == ownAddress_) {
        RecordRequest(frame, tcp, captureTimeSeconds);
        return;
    }
    // Most incoming frames are body data; they are told apart here, without the response handling's set-up.
    const size_t windowEnd = tcp.payloadStart + std::min(tcp.payloadLength, kSearchWindow);
    if (frame.Find("HTTP", tcp.payloadStart, windowEnd)) {
        HandleResponse(frame, tcp, captureTimeSeconds);
    } else if (frame.StartsWith(tcp.payloadStart, "FLV")) {
        // A body packet right after a header that filled its packet exactly.
        ++counts_.videoAnswers;
        Report(previousRequest_, previousSizeText_, "x-flv", captureTimeSeconds);
    }
}

void HttpVideoDetector::RecordRequest(const PacketView& frame, const TcpFrame& tcp, int64_t now) {
    const size_t start = tcp.payloadStart;
    const size_t windowEnd = start + std::min(tcp.payloadLength, kSearchWindow);
    const auto get = frame.Find("GET ", start, windowEnd);
    if (!get) return;
    const auto blank = frame.Find(" ", *get, windowEnd);
    if (!blank) return;
    ++counts_.requests;

    const ConnectionKey key{tcp.sourceAddress, tcp.destinationAddress, tcp.sourcePort, tcp.destinationPort};
    pending_.Prefetch(key);  // arrives while the headers are searched

    // Views into the frame: the table copies the texts into its own entry.
    const std::string_view path = frame.View(*get, *blank);
    std::string_view host, requestText;
    size_t blankLineFrom = *blank;
    if (const auto hostStart = frame.Find("Host: ", *blank, windowEnd)) {
        blankLineFrom = *hostStart;
        if (const auto lineEnd = frame.Find("\r\n", *hostStart, windowEnd)) host = frame.View(*hostStart, *lineEnd - 2);
    }
    if (const auto blankLine = frame.Find("\r\n\r\n", blankLineFrom, windowEnd))
        requestText = frame.View(start, *blankLine);
    pending_.Add(key, host, path, requestText, now);
}

void HttpVideoDetector::HandleResponse(const PacketView& frame, const TcpFrame& tcp, int64_t now) {
    const size_t start = tcp.payloadStart;
    const size_t payloadEnd = start + tcp.payloadLength;
    const size_t windowEnd = start + std::min(tcp.payloadLength, kSearchWindow);
    // Someone else's request is handled like any other frame; it is counted to tell a replay given the
    // wrong own address.
    if (frame.StartsWith(start, "GET ") && counts_.otherRequests++ == 0) counts_.firstOtherSender = tcp.sourceAddress;

    // The request is claimed only after the searches below, which give the prefetch time to arrive.
    const ConnectionKey key{tcp.destinationAddress, tcp.sourceAddress, tcp.destinationPort, tcp.sourcePort};
    pending_.Prefetch(key);

    std::string sizeText;
    if (const auto length = frame.Find("Content-Length: ", start, windowEnd))
        if (const auto lineEnd = frame.Find("\r\n", *length, windowEnd)) sizeText = frame.Text(*length, *lineEnd);

    std::optional<std::string> reportedType;
    if (const auto video = frame.Find("Content-Type: video/", start, windowEnd)) {
        std::string typeText;
        if (const auto lineEnd = frame.Find("\r\n", *video, windowEnd)) typeText = frame.Text(*video, *lineEnd);
        if (const auto flv = frame.Find("x-flv", *video, windowEnd)) {
            // Reported from the next packet instead when the header block ends exactly here.
            const auto headerEnd = frame.Find("\r\n\r\n", *flv, payloadEnd);
            if (!headerEnd || *headerEnd < payloadEnd) reportedType = std::move(typeText);
        } else {
            reportedType = std::move(typeText);
        }
    } else if (const auto headerEnd = frame.Find("\r\n\r\n", start, windowEnd)) {
        if (frame.StartsWith(*headerEnd, "FLV")) reportedType = "x-flv";
    }

    // Claimed into the spare entry, whose texts keep their memory from response to response.
    pending_.Take(key, currentRequest_);
    if (reportedType) {
        ++counts_.videoAnswers;
        Report(currentRequest_, sizeText, *reportedType, now);
    }

    std::swap(previousRequest_, currentRequest_);
    previousSizeText_ = std::move(sizeText);
}

std::string HttpVideoDetector::UrlOf(const PendingRequest& request) {
    if (request.path.empty()) return {};
    const std::string_view path = TrimBlanks(request.path);
    char address[16];
    std::string_view host = TrimBlanks(request.host);
    if (request.host.empty()) {
        const auto& server = request.key.serverAddress;
        const int length =
            std::snprintf(address, sizeof address, "%d.%d.%d.%d", server[0], server[1], server[2], server[3]);
        host = std::string_view(address, static_cast<size_t>(std::max(length, 0)));
    }
    std::string url;
    url.reserve(host.size() + path.size());
    url.append(host).append(path);
    return url;
}

void HttpVideoDetector::Report(const PendingRequest& request, const std::string& sizeText, const std::string& typeText,
                               int64_t now) {
    std::string url = UrlOf(request);
    if (url.empty() || url.size() > kMaxUrlLength) return;
    if (ignored_.ConsumeIfPresent(url)) return;
    if (!deliver_) return;
    ++counts_.videosReported;
    deliver_(DetectedVideo{std::move(url), request.requestText, sizeText, typeText, sourceName_, now});
}

}  // namespace tarnwick
