// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary bytes to the two readers of request heads: the captured request whose fields downloads send
// again, and the relay's reading of ffmpeg's requests. What either sends on must never carry a line break or
// a control character that could end a field or the request early, and must stay inside its bounds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "download/CapturedRequestHeaders.h"
#include "download/ProxyRequest.h"

using tarnwick::CapturedRequestHeaders;
using tarnwick::ProxyRequest;

namespace {

void CheckValue(const std::string& text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const CapturedRequestHeaders captured = CapturedRequestHeaders::Parse(text);
    for (std::string_view host : {std::string_view("h"), std::string_view(captured.Host())}) {
        for (const auto& field : captured.For(host)) {
            if (field.value.empty() || field.value.size() > CapturedRequestHeaders::kMaxValueBytes) std::abort();
            CheckValue(field.name);
            CheckValue(field.value);
        }
    }

    const ProxyRequest request = ProxyRequest::Parse(text);
    if (request.TargetForm() == ProxyRequest::Form::Invalid) return 0;
    if (size > ProxyRequest::kMaxHeadBytes) std::abort();
    const std::string head = request.ForServer(captured.For(request.Host()));
    // One request line, field lines, one blank line at the very end: nothing smuggled in between.
    const size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos || end + 4 != head.size()) std::abort();
    for (size_t line = 0; line < end + 2;) {
        const size_t lineEnd = head.find("\r\n", line);
        CheckValue(head.substr(line, lineEnd - line));
        line = lineEnd + 2;
    }
    if (head.find("\r\nConnection: close\r\n\r\n") == std::string::npos) std::abort();
    return 0;
}
