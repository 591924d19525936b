// SPDX-License-Identifier: GPL-3.0-or-later
// Packets of a network adapter captured by the capture helper.
#include "capture/source/HelperAdapterSource.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tarnwick {

namespace {

constexpr int kBatchWaitMs = 100;
constexpr int kClosingFiguresMs = 1000;
constexpr int kExitWaitMs = 2000;

class Discard final : public PacketHandler {
public:
    void HandlePacket(const pcap_pkthdr&, const uint8_t*, int) override {}
};

// The helper's lines without its name in front; several lines become one sentence each.
std::string WithoutProgramName(const std::string& text) {
    std::string result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        const std::string prefix = "tarnwick-capture: ";
        if (line.compare(0, prefix.size(), prefix) == 0) line.erase(0, prefix.size());
        if (!line.empty()) result += (result.empty() ? "" : "\n") + line;
        start = end + 1;
    }
    return result;
}

}  // namespace

std::unique_ptr<HelperAdapterSource> HelperAdapterSource::Open(const std::string& helperPath,
                                                               const std::string& adapter, int bufferMiB,
                                                               std::string* error) {
    std::unique_ptr<HelperAdapterSource> source(new HelperAdapterSource(adapter));
    source->helperPath_ = helperPath;
    std::string why;
    int cause = 0;
    source->process_ = HelperProcess::Start(
        // The stream is read with read(), which copies: the helper may hand its pages to the pipe, and
        // this reader unpacks the kernel's blocks itself.
        {helperPath, "--interface", adapter, "--buffer-size", std::to_string(bufferMiB), "--share-pages",
         "--ring-blocks"},
        &why, &cause);
    if (!source->process_) {
        if (cause == EACCES || cause == EPERM)
            *error = "cannot capture on " + adapter +
                     ": permission denied. Only root and the members of the group "
                     "tarnwick may run the capture helper " +
                     helperPath + ". Add your user to it (sudo adduser $USER tarnwick), then log in again.";
        else
            *error = "cannot capture on " + adapter + ": cannot run the capture helper " + helperPath + ": " + why;
        return nullptr;
    }
    source->wakeUp_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (source->wakeUp_ < 0) {
        *error = "cannot capture on " + adapter + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!source->ReadDescription(error)) return nullptr;
    return source;
}

HelperAdapterSource::~HelperAdapterSource() {
    process_.reset();  // ends the helper before the wake-up event goes
    if (wakeUp_ >= 0) close(wakeUp_);
}

bool HelperAdapterSource::ReadDescription(std::string* error) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    // The helper describes every adapter before its first packet; nothing else is taken here.
    for (;;) {
        if (reader_.ParseDescriptions() == PcapngReader::Result::Damaged) {
            *error = "cannot capture on " + adapter_ + ": the capture helper's stream is damaged: " + reader_.Error();
            return false;
        }
        if (!reader_.Interfaces().empty()) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const Fill fill = left > 0 ? FillBuffer(static_cast<int>(left), false) : Fill::Timeout;
        if (fill == Fill::Timeout) {
            *error = "cannot capture on " + adapter_ + ": the capture helper " + helperPath_ +
                     " did not answer within " + std::to_string(kStartTimeoutMs / 1000) + " s";
            return false;
        }
        if (fill != Fill::Data) {
            *error = HelperEnded();
            return false;
        }
    }
    const auto& interfaces = reader_.Interfaces();
    for (uint32_t index = 0; index < interfaces.size(); ++index)
        if (interfaces[index].name == adapter_) {
            interface_ = index;
            linkType_ = interfaces[index].linkType;
            reader_.DeliverOnly(index);
            return true;
        }
    *error =
        "cannot capture on " + adapter_ + ": the capture helper described another adapter (" + interfaces[0].name + ")";
    return false;
}

HelperAdapterSource::Fill HelperAdapterSource::FillBuffer(int timeoutMs, bool wakeable) {
    pollfd waits[2] = {{process_->Output(), POLLIN, 0}, {wakeUp_, POLLIN, 0}};
    for (;;) {
        const int ready = poll(waits, wakeable ? 2 : 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Fill::Failed;
        if (ready == 0) return Fill::Timeout;
        if (wakeable && waits[1].revents != 0) return Fill::End;
        size_t room = 0;
        uint8_t* into = reader_.Room(room);
        const ssize_t count = read(process_->Output(), into, room);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (count < 0) return Fill::Failed;
        if (count == 0) return Fill::End;
        reader_.Commit(static_cast<size_t>(count));
        return Fill::Data;
    }
}

std::string HelperAdapterSource::HelperEnded() {
    const std::optional<int> status = process_->WaitForExit(kExitWaitMs);
    const std::string said = WithoutProgramName(process_->ErrorText());
    if (!said.empty()) return said;
    std::string how = !status         ? "stopped writing"
                      : *status > 128 ? "was ended by signal " + std::to_string(*status - 128)
                                      : "ended with status " + std::to_string(*status);
    return "capture on " + adapter_ + " ended: the capture helper " + helperPath_ + " " + how;
}

ReadResult HelperAdapterSource::ReadBatch(PacketHandler& handler) {
    if (stopping_.load()) return ReadResult::End;
    Fill fill = FillBuffer(kBatchWaitMs, true);
    if (fill == Fill::Data && reader_.Parse(handler) == PcapngReader::Result::Damaged) {
        error_ = "capture on " + adapter_ + " ended: the capture helper's stream is damaged: " + reader_.Error();
        return ReadResult::Failed;
    }
    if (fill == Fill::Data || fill == Fill::Timeout) return ReadResult::Packets;
    if (stopping_.load()) return ReadResult::End;
    error_ = HelperEnded();
    return ReadResult::Failed;
}

void HelperAdapterSource::Interrupt() {
    if (stopping_.exchange(true)) return;
    process_->Signal(SIGTERM);  // it writes its closing figures and ends
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wakeUp_, &one, sizeof one);
}

void HelperAdapterSource::DrainClosingFigures() {
    drained_ = true;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kClosingFiguresMs);
    Discard discard;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || FillBuffer(static_cast<int>(left), false) != Fill::Data) return;
        if (reader_.Parse(discard) == PcapngReader::Result::Damaged) return;
    }
}

bool HelperAdapterSource::ReadStatistics(CaptureStatistics& out) {
    if (stopping_.load()) {
        if (!drained_) DrainClosingFigures();
    } else {
        process_->Signal(SIGUSR1);  // the answer comes in the stream, for the next call
    }
    if (interface_ >= reader_.Interfaces().size()) return false;
    const auto& figures = reader_.Interfaces()[interface_].statistics;
    if (!figures) return false;
    out = *figures;
    return true;
}

}  // namespace tarnwick
