// SPDX-License-Identifier: GPL-3.0-or-later
// An HTTPS server on 127.0.0.1 whose certificate nobody trusts.
#include "UntrustedHttpsServer.h"

#include <fcntl.h>
#include <httplib.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <vector>

#include "SampleData.h"

extern char** environ;

namespace tarnwick::test {

struct UntrustedHttpsServer::Impl {
    std::string folder;
    std::unique_ptr<httplib::SSLServer> server;
};

UntrustedHttpsServer::UntrustedHttpsServer(const Options& options) : impl_(std::make_unique<Impl>()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-tls-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return;
    impl_->folder = pattern;
    std::string key = pattern + "/key.pem", cert = pattern + "/cert.pem";
    std::vector<std::string> arguments = {"openssl", "req",  "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                                          key,       "-out", cert,    "-days",   "1",        "-subj",  "/CN=127.0.0.1"};
    if (options.addressInCertificate) {
        arguments.push_back("-addext");
        arguments.push_back("subjectAltName=IP:127.0.0.1");
    }
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    int status = 1;
    if (posix_spawnp(&child, "openssl", &actions, nullptr, argv.data(), environ) == 0) waitpid(child, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0) return;
    impl_->server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    if (!impl_->server->is_valid()) return;
    impl_->server->Get("/file.bin", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(SampleBody(1000), "video/x-flv");
    });
    if (!options.folder.empty()) {
        impl_->server->set_file_extension_and_mimetype_mapping("m3u8", "application/vnd.apple.mpegurl");
        impl_->server->set_file_extension_and_mimetype_mapping("ts", "video/mp2t");
        impl_->server->set_mount_point("/", options.folder);
    }
    port_ = impl_->server->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { impl_->server->listen_after_bind(); });
    for (int i = 0; i < 500 && !impl_->server->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

UntrustedHttpsServer::~UntrustedHttpsServer() {
    if (thread_.joinable()) {
        impl_->server->stop();
        thread_.join();
    }
    std::error_code ignored;
    if (!impl_->folder.empty()) std::filesystem::remove_all(impl_->folder, ignored);
}

std::string UntrustedHttpsServer::CertificatePath() const {
    return impl_->folder + "/cert.pem";
}

std::string UntrustedHttpsServer::Url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace tarnwick::test
