// Headless capture and adapter listing.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/FrontEnds.h"
#include "app/HeadlessSaver.h"
#include "app/JsonLine.h"
#include "app/StopSignalWatcher.h"
#include "capture/CaptureSession.h"
#include "capture/source/CaptureAdapters.h"
#include "config/StartupConfiguration.h"
#include "sniffer/CaptureSessionList.h"
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

// Waits for SIGINT/SIGTERM or for every session to end; each session wakes the watcher as it ends.
WaitResult WaitForEnd(StopSignalWatcher& stopSignals, const Sessions& sessions) {
    for (const auto& session : sessions) session->SetFinishedNotifier([&stopSignals] { stopSignals.Wake(); });
    for (;;) {
        bool allFinished = true;
        for (const auto& session : sessions) allFinished = allFinished && session->Finished();
        if (allFinished) return WaitResult::AllFinished;
        if (stopSignals.Wait() != 0) return WaitResult::Signalled;
    }
}

}  // namespace

int RunListAdapters(const CommandLine&) {
    std::string error;
    const std::vector<CaptureAdapter> adapters = ListUsableAdapters(&error);
    if (!error.empty()) return Fail(error);
    if (adapters.empty()) return Fail("no usable adapter: none has an IPv4 address to watch");
    for (const auto& adapter : adapters)
        std::printf("%s %s\n", adapter.name.c_str(), FormatAddress(adapter.ownAddress).c_str());
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

    // Made before any capture thread exists, so only the wait below ever takes the stop signals; it
    // outlives the sessions, which wake it as they end.
    StopSignalWatcher stopSignals;

    // Declared first so they outlive the saver, which registers URLs with them.
    Sessions sessions;
    std::mutex outputLock;
    auto print = [&outputLock](const std::string& line) {
        std::lock_guard lock(outputLock);
        std::fprintf(stdout, "%s\n", line.c_str());
        std::fflush(stdout);
    };
    std::unique_ptr<HeadlessSaver> saver;
    if (!options.saveDir.empty()) {
        saver = std::make_unique<HeadlessSaver>(
            options.saveDir,
            [&sessions](const std::string& url) {
                for (const auto& session : sessions) session->IgnoreUrl(url, 1);
            },
            print, DownloadStallLimitMs(UserConfigFilePath()));
    }

    SniffedVideoList list(nullptr, nullptr);
    // Everything done with an accepted video happens here, in acceptance order.
    std::vector<std::function<void(const SniffedVideo&)>> consumers;
    consumers.push_back([json = options.json, &print](const SniffedVideo& video) {
        print(json ? JsonLine::Format(video) : JsonLine::FormatReadable(video));
    });
    if (saver) consumers.push_back([&saver](const SniffedVideo& video) { saver->Enqueue(video); });
    list.SetAcceptedObserver([&consumers](const SniffedVideo& video) {
        for (const auto& consume : consumers) consume(video);
    });
    ListHost host(list);
    HostRegistration registration(&host);

    CaptureStart start = StartCapture(options);
    if (!start.problem.empty()) return Fail(start.problem);
    // Some adapters could not be opened: say so and watch the others.
    if (!start.warnings.empty()) std::fprintf(stderr, "tarnwick: %s\n", start.warnings.c_str());
    for (auto& session : start.sessions)
        if (session->CaptureStarted()) sessions.push_back(std::move(session));

    for (const auto& session : sessions) {
        session->SetDetectionCallback(OnVideoDetected);
        if (options.readFile.empty())
            std::fprintf(stderr, "tarnwick: capturing on %s (%s)\n", session->Name().c_str(),
                         FormatAddress(session->OwnAddress()).c_str());
    }

    WaitResult result = WaitForEnd(stopSignals, sessions);
    if (saver) {
        // A replayed file's videos are all saved before the end; Ctrl-C cancels the running download.
        if (result == WaitResult::AllFinished && !options.readFile.empty()) saver->WaitUntilIdle();
        saver->Stop();
    }
    // The list drops what still arrives; then every capture thread is stopped and joined.
    list.Close();
    std::vector<std::string> names;
    for (const auto& session : sessions) names.push_back(session->Name());
    sessions.clear();

    if (result == WaitResult::AllFinished && options.readFile.empty()) {
        std::string joined;
        for (const auto& name : names) joined += (joined.empty() ? "" : ", ") + name;
        return Fail("capture ended on " + joined + " (the adapter went away or could not be read)");
    }
    return 0;
}

}  // namespace tarnwick
