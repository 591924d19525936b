// SPDX-License-Identifier: GPL-3.0-or-later
// Headless capture and adapter listing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/DropReporter.h"
#include "app/FrontEnds.h"
#include "app/GrowthLinePacer.h"
#include "app/HeadlessSaver.h"
#include "app/JsonLine.h"
#include "app/LinePrinter.h"
#include "app/ReplaySummary.h"
#include "app/StopSignalWatcher.h"
#include "app/StreamSummary.h"
#include "capture/session/CaptureFileWriter.h"
#include "capture/session/CaptureSession.h"
#include "capture/source/CaptureAdapters.h"
#include "config/StartupConfiguration.h"
#include "platform/KeyLoggingBrowser.h"
#include "sniffer/CaptureSessionList.h"
#include "sniffer/EntryDetailsReader.h"
#include "sniffer/SniffedVideoList.h"
#include "sniffer/SnifferHost.h"

namespace tarnwick {

namespace {

int Fail(const std::string& reason) {
    std::fprintf(stderr, "tarnwick: %s\n", reason.c_str());
    return 1;
}

// Without a window the detections go straight into the list; the list serialises its callers.
class ListHost final : public SnifferHost {
public:
    explicit ListHost(SniffedVideoList& list) : list_(list) {}
    void HandleDetection(DetectedVideo video) override { list_.AddDetectedVideo(video); }

private:
    SniffedVideoList& list_;
};

// Keeps the process-wide hook set for as long as the runner lists videos.
class HostRegistration {
public:
    explicit HostRegistration(SnifferHost* host) { CurrentSnifferWindow.store(host); }
    ~HostRegistration() { CurrentSnifferWindow.store(nullptr); }
    HostRegistration(const HostRegistration&) = delete;
    HostRegistration& operator=(const HostRegistration&) = delete;
};

using Sessions = CaptureSessions;

enum class WaitResult { Signalled, AllFinished };

constexpr int kStatisticsIntervalMs = 1000;
// A live stream is saved once no segment has been counted into it for this long.
constexpr uint32_t kStreamQuietMs = 10 * 1000;
// A browser that ends this soon after its start did not come up.
constexpr auto kBrowserFailsWithin = std::chrono::seconds(10);
// After a stop signal, queued lines get this long to leave while the reader takes nothing.
constexpr auto kOutputGraceAfterSignal = std::chrono::milliseconds(100);

void PrintError(const std::string& line) {
    std::fprintf(stderr, "tarnwick: %s\n", line.c_str());
}

// Waits for SIGINT/SIGTERM or for every session to end; each session wakes the watcher as it ends.
// Live sessions' drop counts, and growing entries' held lines, are looked at once a second meanwhile,
// and everySecond is called then.
WaitResult WaitForEnd(StopSignalWatcher& stopSignals, const Sessions& sessions, DropReporter& drops,
                      GrowthLinePacer& pacer, const std::function<void()>& everySecond) {
    for (const auto& session : sessions) session->SetFinishedNotifier([&stopSignals] { stopSignals.Wake(); });
    bool live = false;
    for (const auto& session : sessions) live = live || !session->IsReplay();
    for (;;) {
        bool allFinished = true;
        for (const auto& session : sessions) allFinished = allFinished && session->Finished();
        if (allFinished) return WaitResult::AllFinished;
        if (stopSignals.Wait(live ? kStatisticsIntervalMs : -1) != 0) return WaitResult::Signalled;
        for (const auto& session : sessions)
            if (const auto figures = session->Statistics()) drops.ReportRise(session->Name(), *figures);
        // A live capture's packet times are this clock's.
        if (live)
            pacer.Flush(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count());
        if (live) everySecond();
    }
}

// The written capture must not be the one being read: opening it for writing would empty it first.
bool SameFile(const std::string& first, const std::string& second) {
    struct stat a {
    }, b{};
    return stat(first.c_str(), &a) == 0 && stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Waits until every queued line is out; false when a stop signal came first.
bool WaitForOutput(StopSignalWatcher& stopSignals, LinePrinter& output) {
    // Set only now: while the capture runs, an emptied queue need not wake anyone.
    output.SetDrainedNotifier([&stopSignals] { stopSignals.Wake(); });
    while (!output.Drained())
        if (stopSignals.Wait() != 0) return false;
    return true;
}

// Waits until every accepted video has been saved or has failed; false when a stop signal came first.
bool WaitForSaver(StopSignalWatcher& stopSignals, HeadlessSaver& saver) {
    saver.SetIdleNotifier([&stopSignals] { stopSignals.Wake(); });
    while (!saver.Idle())
        if (stopSignals.Wait() != 0) return false;
    return true;
}

// Waits until every accepted video's details are read or have failed; false when a stop signal came first.
bool WaitForDetails(StopSignalWatcher& stopSignals, EntryDetailsReader& details) {
    details.SetIdleNotifier([&stopSignals] { stopSignals.Wake(); });
    while (!details.Idle())
        if (stopSignals.Wait() != 0) return false;
    return true;
}

// "" when the folder can be written into, else why not.
std::string FolderProblem(const std::string& folder) {
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) return folder + ": it is not a folder";
    if (access(folder.c_str(), W_OK | X_OK) != 0) return folder + ": " + std::strerror(errno);
    return {};
}

// DIR/SERIAL.jpg, written beside and renamed, so that a reader never finds half a picture.
void SavePicture(const std::string& folder, int serial, const std::string& jpeg) {
    const std::string path = folder + "/" + std::to_string(serial) + ".jpg";
    const std::string partial = folder + "/." + std::to_string(serial) + ".jpg.part";
    const int file = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool written = file >= 0;
    for (size_t done = 0; written && done < jpeg.size();) {
        const ssize_t n = write(file, jpeg.data() + done, jpeg.size() - done);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) done += static_cast<size_t>(n);
    }
    const int error = errno;
    if (file >= 0 && close(file) != 0) written = false;
    if (written && rename(partial.c_str(), path.c_str()) == 0) return;
    PrintError("cannot save the picture " + path + ": " + std::strerror(written ? errno : error));
    unlink(partial.c_str());
}

}  // namespace

