// Download throughput from a loopback server: HttpDownloader and RawRequestDownloader next to the curl tool.
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <httplib.h>
#include <string>
#include <thread>

#include "download/HttpDownloader.h"
#include "download/RawRequestDownloader.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Seconds the curl tool needs to fetch the URL into /dev/null, or a negative value when it failed.
double TimeCurlTool(const std::string& url) {
    std::string program = "curl";
    std::string silent = "-sS";
    std::string fail = "--fail";
    std::string output = "-o";
    std::string sink = "/dev/null";
    std::string target = url;
    char* argv[] = {program.data(), silent.data(), fail.data(), output.data(), sink.data(), target.data(), nullptr};
    auto start = Clock::now();
    pid_t child = 0;
    if (posix_spawnp(&child, "curl", nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t mebibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const uint64_t size = mebibytes << 20;

    // The body is made on the fly from one repeated block, so nothing large is stored.
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 2654435761u) >> 13);
    httplib::Server server;
    server.Get("/big", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(size, "video/x-flv",
                                      [&](size_t offset, size_t length, httplib::DataSink& sink) {
                                          size_t start = offset % block.size();
                                          size_t n = std::min(length, block.size() - start);
                                          return sink.write(block.data() + start, n);
                                      });
    });
    int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/big";
    const double megabytes = static_cast<double>(size) / 1e6;

    double curlSeconds = TimeCurlTool(url);

    tarnwick::HttpDownloader http;
    http.url = url;
    http.filePath = "/dev/null";
    http.userAgent = tarnwick::kDownloadUserAgent;
    auto start = Clock::now();
    int httpResult = http.DownloadToFile();
    double httpSeconds = Seconds(start);

    tarnwick::RawRequestDownloader raw;
    raw.url = "http://127.0.0.1/big";
    raw.port = static_cast<uint16_t>(port);
    raw.requestText = "GET /big HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    raw.filePath = "/dev/null";
    raw.expectedSize = static_cast<int64_t>(size);
    start = Clock::now();
    int rawResult = raw.Download();
    double rawSeconds = Seconds(start);

    server.stop();
    serving.join();

    std::printf("body: %llu MiB from 127.0.0.1:%d\n", static_cast<unsigned long long>(mebibytes), port);
    if (curlSeconds > 0) std::printf("curl tool:            %8.1f MB/s (%.2f s)\n", megabytes / curlSeconds, curlSeconds);
    else std::printf("curl tool:            failed\n");
    std::printf("HttpDownloader:       %8.1f MB/s (%.2f s)%s\n", megabytes / httpSeconds, httpSeconds,
                httpResult ? "" : " FAILED");
    std::printf("RawRequestDownloader: %8.1f MB/s (%.2f s)%s\n", megabytes / rawSeconds, rawSeconds,
                rawResult ? "" : " FAILED");
    if (curlSeconds > 0) {
        std::printf("ratio HttpDownloader / curl tool:       %.2f (goal >= 0.90)\n", curlSeconds / httpSeconds);
        std::printf("ratio RawRequestDownloader / curl tool: %.2f\n", curlSeconds / rawSeconds);
    }
    return httpResult && rawResult ? 0 : 1;
}
