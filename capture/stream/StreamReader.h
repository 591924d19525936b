// What reads a followed connection: ordered bytes per direction, then one end event.
#pragma once

#include <cstdint>
#include <span>

#include "capture/stream/StreamDirection.h"

namespace tarnwick {

// How a connection's byte streams ended. Anything but Closed means bytes are missing after what was
// delivered: a reader must not interpret a partial message it holds as if it were complete.
enum class StreamEnd : uint8_t {
    Closed,   // both sides finished (FIN) or one reset the connection with nothing outstanding
    Gap,      // bytes were lost in one direction; the rest of the connection is given up
    Cut,      // the connection's reassembly buffer reached its bound
    Evicted,  // the bound on all connections made room for newer ones
    Idle,     // nothing arrived for the idle time-out
    Stopped,  // the capture ended first
    Broken,   // the layer below could not read on (a record failed authentication, bytes were malformed)
};

// Reassembly (and the TLS layer above it, which passes decrypted bytes on in the same shape) delivers
// to a reader; HTTP/1 or HTTP/2 readers sit at the top. Callbacks run on the capture thread.
class StreamReader {
public:
    virtual ~StreamReader() = default;
    // The next bytes of one direction, in order and without holes. Valid only during the call.
    virtual void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeSeconds) = 0;
    // Called once; nothing is delivered afterwards.
    virtual void OnEnd(StreamEnd how) = 0;
    // True once the reader wants no more bytes of this connection; it is then let go.
    virtual bool Done() const = 0;
};

}  // namespace tarnwick
