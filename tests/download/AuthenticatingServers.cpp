// SPDX-License-Identifier: GPL-3.0-or-later
// Servers on 127.0.0.1 that ask who is calling: a proxy that wants a password, an HTTPS site that wants
// a client certificate.
#include "AuthenticatingServers.h"

#include <fcntl.h>
#include <httplib.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>

#include "SampleData.h"

extern char** environ;

namespace tarnwick::test {
namespace {

bool RunOpenssl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "openssl");
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
    return status == 0;
}

template <class Server>
int Start(Server& server, std::thread& thread) {
    int port = server.bind_to_any_port("127.0.0.1");
    thread = std::thread([&server] { server.listen_after_bind(); });
    for (int i = 0; i < 500 && !server.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return port;
}

}  // namespace

struct PasswordProxy::Impl {
    httplib::Server server;
};

PasswordProxy::PasswordProxy() : impl_(std::make_unique<Impl>()) {
    // A proxy is sent the whole address ("GET http://host/path"): every target is taken.
    impl_->server.Get(".*", [](const httplib::Request& request, httplib::Response& response) {
        // "agent:pass" in base64.
        if (request.get_header_value("Proxy-Authorization") == "Basic YWdlbnQ6cGFzcw==") {
            response.set_content(SampleBody(1000), "video/x-flv");
            return;
        }
        response.status = 407;
        response.set_header("Proxy-Authenticate", "Basic realm=\"corporate\"");
        response.set_content("proxy says no", "text/plain");
    });
    port_ = Start(impl_->server, thread_);
}

PasswordProxy::~PasswordProxy() {
    impl_->server.stop();
    thread_.join();
}

struct CertificateDemandingServer::Impl {
    std::string folder;
    std::unique_ptr<httplib::SSLServer> server;
};

CertificateDemandingServer::CertificateDemandingServer() : impl_(std::make_unique<Impl>()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-client-cert-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return;
    impl_->folder = pattern;
    const std::string& f = impl_->folder;
    bool made = RunOpenssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f + "/server.key", "-out",
                            f + "/server.pem", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                            "subjectAltName=IP:127.0.0.1"}) &&
                RunOpenssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f + "/client.key", "-out",
                            f + "/client.crt", "-days", "1", "-subj", "/CN=viewer"}) &&
                RunOpenssl({"pkcs12", "-export", "-in", f + "/client.crt", "-inkey", f + "/client.key", "-out",
                            f + "/client.p12", "-passout", std::string("pass:") + kBundlePassPhrase});
    if (!made) return;
    {
        std::ofstream pem(f + "/client.pem", std::ios::binary);
        pem << std::ifstream(f + "/client.key").rdbuf() << std::ifstream(f + "/client.crt").rdbuf();
    }
    // The client's own certificate is the only authority the server trusts for clients.
    impl_->server = std::make_unique<httplib::SSLServer>((f + "/server.pem").c_str(), (f + "/server.key").c_str(),
                                                         (f + "/client.crt").c_str());
    if (!impl_->server->is_valid()) return;
    impl_->server->Get("/file.bin", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(SampleBody(1000), "video/x-flv");
    });
    port_ = Start(*impl_->server, thread_);
}

CertificateDemandingServer::~CertificateDemandingServer() {
    if (thread_.joinable()) {
        impl_->server->stop();
        thread_.join();
    }
    std::error_code ignored;
    if (!impl_->folder.empty()) std::filesystem::remove_all(impl_->folder, ignored);
}

std::string CertificateDemandingServer::Url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
}

std::string CertificateDemandingServer::ServerCertificate() const {
    return impl_->folder + "/server.pem";
}
std::string CertificateDemandingServer::ClientPem() const {
    return impl_->folder + "/client.pem";
}
std::string CertificateDemandingServer::ClientBundle() const {
    return impl_->folder + "/client.p12";
}

}  // namespace tarnwick::test
