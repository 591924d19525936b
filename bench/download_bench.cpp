// SPDX-License-Identifier: GPL-3.0-or-later
// Download cost from a loopback server: CPU and wall time of HttpDownloader and RawRequestDownloader next to the
// curl tool, for the same body from the same server, written to a file.
#include <httplib.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "download/HttpDownloader.h"
#include "download/RawRequestDownloader.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Cost {
    double wallSeconds = -1;
    double cpuSeconds = -1;  // user and system time of the fetching side only
    bool ok = false;
};

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double RusageSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The curl tool fetching the URL into the file; its CPU comes from the kernel's account of the child.
Cost RunCurlTool(const std::string& url, const std::string& file) {
    std::vector<std::string> arguments = {"curl", "-sS", "--fail", "-o", file, url};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    Cost cost;
    const auto start = Clock::now();
    pid_t child = 0;
    if (posix_spawnp(&child, "curl", nullptr, nullptr, argv.data(), environ) != 0) return cost;
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) return cost;
    cost.wallSeconds = Seconds(start);
    cost.cpuSeconds = RusageSeconds(usage);
    cost.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return cost;
}

// A transfer that runs on the calling thread (curl_easy_perform, the raw replay's loop): the thread's CPU.
Cost RunInThread(const std::function<int()>& transfer) {
    Cost cost;
    const double cpuStart = ThreadCpuSeconds();
    const auto start = Clock::now();
    cost.ok = transfer() == 1;
    cost.wallSeconds = Seconds(start);
    cost.cpuSeconds = ThreadCpuSeconds() - cpuStart;
    return cost;
}

double Median(std::vector<double> values) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

// download_bench [MiB] [ROUNDS] [FOLDER]: the body size (default 1024 MiB), the interleaved rounds (default 3)
// and where the copies are written (default the system's temporary folder; each is removed at once;
// /dev/null measures the receiving alone).
int main(int argc, char** argv) {
    const uint64_t mebibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::filesystem::path folder =
        argc > 3 ? std::filesystem::path(argv[3]) : std::filesystem::temp_directory_path();
    const uint64_t size = mebibytes << 20;
    const bool discard = folder == "/dev/null";
    const std::string file =
        discard ? folder.string() : (folder / ("download_bench." + std::to_string(getpid()) + ".bin")).string();
    auto removeCopy = [&] {
        if (!discard) std::filesystem::remove(file);
    };

    // The body is made on the fly from one repeated block, so nothing large is stored.
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 2654435761u) >> 13);
    httplib::Server server;
    server.Get("/big", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(size, "video/x-flv", [&](size_t offset, size_t length, httplib::DataSink& sink) {
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

    std::vector<Cost> curlRuns, httpRuns, rawRuns;
    for (int round = 0; round < rounds; ++round) {
        curlRuns.push_back(RunCurlTool(url, file));
        removeCopy();
        httpRuns.push_back(RunInThread([&] {
            tarnwick::HttpDownloader http;
            http.url = url;
            http.filePath = file;
            http.userAgent = tarnwick::kDownloadUserAgent;
            return http.DownloadToFile();
        }));
        removeCopy();
        rawRuns.push_back(RunInThread([&] {
            tarnwick::RawRequestDownloader raw;
            raw.url = "http://127.0.0.1/big";
            raw.port = static_cast<uint16_t>(port);
            raw.requestText = "GET /big HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
            raw.filePath = file;
            raw.expectedSize = static_cast<int64_t>(size);
            return raw.Download();
        }));
        removeCopy();
    }
    server.stop();
    serving.join();

    std::printf("body: %llu MiB from 127.0.0.1:%d into %s, %d interleaved rounds, medians\n",
                static_cast<unsigned long long>(mebibytes), port, folder.c_str(), rounds);
    std::printf("%-22s %9s %9s %10s %12s\n", "", "CPU s", "wall s", "MB/s", "CPU ns/byte");
    struct Row {
        const char* name;
        const std::vector<Cost>* runs;
    };
    double curlCpu = -1;
    bool allOk = true;
    for (const Row& row :
         {Row{"curl tool", &curlRuns}, Row{"HttpDownloader", &httpRuns}, Row{"RawRequestDownloader", &rawRuns}}) {
        std::vector<double> cpu, wall;
        bool ok = true;
        for (const Cost& cost : *row.runs) {
            ok = ok && cost.ok;
            cpu.push_back(cost.cpuSeconds);
            wall.push_back(cost.wallSeconds);
        }
        allOk = allOk && ok;
        if (!ok) {
            std::printf("%-22s failed\n", row.name);
            continue;
        }
        const double medianCpu = Median(cpu), medianWall = Median(wall);
        if (row.runs == &curlRuns) curlCpu = medianCpu;
        std::printf("%-22s %9.3f %9.3f %10.1f %12.3f", row.name, medianCpu, medianWall, megabytes / medianWall,
                    medianCpu * 1e9 / static_cast<double>(size));
        if (row.runs != &curlRuns && curlCpu > 0) std::printf("   CPU x curl: %.2f", medianCpu / curlCpu);
        std::printf("\n");
    }
    std::printf("goal: HttpDownloader's CPU per byte at most 1.1 x the curl tool's\n");
    return allOk ? 0 : 1;
}
