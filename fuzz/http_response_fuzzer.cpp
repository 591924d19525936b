// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary bytes to the HTTP response reader, whole and split at every byte: the result must not
// depend on where the reads split the bytes, and the body can never outgrow the input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "download/HttpResponseReader.h"

using tarnwick::HttpResponseReader;

namespace {

struct Outcome {
    HttpResponseReader::State state;
    std::string body;
    int status;
};

Outcome Read(const uint8_t* data, size_t size, size_t piece) {
    Outcome outcome{};
    HttpResponseReader reader([](const HttpResponseReader&) { return true; },
                              [&](const char* bytes, size_t length) {
                                  outcome.body.append(bytes, length);
                                  return true;
                              });
    auto state = reader.CurrentState();
    for (size_t at = 0; at < size; at += piece) {
        size_t length = size - at < piece ? size - at : piece;
        state = reader.Feed(reinterpret_cast<const char*>(data) + at, length);
    }
    if (state == HttpResponseReader::State::Header || state == HttpResponseReader::State::Body) state = reader.Finish();
    outcome.state = state;
    outcome.status = reader.StatusCode();
    if (state == HttpResponseReader::State::Failed && reader.Error().empty()) std::abort();
    if (reader.BodyBytes() != outcome.body.size()) std::abort();
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    Outcome whole = Read(data, size, size == 0 ? 1 : size);
    if (whole.body.size() > size) std::abort();
    Outcome bytewise = Read(data, size, 1);
    if (bytewise.state != whole.state || bytewise.body != whole.body || bytewise.status != whole.status) std::abort();
    return 0;
}
