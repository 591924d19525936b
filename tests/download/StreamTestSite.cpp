// SPDX-License-Identifier: GPL-3.0-or-later
// HLS and DASH streams that ffmpeg makes from its test picture, served on 127.0.0.1 for the stream tests.
#include "StreamTestSite.h"

#include <httplib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace tarnwick::test {
namespace {

// Runs a program with arguments (no shell) and returns its standard output, or nothing when it failed.
bool Run(const std::vector<std::string>& arguments, std::string* output = nullptr) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeEnds[1], 1);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(got));
    close(pipeEnds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
    if (output) *output = text;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

struct StreamTestSite::Impl {
    httplib::Server server;
    std::filesystem::path folder;
    std::atomic<bool> ending{false};
};

StreamTestSite::StreamTestSite() : impl_(std::make_unique<Impl>()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-streams-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        problem_ = "no temporary folder";
        return;
    }
    impl_->folder = pattern;
    const std::string folder = pattern;
    std::filesystem::create_directories(impl_->folder / "hls");
    std::filesystem::create_directories(impl_->folder / "dash");
    std::filesystem::create_directories(impl_->folder / "dashtpl");
    const std::vector<std::string> input = {"ffmpeg",
                                            "-loglevel",
                                            "error",
                                            "-nostdin",
                                            "-y",
                                            "-f",
                                            "lavfi",
                                            "-i",
                                            "testsrc=size=160x120:rate=25",
                                            "-f",
                                            "lavfi",
                                            "-i",
                                            "sine=frequency=440:sample_rate=44100",
                                            "-t",
                                            "4",
                                            "-c:v",
                                            "libx264",
                                            "-pix_fmt",
                                            "yuv420p",
                                            "-g",
                                            "25",
                                            "-c:a",
                                            "aac"};
    auto with = [&input](std::vector<std::string> rest) {
        std::vector<std::string> all = input;
        all.insert(all.end(), rest.begin(), rest.end());
        return all;
    };
    if (!Run(with({"-f", "hls", "-hls_time", "1", "-hls_playlist_type", "vod", "-hls_segment_filename",
                   folder + "/hls/seg%d.ts", "-master_pl_name", "master.m3u8", folder + "/hls/index.m3u8"})) ||
        !Run(with({"-f", "dash", "-seg_duration", "1", folder + "/dash/manifest.mpd"})) ||
        !Run(with({"-f", "dash", "-seg_duration", "1", "-use_timeline", "0", folder + "/dashtpl/manifest.mpd"}))) {
        problem_ = "ffmpeg could not make the test streams";
        return;
    }
    const std::string index = Slurp(impl_->folder / "hls/index.m3u8");
    std::string holey = index;
    if (const size_t at = holey.find("seg2.ts"); at != std::string::npos) holey.replace(at, 7, "gone.ts");

    auto& s = impl_->server;
    s.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        const auto now =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
        std::lock_guard lock(visitsLock_);
        visits_.push_back({request.remote_port, static_cast<int64_t>(now.count()), request.path});
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.set_file_extension_and_mimetype_mapping("m3u8", "application/vnd.apple.mpegurl");
    s.set_file_extension_and_mimetype_mapping("mpd", "application/dash+xml");
    s.set_file_extension_and_mimetype_mapping("m4s", "video/iso.segment");
    s.set_file_extension_and_mimetype_mapping("ts", "video/mp2t");
    s.set_mount_point("/hls", (impl_->folder / "hls").string());
    s.set_mount_point("/dash", (impl_->folder / "dash").string());
    s.set_mount_point("/dashtpl", (impl_->folder / "dashtpl").string());
    s.set_file_request_handler([this](const httplib::Request& request, httplib::Response&) {
        if (request.path.find(".ts") != std::string::npos || request.path.find(".m4s") != std::string::npos)
            ++segments_;
    });
    s.Get("/stall/index.m3u8", [index](const httplib::Request&, httplib::Response& response) {
        response.set_content(index, "application/vnd.apple.mpegurl");
    });
    s.Get("/holey/index.m3u8", [holey](const httplib::Request&, httplib::Response& response) {
        response.set_content(holey, "application/vnd.apple.mpegurl");
    });
    s.Get(R"(/(stall|holey)/(seg\d+)\.ts)", [this](const httplib::Request& request, httplib::Response& response) {
        if (request.matches[1] == "stall" && request.matches[2] != "seg0") {
            // Nothing arrives until the site ends (or a minute is over).
            for (int i = 0; i < 600 && !impl_->ending.load(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            response.status = 503;
            return;
        }
        ++segments_;
        response.set_content(Slurp(impl_->folder / "hls" / (request.matches[2].str() + ".ts")), "video/mp2t");
    });
    // The fixed-length manifest with a segment gone: the second of the video (a hole), or its last.
    s.Get(R"(/(dashtplholey|dashtplshort)/([\w.-]+))",
          [this](const httplib::Request& request, httplib::Response& response) {
              const std::string name = request.matches[2];
              const std::string gone =
                  request.matches[1] == "dashtplholey" ? "chunk-stream0-00002.m4s" : "chunk-stream0-00004.m4s";
              const std::filesystem::path file = impl_->folder / "dashtpl" / name;
              if (name == gone || !std::filesystem::is_regular_file(file)) {
                  response.status = 404;
                  return;
              }
              ++segments_;
              response.set_content(Slurp(file), name.size() > 4 && name.substr(name.size() - 4) == ".mpd"
                                                    ? "application/dash+xml"
                                                    : "video/iso.segment");
          });
    // The HLS files for a client that sends what the browser sent: the cookie and the page it came from.
    s.Get(R"(/guarded/([\w.-]+))", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string name = request.matches[1];
        const std::filesystem::path file = impl_->folder / "hls" / name;
        if (request.get_header_value("Cookie").find(kCookie) == std::string::npos ||
            request.get_header_value("Referer") != kReferer) {
            response.status = 403;
            return;
        }
        if (!std::filesystem::is_regular_file(file)) {
            response.status = 404;
            return;
        }
        response.set_content(Slurp(file),
                             name.find(".m3u8") != std::string::npos ? "application/vnd.apple.mpegurl" : "video/mp2t");
    });
    port_ = s.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { impl_->server.listen_after_bind(); });
    for (int i = 0; i < 500 && !impl_->server.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!impl_->server.is_running()) problem_ = "the stream site could not start";
}

StreamTestSite::~StreamTestSite() {
    impl_->ending.store(true);
    impl_->server.stop();
    if (thread_.joinable()) thread_.join();
    std::error_code ignored;
    if (!impl_->folder.empty()) std::filesystem::remove_all(impl_->folder, ignored);
}

std::vector<StreamTestSite::Visit> StreamTestSite::Visits() const {
    std::lock_guard lock(visitsLock_);
    return visits_;
}

std::string StreamTestSite::Folder() const {
    return impl_->folder.string();
}

std::string StreamTestSite::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

double ProbeDuration(const std::string& path) {
    std::string output;
    if (!Run({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path}, &output))
        return -1;
    return std::atof(output.c_str()) > 0 ? std::atof(output.c_str()) : -1;
}

}  // namespace tarnwick::test
