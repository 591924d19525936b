// SPDX-License-Identifier: GPL-3.0-or-later
// The pieces behind a video's details: the bounded fetch, where an MP4 keeps its index, and the limited
// child process the decoders run in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HttpTestServer.h"
#include "ScriptedTcpServer.h"
#include "download/BoundedRangeFetch.h"
#include "download/DetailsWorker.h"
#include "download/LimitedChildProcess.h"
#include "download/Mp4IndexLocator.h"

namespace tarnwick {
namespace {

using test::HttpTestServer;
using test::SampleBody;
using test::ScriptedTcpServer;
using Clock = std::chrono::steady_clock;

TEST(BoundedRangeFetch, TakesTheRangeAskedForAndStopsAtItsBound) {
    HttpTestServer server;
    BoundedRangeFetch fetch;
    fetch.url = server.Url("/file.bin");
    ASSERT_TRUE(fetch.Fetch(1000, 1999, 4096)) << fetch.Problem();
    EXPECT_EQ(fetch.Bytes(), SampleBody(HttpTestServer::kFileSize).substr(1000, 1000));
    EXPECT_FALSE(fetch.FromStart());
    EXPECT_EQ(fetch.TotalSize(), static_cast<int64_t>(HttpTestServer::kFileSize));

    // More than the bound is never kept, also when the answer goes on.
    ASSERT_TRUE(fetch.Fetch(0, HttpTestServer::kFileSize - 1, 5000)) << fetch.Problem();
    EXPECT_EQ(fetch.Bytes(), SampleBody(HttpTestServer::kFileSize).substr(0, 5000));

    // A server that ignores the range sends the file from its start: the bytes are said to be its first.
    const std::string body = SampleBody(3000);
    ScriptedTcpServer ignoring({{"HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n" + body}}, false);
    fetch.url = "http://127.0.0.1:" + std::to_string(ignoring.Port()) + "/clip.mp4";
    ASSERT_TRUE(fetch.Fetch(2000, 2999, 1000)) << fetch.Problem();
    EXPECT_NE(ignoring.ReceivedRequest().find("Range: bytes=2000-2999\r\n"), std::string::npos);
    EXPECT_TRUE(fetch.FromStart());
    EXPECT_EQ(fetch.Bytes(), body.substr(0, 1000));
    EXPECT_EQ(fetch.TotalSize(), 3000);

    fetch.url = server.Url("/missing");
    EXPECT_FALSE(fetch.Fetch(0, 99, 100));
    EXPECT_NE(fetch.Problem().find("404"), std::string::npos) << fetch.Problem();
}

std::string Box(const std::string& type, uint32_t size) {
    std::string box = {static_cast<char>(size >> 24), static_cast<char>(size >> 16), static_cast<char>(size >> 8),
                       static_cast<char>(size)};
    box += type;
    box.resize(std::max<size_t>(size, 8), '\0');
    return box;
}

TEST(Mp4IndexLocator, FindsTheIndexInFrontOrTellsWhereTheEndBegins) {
    using Place = Mp4IndexLocator::Place;
    const std::string ftyp = Box("ftyp", 24);
    // The index in front, whole or going on beyond the first bytes.
    auto front = Mp4IndexLocator::Locate(ftyp + Box("free", 16) + Box("moov", 100), 1'000'000);
    EXPECT_EQ(front.place, Place::InFront);
    EXPECT_EQ(front.indexEnd, 24 + 16 + 100);
    front = Mp4IndexLocator::Locate(ftyp + Box("moov", 5000).substr(0, 100), 1'000'000);
    EXPECT_EQ(front.place, Place::InFront);
    EXPECT_EQ(front.indexEnd, 24 + 5000);

    // The media first: the index lies beyond them, up to the end.
    std::string media = ftyp + std::string("\x00\x10\x00\x00mdat", 8) + std::string(500, 'x');
    auto end = Mp4IndexLocator::Locate(media, 24 + 0x100000 + 3000);
    EXPECT_EQ(end.place, Place::After);
    EXPECT_EQ(end.afterOffset, 24 + 0x100000);
    // A 64-bit size.
    media = ftyp + std::string("\x00\x00\x00\x01mdat\x00\x00\x00\x01\x00\x00\x00\x00", 16) + std::string(100, 'x');
    end = Mp4IndexLocator::Locate(media, int64_t{1} << 33);
    EXPECT_EQ(end.place, Place::After);
    EXPECT_EQ(end.afterOffset, 24 + (int64_t{1} << 32));

    // The media run to the end, the sizes do not add up, or it is no MP4.
    EXPECT_EQ(Mp4IndexLocator::Locate(ftyp + std::string("\x00\x00\x00\x00mdat", 8), 5000).place, Place::Unknown);
    EXPECT_EQ(Mp4IndexLocator::Locate(ftyp + std::string("\x00\x00\x00\x04mdat", 8), 5000).place, Place::Unknown);
    EXPECT_EQ(Mp4IndexLocator::Locate(ftyp + std::string("\xff\xff\xff\xffmdat", 8), 5000).place, Place::Unknown);
    EXPECT_EQ(Mp4IndexLocator::Locate("\x1a\x45\xdf\xa3 webm", 5000).place, Place::NotMp4);
}

TEST(LimitedChildProcess, HangsCrashesAndFloodsEndWithTheirReason) {
    LimitedChildProcess::Limits limits;
    limits.timeoutMs = 300;
    limits.maxOutputBytes = 1000;
    // A child that hangs in a child of its own: both go when the time is up.
    const auto started = Clock::now();
    auto outcome = LimitedChildProcess::Run({"sh", "-c", "sleep 30 & echo $!; wait"}, limits);
    EXPECT_EQ(outcome.end, LimitedChildProcess::End::TimedOut);
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
    const std::string grandchild = outcome.output.substr(0, outcome.output.find('\n'));
    ASSERT_FALSE(grandchild.empty());
    // Killed, it may take a moment to die; then it is a zombie, or gone once something reaped it.
    std::string letter;
    for (const auto until = Clock::now() + std::chrono::seconds(2); Clock::now() < until;) {
        std::ifstream state("/proc/" + grandchild + "/stat");
        std::string pid, name;
        letter.clear();
        if (!(state >> pid >> name >> letter) || letter == "Z") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(letter.empty() || letter == "Z") << "the hanging grandchild still runs: " << letter;
    EXPECT_EQ(outcome.Describe("ffprobe"), "ffprobe took too long and was stopped");

    outcome = LimitedChildProcess::Run({"sh", "-c", "echo 'bad \x1b[2J header' >&2; kill -SEGV $$"}, limits);
    EXPECT_EQ(outcome.end, LimitedChildProcess::End::Signalled);
    EXPECT_EQ(outcome.code, SIGSEGV);
    EXPECT_EQ(outcome.Describe("ffmpeg"), "ffmpeg crashed (Segmentation fault): bad ?[2J header");

    outcome = LimitedChildProcess::Run({"sh", "-c", "while :; do echo flood; done"}, limits);
    EXPECT_EQ(outcome.end, LimitedChildProcess::End::OutputTooLong);
    EXPECT_LE(outcome.output.size(), limits.maxOutputBytes);

    std::atomic<bool> stop{true};
    outcome = LimitedChildProcess::Run({"sleep", "30"}, limits, -1, &stop);
    EXPECT_EQ(outcome.end, LimitedChildProcess::End::Stopped);

    outcome = LimitedChildProcess::Run({"/nonexistent/ffprobe"}, limits);
    EXPECT_EQ(outcome.end, LimitedChildProcess::End::NotStarted);
}

TEST(LimitedChildProcess, TheChildGetsItsInputButNoneOfOurEnvironmentDescriptorsOrMemory) {
    ::setenv("SSLKEYLOGFILE", "/secret/keys.log", 1);
    // A descriptor of ours that a careless child would inherit, and the input, in a folder it cannot enter.
    // Above 3, where the child finds its input: a test started with 3 free would otherwise get 3 here.
    const int opened = ::open("/dev/null", O_RDONLY);
    const int ours = ::fcntl(opened, F_DUPFD, 50);
    ::close(opened);
    char folder[] = "/tmp/tarnwick-child-XXXXXX";
    ASSERT_TRUE(::mkdtemp(folder));
    const std::string path = std::string(folder) + "/input";
    { std::ofstream(path) << "the bytes"; }
    if (const auto account = LimitedChildProcess::ChildAccount()) {
        ASSERT_EQ(::chown(path.c_str(), account->uid, account->gid), 0);
    }
    ::chmod(path.c_str(), 0600);
    const int input = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    LimitedChildProcess::Limits limits;
    const std::string script = "echo \"[$SSLKEYLOGFILE]\"; pwd; cat " + std::string(LimitedChildProcess::kInputPath) +
                               "; echo; test -e /proc/$$/fd/" + std::to_string(ours) + " && echo leaked; id -u";
    auto outcome = LimitedChildProcess::Run({"sh", "-c", script}, limits, input);
    ::unsetenv("SSLKEYLOGFILE");
    ::close(input);
    ::close(ours);
    ::unlink(path.c_str());
    ::rmdir(folder);
    ASSERT_TRUE(outcome.Succeeded()) << outcome.Describe("sh");
    const std::string user = LimitedChildProcess::ChildAccount()
                                 ? std::to_string(LimitedChildProcess::ChildAccount()->uid)
                                 : std::to_string(::geteuid());
    EXPECT_EQ(outcome.output, "[]\n/\nthe bytes\n" + user + "\n");

    // 256 MiB of address space does not hold 512 MiB.
    limits.addressSpaceBytes = 256u << 20;
    outcome = LimitedChildProcess::Run({"python3", "-c", "b = bytearray(512 << 20); print(len(b))"}, limits);
    EXPECT_FALSE(outcome.Succeeded());
    EXPECT_EQ(outcome.output, "");
}

// Serves slow answers and counts how many are being answered at once.
class SlowServer {
public:
    SlowServer() {
        server_.Get(R"(/(\d+)\.mp4)", [this](const httplib::Request& request, httplib::Response& response) {
            {
                // Each answer waits, within a bound, until as many are asked at once as the worker may ask:
                // a loaded machine then cannot make the worker look as if it asked one at a time.
                std::unique_lock lock(mutex_);
                asked_.push_back(std::stoi(request.matches[1]));
                most_ = std::max(most_, ++busy_);
                busyChanged_.notify_all();
                busyChanged_.wait_for(lock, std::chrono::seconds(2),
                                      [this] { return most_ >= DetailsWorker::kThreads; });
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            {
                // A held answer waits (within a bound) until the test has done what must come first.
                std::unique_lock lock(mutex_);
                busyChanged_.wait_for(lock, std::chrono::seconds(10), [this] { return !holding_; });
                --busy_;
            }
            response.set_content(SampleBody(200000), "video/mp4");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 500 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~SlowServer() {
        server_.stop();
        thread_.join();
    }
    std::string Url(int serial) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + std::to_string(serial) + ".mp4";
    }
    std::vector<int> Asked() {
        std::lock_guard lock(mutex_);
        return asked_;
    }
    int Most() {
        std::lock_guard lock(mutex_);
        return most_;
    }
    void HoldAnswers(bool hold) {
        std::lock_guard lock(mutex_);
        holding_ = hold;
        busyChanged_.notify_all();
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable busyChanged_;
    std::vector<int> asked_;
    int busy_ = 0, most_ = 0;
    bool holding_ = false;
};

TEST(DetailsWorker, TwoAtOnceAndNoneForAnEntryThatWent) {
    SlowServer server;
    MediaDetailsReader::Settings settings;
    settings.tools = {"/nonexistent/ffprobe", "/nonexistent/ffmpeg"};  // the fetch is what is watched here
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> done;
    DetailsWorker worker(settings, [&](int serial, std::shared_ptr<const MediaDetails> details) {
        EXPECT_EQ(details->problem, "ffprobe could not be started");
        std::lock_guard lock(mutex);
        done.push_back(serial);
        changed.notify_all();
    });
    auto enqueue = [&server](DetailsWorker& to, int serial) {
        MediaDetailsReader::Request request;
        request.serial = serial;
        request.url = server.Url(serial);
        request.type = "mp4";
        request.size = 200000;
        to.Enqueue(request);
    };
    for (int serial = 1; serial <= 6; ++serial) enqueue(worker, serial);
    worker.Cancel(5);  // before its turn
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return done.size() == 5; }));
    lock.unlock();
    std::sort(done.begin(), done.end());
    EXPECT_EQ(done, (std::vector<int>{1, 2, 3, 4, 6}));
    std::vector<int> asked = server.Asked();
    EXPECT_EQ(std::count(asked.begin(), asked.end(), 5), 0);
    EXPECT_EQ(server.Most(), DetailsWorker::kThreads);

    // One that goes while it is fetched is not handed on. Its answer is held until then, so that a
    // loaded machine cannot let the fetch end first.
    server.HoldAnswers(true);
    enqueue(worker, 7);
    for (int i = 0; i < 400 && server.Asked().size() < 6; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    worker.Cancel(7);
    server.HoldAnswers(false);
    for (int i = 0; i < 400 && !worker.Idle(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(worker.Idle());
    lock.lock();
    EXPECT_EQ(done.size(), 5u);
}

}  // namespace
}  // namespace tarnwick
