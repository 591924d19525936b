// SPDX-License-Identifier: GPL-3.0-or-later
// What reads a followed connection: ordered bytes per direction, lost stretches, then one end event.
#pragma once

#include <cstdint>
#include <span>

#include "capture/stream/StreamDirection.h"

namespace tarnwick {

// How a connection ended. Anything but Closed means bytes may be missing after what was delivered: a
// reader must not take a partial message it holds for a complete one.
enum class StreamEnd : uint8_t {
    Closed,   // both sides finished (FIN) or one reset the connection with nothing outstanding
    Gap,      // reset, or ended, while bytes were still missing
    Evicted,  // the bound on connections made room for newer ones
    Idle,     // nothing arrived for the idle time-out
    Stopped,  // the capture ended first
    Broken,   // the layer below could not read on (a record failed authentication, bytes were malformed)
};

// Reassembly (and the TLS layer above it, which passes decrypted bytes on in the same shape) delivers to
// a reader; HTTP readers sit at the top. Callbacks run on the capture thread. Times are capture times in
// milliseconds.
class StreamReader {
public:
    // TakeSkip's answer for "the rest of this direction".
    static constexpr uint64_t kRest = UINT64_MAX;

    virtual ~StreamReader() = default;
    // The next bytes of one direction, in order. Valid only during the call.
    virtual void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeMs) = 0;
    // count bytes of one direction were sent but never captured; they lie before the next OnData of it.
    // A reader that cannot step over them stops reading (Done) or finds its way again in what follows.
    virtual void OnGap(StreamDirection direction, uint64_t count) = 0;
    // Called once; nothing is delivered afterwards.
    virtual void OnEnd(StreamEnd how) = 0;
    // True once the reader wants no more bytes of this connection; it is then let go.
    virtual bool Done() const = 0;
    // Asked after each delivery: how many of the direction's next bytes the reader passes over unread (a
    // body nobody needs), taken as read from then on; kRest for all that follow. They are never copied,
    // and bytes lost among them are no gap.
    virtual uint64_t TakeSkip(StreamDirection) { return 0; }
    // True while letting the connection go loses nothing its later bytes cannot give back: met again, it
    // is read from its next message on (HTTP/1 in the clear). Such connections go after a shorter silence;
    // those that keep what cannot be found again (keys, header tables) keep the longer one.
    virtual bool Resumable() const { return false; }
};

}  // namespace tarnwick
