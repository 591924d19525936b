// SPDX-License-Identifier: GPL-3.0-or-later
// A raw TCP peer on 127.0.0.1 that answers with scripted bytes.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick::test {

// Accepts one connection, reads the request header, then sends each step's bytes after its delay; then
// closes, or keeps the connection open and silent until destroyed.
class ScriptedTcpServer {
public:
    struct Step {
        std::string bytes;
        int delayMs = 0;
    };

    ScriptedTcpServer(std::vector<Step> script, bool holdOpen);
    ~ScriptedTcpServer();
    ScriptedTcpServer(const ScriptedTcpServer&) = delete;
    ScriptedTcpServer& operator=(const ScriptedTcpServer&) = delete;

    int Port() const { return port_; }
    std::string ReceivedRequest() const;

private:
    void Run(std::vector<Step> script, bool holdOpen);

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    std::string request_;
    std::thread thread_;
};

}  // namespace tarnwick::test
