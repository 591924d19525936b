// SPDX-License-Identifier: GPL-3.0-or-later
// Headless saving: downloads every accepted video into a folder, off the capture threads: files one at a time,
// streams beside them.
#include "app/HeadlessSaver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "app/JsonLine.h"
#include "download/HttpDownloader.h"
#include "download/RawRequestDownloader.h"
#include "download/StreamDownloader.h"
#include "resources/StringTable.h"
#include "sniffer/VideoActions.h"

namespace tarnwick {
namespace {

constexpr size_t kMaxNameBytes = 120;

// Keeps the message of the failure the transfer reports, for the "failed" line.
class SavingDownloader final : public HttpDownloader {
public:
    std::string failure;

protected:
    void OnSystemError(int messageId, uint32_t code) override {
        failure = FormatString(messageId, std::to_string(code));
        std::string detail = LastErrorDescription();
        if (!detail.empty()) failure += " (" + detail + ")";
    }
    void OnHttpError(int messageId, uint32_t number) override {
        failure = FormatString(messageId, std::to_string(number));
    }
};

}  // namespace

HeadlessSaver::HeadlessSaver(std::string folder, std::function<void(const std::string&)> ignoreEverywhere,
                             std::function<void(const std::string&)> print, uint32_t stallLimitMs)
    : folder_(std::move(folder)),
      stallLimitMs_(stallLimitMs),
      ignoreEverywhere_(std::move(ignoreEverywhere)),
      print_(std::move(print)) {
    worker_ = std::thread([this] { Run(); });
    for (int i = 0; i < kMaxStreamCopies; ++i) streamWorkers_.emplace_back([this] { RunStreams(); });
}

HeadlessSaver::~HeadlessSaver() {
    Stop();
}

void HeadlessSaver::SetStreamOptions(std::string ffmpegPath, uint32_t quietMs) {
    std::lock_guard lock(mutex_);
    ffmpegPath_ = std::move(ffmpegPath);
    streamQuiet_ = std::chrono::milliseconds(quietMs);
}

void HeadlessSaver::Enqueue(const SniffedVideo& video) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        if (video.isStream)
            waitingStreams_[video.serial] = WaitingStream{video, Clock::now()};
        else
            queue_.push_back(video);
    }
    changed_.notify_all();
}

void HeadlessSaver::Grew(const SniffedVideo& video) {
    std::lock_guard lock(mutex_);
    // A stream that has been saved already is not saved again.
    const auto waiting = waitingStreams_.find(video.serial);
    if (waiting == waitingStreams_.end()) return;
    waiting->second = WaitingStream{video, Clock::now()};
}

void HeadlessSaver::SaveStreamsNow() {
    {
        std::lock_guard lock(mutex_);
        for (auto& [serial, waiting] : waitingStreams_) streamQueue_.push_back(std::move(waiting.video));
        waitingStreams_.clear();
    }
    changed_.notify_all();
}

std::optional<HeadlessSaver::Clock::time_point> HeadlessSaver::QueueQuietStreamsLocked(Clock::time_point now) {
    std::optional<Clock::time_point> next;
    for (auto waiting = waitingStreams_.begin(); waiting != waitingStreams_.end();) {
        const auto due = waiting->second.changed + streamQuiet_;
        if (due <= now) {
            streamQueue_.push_back(std::move(waiting->second.video));
            waiting = waitingStreams_.erase(waiting);
            continue;
        }
        if (!next || due < *next) next = due;
        ++waiting;
    }
    return next;
}

bool HeadlessSaver::Idle() const {
    std::lock_guard lock(mutex_);
    return stopping_ ||
           (queue_.empty() && !busy_ && waitingStreams_.empty() && streamQueue_.empty() && streamsCopying_ == 0);
}

void HeadlessSaver::SetIdleNotifier(std::function<void()> notifier) {
    std::lock_guard lock(mutex_);
    idleNotifier_ = std::move(notifier);
}

void HeadlessSaver::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
        streamQueue_.clear();
        if (runningHttp_) runningHttp_->Abort();
        if (runningRaw_) runningRaw_->Abort();
        for (StreamDownloader* stream : runningStreams_) stream->Abort();
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
    for (std::thread& streamWorker : streamWorkers_)
        if (streamWorker.joinable()) streamWorker.join();
}

void HeadlessSaver::Finished() {
    {
        std::lock_guard lock(mutex_);
        if (idleNotifier_) idleNotifier_();
    }
    changed_.notify_all();
}

void HeadlessSaver::Run() {
    for (;;) {
        SniffedVideo video;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            video = queue_.front();
            queue_.pop_front();
            busy_ = true;
        }
        Save(video);
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
        }
        Finished();
    }
}