int RunListAdapters(const CommandLine&) {
    std::string error;
    const std::vector<CaptureAdapter> adapters = ListUsableAdapters(&error);
    if (!error.empty()) return Fail(error);
    if (adapters.empty()) return Fail("no usable adapter: none has an IPv4 or global IPv6 address to watch");
    // Opening an adapter tells its link type; without capture permission it stays unknown.
    auto linkName = [](std::optional<int> linkType) -> std::string {
        if (!linkType) return "unknown";
        const char* name = pcap_datalink_val_to_name(*linkType);
        return name ? name : std::to_string(*linkType);
    };
    for (const auto& adapter : adapters)
        std::printf("%s %s %s\n", adapter.name.c_str(), linkName(LinkTypeOfAdapter(adapter.name)).c_str(),
                    adapter.ownAddresses.ToString().c_str());
    if (const auto any = LinkTypeOfAdapter(kAnyAdapter))
        std::printf("%s %s (every adapter at once)\n", kAnyAdapter, linkName(any).c_str());
    return 0;
}

int RunHeadless(const CommandLine& options) {
    if (!options.saveDir.empty()) {
        struct stat info {};
        if (stat(options.saveDir.c_str(), &info) == 0 && !S_ISDIR(info.st_mode))
            return Fail("cannot save into " + options.saveDir + ": it is not a folder");
        if (access(options.saveDir.c_str(), W_OK | X_OK) != 0)
            return Fail("cannot save into " + options.saveDir + ": " + std::strerror(errno));
    }
    if (!options.detailsDir.empty())
        if (const std::string problem = FolderProblem(options.detailsDir); !problem.empty())
            return Fail("cannot save pictures into " + problem);
    bool readDetails = options.details || !options.detailsDir.empty();
    if (readDetails && !DetailsEnabled(UserConfigFilePath())) {
        PrintError("details are not read: DetailsEnabled=0 in " + UserConfigFilePath());
        readDetails = false;
    }

    // Made before any capture thread exists, so only the wait below ever takes the stop signals; it
    // outlives the sessions, which wake it as they end.
    StopSignalWatcher stopSignals;

    // Declared first so they outlive the saver, which registers URLs with them.
    Sessions sessions;
    // Lines leave on the printer's own thread: a capture thread never waits for the reader of
    // standard output while it holds the list's lock.
    LinePrinter output(STDOUT_FILENO);
    auto print = [&output](const std::string& line) { output.Print(line); };
    std::unique_ptr<HeadlessSaver> saver;
    if (!options.saveDir.empty()) {
        saver = std::make_unique<HeadlessSaver>(
            options.saveDir,
            // Tarnwick's own fetches are told apart by their connections (OwnConnections).
            [](const std::string&) {}, print, DownloadStallLimitMs(UserConfigFilePath()));
        saver->SetStreamOptions(StreamCopierPath(UserConfigFilePath()), kStreamQuietMs);
    }

    SniffedVideoList list(nullptr, nullptr);
    // Everything done with an accepted video happens here, in acceptance order.
    std::atomic<uint64_t> listed{0};
    GrowthLinePacer pacer([json = options.json, &print](const SniffedVideo& video) {
        print(json ? JsonLine::Format(video) : JsonLine::FormatReadable(video));
    });
    std::vector<std::function<void(const SniffedVideo&)>> consumers;
    consumers.push_back([&pacer, &listed](const SniffedVideo& video) {
        pacer.Listed(video);
        ++listed;
    });
    if (saver) consumers.push_back([&saver](const SniffedVideo& video) { saver->Enqueue(video); });
    // Details are read on the reader's threads and set straight into the list, which serialises them.
    std::unique_ptr<EntryDetailsReader> details;
    if (readDetails) {
        details = std::make_unique<EntryDetailsReader>(list, EntryDetailsReader::SettingsFor(UserConfigFilePath()),
                                                       [](std::function<void()> task) { task(); });
        consumers.push_back([&details](const SniffedVideo& video) { details->Accepted(video); });
        list.SetRemovedObserver([&details](const SniffedVideo& video) { details->Removed(video); });
        // The line again, now with the details; the picture beside.
        list.SetDetailsObserver([&pacer, folder = options.detailsDir](const SniffedVideo& video) {
            if (!folder.empty() && video.details && !video.details->picture.empty())
                SavePicture(folder, video.serial, video.details->picture);
            pacer.Grew(video);
        });
    }
    list.SetAcceptedObserver([&consumers](const SniffedVideo& video) {
        for (const auto& consume : consumers) consume(video);
    });
    // A stream's figures grow while it plays: its line again, and the saver waits until it is quiet.
    list.SetGrownObserver([&pacer, &saver](const SniffedVideo& video) {
        pacer.Grew(video);
        if (saver) saver->Grew(video);
    });
    ListHost host(list);
    HostRegistration registration(&host);

    std::shared_ptr<CaptureFileWriter> writer;
    if (!options.writeFile.empty()) {
        if (!options.readFile.empty() && SameFile(options.readFile, options.writeFile))
            return Fail("--write cannot overwrite the capture that --read reads");
        std::string problem;
        writer = CaptureFileWriter::Create(options.writeFile, &problem);
        if (!writer) return Fail(problem);
    }

    CaptureStart start = StartCapture(options);
    if (!start.problem.empty()) return Fail(start.problem);
    // Some adapters could not be opened: say so and watch the others.
    if (!start.warnings.empty()) PrintError(start.warnings);
    for (auto& session : start.sessions)
        if (session->CaptureStarted()) sessions.push_back(std::move(session));

    // Started once capture runs, so that its first connections are seen; ended (and its key log removed)
    // before the sessions go.
    std::unique_ptr<KeyLoggingBrowser> browser;
    if (options.browser) {
        std::string problem;
        browser = KeyLoggingBrowser::Start(options.browserName, &problem);
        if (!browser) return Fail(problem);
        start.keyLog->Follow(browser->KeyLogPath());
        PrintError("started " + browser->Program() +
                   " with a profile and key log of its own: what it fetches over HTTPS is read");
    }
    bool browserEnded = false;
    const auto browserStarted = std::chrono::steady_clock::now();
    auto everySecond = [&writer, &browser, &browserEnded, browserStarted] {
        if (writer) writer->Flush();
        // Capture goes on for other programs; the user learns why no more HTTPS is read.
        if (std::string how; browser && !browserEnded && !browser->Running(&how)) {
            browserEnded = true;
            const std::string advice = browser->AdviceWhenEnded();
            if (std::chrono::steady_clock::now() - browserStarted < kBrowserFailsWithin && !advice.empty())
                PrintError("the browser " + how + " at once: " + advice);
            else
                PrintError("the browser " + how);
        }
    };

    for (const auto& session : sessions) {
        if (writer) session->SetFileWriter(writer);
        session->SetDetectionSink(&SnifferHostSink());
        if (options.readFile.empty())
            PrintError("capturing on " + session->Name() + " (" + session->OwnAddressSet().ToString() + ")");
    }

    DropReporter drops(options.json, print, PrintError);
    WaitResult result = WaitForEnd(stopSignals, sessions, drops, pacer, everySecond);
    const bool replay = !options.readFile.empty();
    // A replay's details are all read before its last lines.
    if (details && replay && result == WaitResult::AllFinished && !WaitForDetails(stopSignals, *details))
        result = WaitResult::Signalled;
    // The last line of a growing entry holds its last figures.
    pacer.Flush();
    // A replay's streams are complete now: they are saved without waiting for them to go quiet.
    if (saver && replay && result == WaitResult::AllFinished) saver->SaveStreamsNow();
    // A replayed file's videos are all saved before the end; Ctrl-C cancels the running download.
    if (saver && result == WaitResult::AllFinished && replay && !WaitForSaver(stopSignals, *saver))
        result = WaitResult::Signalled;
    // A replay's lines are all written before the end, unless a stop signal cuts the wait short.
    if (result == WaitResult::AllFinished && replay && !WaitForOutput(stopSignals, output))
        result = WaitResult::Signalled;
    // From here no producer waits for room in the output: a stalled reader cannot hold up the stop.
    output.StopWaitingForRoom();
    if (saver) saver->Stop();
    if (details) {
        details->Stop();
        pacer.Flush();
    }
    // The list drops what still arrives; then every capture thread is stopped and joined.
    list.Close();
    for (const auto& session : sessions) session->Stop();
    browser.reset();

    bool failed = false;
    const bool writeFailed = writer && !writer->Close();
    if (writeFailed) PrintError(writer->Error());
    for (const auto& session : sessions) {
        if (const auto figures = session->Statistics()) drops.ReportEnd(session->Name(), *figures);
        if (session->EndError().empty()) continue;
        failed = true;
        PrintError(session->EndError());
    }
    // Said once a replay has run to its end, also a damaged end; not after a stop signal.
    // A replay's capture may bring its own secrets: whether a session read TLS is its own to say.
    if (replay && result == WaitResult::AllFinished)
        for (const auto& session : sessions)
            if (session->Totals().packets > 0 || session->EndError().empty())
                PrintError(ReplaySummaryLine(session->Name(), session->Totals(), session->OwnAddressSet(),
                                             listed.load(), session->ReadsTls()));
    // What the stages saw, so that a video that was not listed can be told apart from one never
    // decrypted or cut at a bound; which bounds were reached; what could not be read at all.
    for (const auto& session : sessions) {
        const PipelineTotals& totals = session->Totals();
        const bool readsTls = session->ReadsTls();
        if (readsTls || totals.http2.connections > 0 || totals.quic.connections > 0 || totals.http1.lost > 0 ||
            totals.limitsReached.Any())
            PrintError(StreamSummaryLine(session->Name(), totals, readsTls));
        if (const std::string line = LimitsSummaryLine(session->Name(), totals, session->Limits()); !line.empty())
            PrintError(line);
        if (const std::string line = UnreadTlsSummaryLine(session->Name(), totals, readsTls); !line.empty())
            PrintError(line);
    }
    if (start.keyLog)
        PrintError(KeyLogSummaryLine(start.keyLog->Path().empty() ? "of the browser" : start.keyLog->Path(),
                                     start.keyLog->Statistics()));
    if (result == WaitResult::Signalled)
        output.WaitDrained(kOutputGraceAfterSignal);
    else
        WaitForOutput(stopSignals, output);
    output.Stop();
    sessions.clear();

    // A live capture ends by itself only when every adapter failed; a replay fails when it was damaged.
    // A capture that could not be written fails however it ended.
    return (failed && (replay || result == WaitResult::AllFinished)) || writeFailed ? 1 : 0;
}

}  // namespace tarnwick
