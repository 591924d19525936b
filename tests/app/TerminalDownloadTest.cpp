// SPDX-License-Identifier: GPL-3.0-or-later
// `tarnwick --download URL --output FILE` run as a child process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "HttpTestServer.h"
#include "ScriptedTcpServer.h"
#include "TempPath.h"
#include "UntrustedHttpsServer.h"

extern char** environ;

namespace tarnwick {
namespace {

using test::Exists;
using test::HttpTestServer;
using test::ReadFile;
using test::SampleBody;
using test::TempFolder;
using ::testing::HasSubstr;

struct Outcome {
    int exitCode = -1;
    std::string errorOutput;
};

// Runs the program with the arguments; `whileRunning` gets its process id.
Outcome RunTarnwick(std::vector<std::string> arguments, const std::function<void(pid_t)>& whileRunning = {}) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    arguments.insert(arguments.begin(), TARNWICK_BINARY);
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    int spawned = posix_spawn(&child, TARNWICK_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    Outcome outcome;
    if (spawned != 0) {
        close(pipeEnds[0]);
        return outcome;
    }
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = read(pipeEnds[0], buffer, sizeof buffer)) > 0) outcome.errorOutput.append(buffer, n);
    });
    if (whileRunning) whileRunning(child);
    int status = 0;
    waitpid(child, &status, 0);
    reader.join();
    close(pipeEnds[0]);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

TEST(TerminalDownloadTest, CompleteDownloadExitsZero) {
    HttpTestServer server;
    TempFolder folder;
    std::string target = folder.File("out.flv");
    Outcome outcome = RunTarnwick({"--download", server.Url("/file.bin"), "--output", target});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.errorOutput;
    EXPECT_EQ(ReadFile(target), SampleBody(HttpTestServer::kFileSize));
    EXPECT_THAT(outcome.errorOutput, HasSubstr("100%"));
}

TEST(TerminalDownloadTest, HttpErrorExitsOneWithTheMessageAndNoFile) {
    HttpTestServer server;
    TempFolder folder;
    std::string target = folder.File("out.flv");
    Outcome outcome = RunTarnwick({"--download", server.Url("/missing"), "--output", target});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_THAT(outcome.errorOutput,
                HasSubstr("Failed to receive a valid HTTP response from the server, Response Code:404"));
    EXPECT_FALSE(Exists(target));
}

TEST(TerminalDownloadTest, AFailedDownloadKeepsTheFileAndOnlyWebAddressesAreTried) {
    TempFolder folder;
    std::string target = folder.File("k.mp4");
    test::WriteFile(target, "precious\n");
    Outcome refused = RunTarnwick(
        {"--download", "http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/x.mp4", "--output", target});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(ReadFile(target), "precious\n");

    Outcome ftp = RunTarnwick({"--download", "ftp://x", "--output", target});
    EXPECT_EQ(ftp.exitCode, 1);
    EXPECT_THAT(ftp.errorOutput, HasSubstr("only http and https addresses can be downloaded"));
    EXPECT_EQ(ReadFile(target), "precious\n");
}

TEST(TerminalDownloadTest, InterruptCancelsAStalledDownload) {
    test::ScriptedTcpServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + std::string(100, 'v'), 0}},
                                   true);
    TempFolder folder;
    std::string target = folder.File("out.flv");
    std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/clip.flv";
    Outcome outcome = RunTarnwick({"--download", url, "--output", target}, [](pid_t child) {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        kill(child, SIGINT);
    });
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_THAT(outcome.errorOutput, HasSubstr("cancelled"));
    EXPECT_FALSE(Exists(target));
}

}  // namespace
}  // namespace tarnwick