void HeadlessSaver::RunStreams() {
    for (;;) {
        SniffedVideo video;
        {
            std::unique_lock lock(mutex_);
            for (;;) {
                const auto next = QueueQuietStreamsLocked(Clock::now());
                if (stopping_ || !streamQueue_.empty()) break;
                if (next)
                    changed_.wait_until(lock, *next);
                else
                    changed_.wait(lock);
            }
            if (stopping_) return;
            video = streamQueue_.front();
            streamQueue_.pop_front();
            ++streamsCopying_;
        }
        Save(video);
        {
            std::lock_guard lock(mutex_);
            --streamsCopying_;
        }
        Finished();
    }
}

void HeadlessSaver::Save(const SniffedVideo& video) {
    const std::string url = CleanUrl(video.url);
    const std::string path =
        ReserveUniquePath(folder_, video.isStream ? StreamFileNameFor(url) : FileNameFor(url, video.type));
    if (path.empty()) {
        print_("{\"failed\":" + JsonLine::Quote("cannot create a file in " + folder_) +
               ",\"serial\":" + std::to_string(video.serial) + "}");
        return;
    }
    // Registered first, so our own fetch is swallowed by the detectors instead of listed again.
    ignoreEverywhere_(IgnoreForm(url));

    std::string failure;
    bool saved = false;
    if (video.isStream) {
        saved = SaveStream(video, url, path, failure);
    } else if (ReplaysCapturedRequest(video)) {
        RawRequestDownloader raw;
        raw.url = url;
        raw.requestText = video.requestText;
        raw.filePath = path;
        raw.expectedSize = video.size;
        raw.promptOverwrite = 0;
        raw.stallLimitMs = stallLimitMs_;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            runningRaw_ = &raw;
        }
        saved = raw.Download() == 1;
        failure = raw.ErrorText();
        std::lock_guard lock(mutex_);
        runningRaw_ = nullptr;
    } else {
        SavingDownloader http;
        http.url = url;
        http.filePath = path;
        http.capturedRequest = video.requestText;
        http.userAgent = kDownloadUserAgent;
        http.promptOverwrite = 0;
        http.stallLimitMs = stallLimitMs_;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            runningHttp_ = &http;
        }
        saved = http.DownloadToFile() == 1;
        failure = http.failure.empty() ? http.LastErrorDescription() : http.failure;
        std::lock_guard lock(mutex_);
        runningHttp_ = nullptr;
    }
    if (saved) {
        print_("{\"saved\":" + JsonLine::Quote(path) + ",\"serial\":" + std::to_string(video.serial) + "}");
        return;
    }
    unlink(path.c_str());  // the reserved name holds nothing worth keeping
    if (failure.empty()) failure = "the download did not complete";
    print_("{\"failed\":" + JsonLine::Quote(failure) + ",\"serial\":" + std::to_string(video.serial) + "}");
}

bool HeadlessSaver::SaveStream(const SniffedVideo& video, const std::string& url, const std::string& path,
                               std::string& failure) {
    StreamDownloader stream;
    stream.url = url;
    stream.filePath = path;
    stream.capturedRequest = video.requestText;
    stream.stallLimitMs = stallLimitMs_;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
        stream.ffmpegPath = ffmpegPath_;
        runningStreams_.insert(&stream);
    }
    const bool saved = stream.Download() == 1;
    failure = stream.ErrorText();
    std::lock_guard lock(mutex_);
    runningStreams_.erase(&stream);
    return saved;
}

std::string HeadlessSaver::StreamFileNameFor(const std::string& url) {
    std::string name = FileNameFor(url, "mp4");
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name + ".mp4";
}

std::string HeadlessSaver::FileNameFor(const std::string& url, const std::string& type) {
    std::string path = url;
    if (size_t scheme = path.find("://"); scheme != std::string::npos) path.erase(0, scheme + 3);
    path = path.substr(0, path.find_first_of("?#"));
    size_t slash = path.find('/');
    path = slash == std::string::npos ? "" : path.substr(slash);
    std::string segment = path.substr(path.find_last_of('/') + 1);

    std::string name;
    for (unsigned char c : segment) {
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F)
            name += '_';
        else
            name += static_cast<char>(c);
    }
    while (!name.empty() && (name[0] == '.' || name[0] == ' ')) name.erase(0, 1);
    if (name.size() > kMaxNameBytes) {
        size_t dot = name.rfind('.');
        std::string extension = dot != std::string::npos && name.size() - dot <= 10 ? name.substr(dot) : "";
        name = name.substr(0, kMaxNameBytes - extension.size()) + extension;
    }
    if (name.empty()) {
        std::string safeType;
        for (unsigned char c : type) safeType += std::isalnum(c) ? static_cast<char>(c) : '_';
        name = "video." + (safeType.empty() ? std::string("bin") : safeType.substr(0, 16));
    }
    return name;
}

std::string HeadlessSaver::ReserveUniquePath(const std::string& folder, const std::string& name) {
    size_t dot = name.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    std::string extension = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
    for (int n = 1; n < 10000; ++n) {
        std::string candidate = folder + "/" + (n == 1 ? name : stem + " (" + std::to_string(n) + ")" + extension);
        int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            close(fd);
            return candidate;
        }
        if (errno != EEXIST) return {};
    }
    return {};
}

}  // namespace tarnwick
