// SPDX-License-Identifier: GPL-3.0-or-later
// The capture helper's work: each opened adapter's ring read on a thread of its own, its blocks
// rewritten into pcapng where they lie and handed to one stream, statistics blocks on request and at
// the end.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/StreamOutput.h"
#include "capture/source/PacketRing.h"
#include "capture/source/PcapngWriter.h"

namespace tarnwick {

class AdapterStreamer {
public:
    // The adapters are interfaces 0, 1, ... of the stream in the order given. With sharePages, the
    // ring's blocks go into an output pipe by reference: only for a reader that copies them out with
    // read(), never for one that splices the pipe's pages on (the kernel writes them again once the
    // reader has taken them).
    // With ringBlocks, each ring block goes out whole in one block of a local type, for Tarnwick to
    // unpack (other readers skip it); else the packets become packet blocks where they lie.
    AdapterStreamer(int output, std::vector<std::unique_ptr<PacketRing>> adapters, std::vector<std::string> names,
                    bool sharePages, bool ringBlocks);
    ~AdapterStreamer();

    // Writes the section header and the adapters' descriptions, then starts the reading threads.
    // False when the output cannot be written.
    bool Start();
    // Each thread adds its adapter's statistics after its current batch.
    void RequestStatistics() { statisticsRequests_.fetch_add(1); }
    // Stops every thread, waits for them, and writes the closing statistics (when the output still works).
    // With handOver, each thread first passes on what its ring still holds (see Lane::HandOverRest).
    void Stop(bool handOver = false);

    // Set once an adapter failed or the output broke (Failure() says why); wakeUp is then written.
    bool Ended() const { return ended_.load(); }
    bool OutputBroken() const { return output_.Broken(); }
    // What went wrong: an adapter's failure, else an output that could not be written; empty when all
    // went well or the reader went away.
    std::string Failure() const;
    // An eventfd the streamer writes when it ends by itself.
    int WakeUp() const { return wakeUp_; }

private:
    class Lane;
    void End(const std::string& failure);

    StreamOutput output_;
    bool sharePages_;
    bool ringBlocks_;
    int wakeUp_ = -1;
    std::vector<std::unique_ptr<Lane>> lanes_;
    std::atomic<uint64_t> statisticsRequests_{0};
    std::atomic<bool> ended_{false};
    std::atomic<bool> handOver_{false};  // set by Stop(true) before the threads are told to end
    mutable std::mutex mutex_;           // guards failure_
    std::string failure_;
};

}  // namespace tarnwick
