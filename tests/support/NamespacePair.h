// SPDX-License-Identifier: GPL-3.0-or-later
// A client and a server network namespace joined by a veth pair, made for a live test and removed with
// every process left in them; and where the programs a test starts lie.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace tarnwick::testing {

inline const std::string kClientAddress = "192.0.2.1";
inline const std::string kServerAddress = "192.0.2.2";

// Where a program lies, or empty; the children start without a search of PATH.
inline std::string FindProgram(const std::string& name) {
    for (const char* folder : {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/"})
        if (access((folder + name).c_str(), X_OK) == 0) return folder + name;
    return {};
}

// A client and a server network namespace joined by a veth pair; removed, with every process left in
// them (all started by this test), when the object goes.
class NamespacePair {
public:
    // tag: a few letters that name the test in the namespaces' and links' names.
    explicit NamespacePair(const std::string& tag)
        : ip_(FindProgram("ip")),
          client_("tw-" + tag + "-" + std::to_string(getpid()) + "-c"),
          server_("tw-" + tag + "-" + std::to_string(getpid()) + "-s"),
          clientLink_("tw" + tag.substr(0, 2) + std::to_string(getpid()) + "c") {}
    ~NamespacePair() {
        for (const std::string& name : made_) {
            ChildProcess pids({ip_, "netns", "pids", name});
            pids.Finish();
            for (size_t at = 0; at < pids.Stdout().size();) {
                const size_t end = pids.Stdout().find('\n', at);
                const std::string pid = pids.Stdout().substr(at, end - at);
                if (!pid.empty()) kill(static_cast<pid_t>(std::stol(pid)), SIGKILL);
                at = end == std::string::npos ? pids.Stdout().size() : end + 1;
            }
        }
        for (const std::string& name : made_) ChildProcess({ip_, "netns", "del", name}).Finish();
    }
    NamespacePair(const NamespacePair&) = delete;
    NamespacePair& operator=(const NamespacePair&) = delete;

    // False, with the reason, where namespaces cannot be made here.
    bool Make(std::string* why) {
        if (ip_.empty()) {
            *why = "no ip program (package iproute2)";
            return false;
        }
        const std::string serverLink = clientLink_.substr(0, clientLink_.size() - 1) + "s";
        const std::vector<std::vector<std::string>> steps = {
            {ip_, "netns", "add", client_},
            {ip_, "netns", "add", server_},
            {ip_, "link", "add", clientLink_, "type", "veth", "peer", "name", serverLink},
            {ip_, "link", "set", clientLink_, "netns", client_},
            {ip_, "link", "set", serverLink, "netns", server_},
            {ip_, "-n", client_, "addr", "add", kClientAddress + "/24", "dev", clientLink_},
            {ip_, "-n", server_, "addr", "add", kServerAddress + "/24", "dev", serverLink},
            {ip_, "-n", client_, "link", "set", clientLink_, "mtu", "1500", "up"},
            {ip_, "-n", server_, "link", "set", serverLink, "mtu", "1500", "up"},
            {ip_, "-n", server_, "link", "set", "lo", "up"},
            {ip_, "-n", client_, "link", "set", "lo", "up"},
        };
        for (const auto& step : steps) {
            ChildProcess child(step);
            if (child.Finish() != 0) {
                *why = "cannot make network namespaces here: " + child.Stderr();
                return false;
            }
            if (step[1] == "netns") made_.push_back(step[3]);
        }
        return true;
    }

    // argv run inside the client or the server namespace ("ip netns exec" starts it as the same process).
    std::vector<std::string> InClient(const std::vector<std::string>& argv) const { return In(client_, argv); }
    std::vector<std::string> InServer(const std::vector<std::string>& argv) const { return In(server_, argv); }
    const std::string& ClientLink() const { return clientLink_; }

private:
    std::vector<std::string> In(const std::string& name, const std::vector<std::string>& argv) const {
        std::vector<std::string> all{ip_, "netns", "exec", name};
        all.insert(all.end(), argv.begin(), argv.end());
        return all;
    }

    std::string ip_;
    std::string client_, server_, clientLink_;
    std::vector<std::string> made_;
};

}  // namespace tarnwick::testing
