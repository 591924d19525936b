// SPDX-License-Identifier: GPL-3.0-or-later
// Packets of a network adapter captured by the capture helper, for a process that may not capture
// itself: the helper holds the right, opens the adapter with the sessions' options and streams pcapng.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "capture/source/HelperProcess.h"
#include "capture/source/PacketSource.h"
#include "capture/source/PcapngReader.h"

namespace tarnwick {

class HelperAdapterSource final : public PacketSource {
public:
    // How long the helper may take to open the adapter and describe it.
    static constexpr int kStartTimeoutMs = 10000;

    // Starts the helper at helperPath for the adapter and reads the stream's description of it. Nothing
    // (and *error set to the helper's own sentence, or to why it could not be run) when that fails.
    static std::unique_ptr<HelperAdapterSource> Open(const std::string& helperPath, const std::string& adapter,
                                                     int bufferMiB, std::string* error);
    ~HelperAdapterSource() override;

    // What has arrived, or nothing after about a tenth of a second; the helper's end is a failure with
    // its reason, since a live capture has no end of its own.
    ReadResult ReadBatch(PacketHandler& handler) override;
    // Asks the helper to end and wakes a waiting read at once.
    void Interrupt() override;
    std::optional<int> LinkType() const override { return linkType_; }
    // The helper's latest statistics block, and a request for the next one. After Interrupt() it first
    // reads the helper's closing figures (waiting at most about a second).
    bool ReadStatistics(CaptureStatistics& out) override;

    pid_t HelperPid() const { return process_->Pid(); }

private:
    enum class Fill { Data, Timeout, End, Failed };

    explicit HelperAdapterSource(std::string adapter) : adapter_(std::move(adapter)) {}
    bool ReadDescription(std::string* error);
    Fill FillBuffer(int timeoutMs, bool wakeable);
    std::string HelperEnded();
    void DrainClosingFigures();

    std::string adapter_;
    std::string helperPath_;
    std::unique_ptr<HelperProcess> process_;
    PcapngReader reader_;
    int wakeUp_ = -1;
    int linkType_ = 0;
    uint32_t interface_ = 0;
    std::atomic<bool> stopping_{false};
    bool drained_ = false;
};

}  // namespace tarnwick
