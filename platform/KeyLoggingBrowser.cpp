// SPDX-License-Identifier: GPL-3.0-or-later
// A web browser started with a TLS key log and a profile of its own, both removed when it goes.
#include "platform/KeyLoggingBrowser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>

extern char** environ;

namespace tarnwick {

namespace {

using namespace std::chrono_literals;

// How long the desktop may take to name its default browser, and a browser to end when asked.
constexpr auto kDefaultLookupTime = 2s;
constexpr auto kEndTime = 5s;
constexpr size_t kMostDefaultNameBytes = 4096;

const char* const kFallbacks[] = {"chromium", "google-chrome", "firefox", "firefox-esr"};

// The program's path: a name with a slash as it is, else the first executable of that name in PATH.
std::string FindProgram(const std::string& name) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* path = std::getenv("PATH");
    std::string folders = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (size_t at = 0; at <= folders.size();) {
        const size_t end = std::min(folders.find(':', at), folders.size());
        const std::string folder = folders.substr(at, end - at);
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        struct stat status {};
        if (stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = end + 1;
    }
    return {};
}

// Signals back to their defaults and none blocked, in a session of its own: the child is not ours to
// stop with a Ctrl-C in the terminal; we end it ourselves.
void PrepareAttributes(posix_spawnattr_t& attributes) {
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t none, defaults;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
}

// The desktop's default browser as xdg-settings names it ("firefox-esr.desktop"); empty when it cannot say.
std::string DesktopDefaultBrowser() {
    const std::string program = FindProgram("xdg-settings");
    if (program.empty()) return {};
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    PrepareAttributes(attributes);
    std::string arguments[] = {program, "get", "default-web-browser"};
    char* argv[] = {arguments[0].data(), arguments[1].data(), arguments[2].data(), nullptr};
    pid_t child = -1;
    const int failed = posix_spawn(&child, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(output[1]);
    std::string answer;
    if (failed == 0) {
        const auto until = std::chrono::steady_clock::now() + kDefaultLookupTime;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd ready{output[0], POLLIN, 0};
            if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[512];
            const ssize_t got = read(output[0], buffer, sizeof buffer);
            if (got <= 0 || answer.size() + static_cast<size_t>(got) > kMostDefaultNameBytes) break;
            answer.append(buffer, static_cast<size_t>(got));
        }
        if (waitpid(child, nullptr, WNOHANG) == 0) kill(child, SIGKILL);  // too slow: ours to end
        waitpid(child, nullptr, 0);
    }
    close(output[0]);
    while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back()))) answer.pop_back();
    return answer;
}

// The program of a desktop entry's name ("google-chrome.desktop" is google-chrome), when found.
std::string ProgramOfDesktopEntry(std::string entry) {
    constexpr std::string_view kSuffix = ".desktop";
    if (entry.size() <= kSuffix.size() || entry.compare(entry.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
        return {};
    entry.resize(entry.size() - kSuffix.size());
    if (entry.find('/') != std::string::npos) return {};
    return FindProgram(entry);
}

// A folder only this user may enter: $XDG_RUNTIME_DIR when it is one, else a new one (made is set then).
std::string PrivateFolder(bool& made, std::string* error) {
    made = false;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
        struct stat status {};
        if (stat(runtime, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == geteuid() &&
            (status.st_mode & 077) == 0)
            return runtime;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        *error = "cannot make a private folder for the browser's key log: " + std::string(std::strerror(errno));
        return {};
    }
    made = true;
    return pattern;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Describe(int status) {
    if (WIFEXITED(status)) return "ended with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "was stopped by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

}  // namespace

std::optional<KeyLoggingBrowser::Family> KeyLoggingBrowser::FamilyOf(const std::string& program) {
    const std::string name = Lower(std::filesystem::path(program).filename().string());
    for (const char* firefox : {"firefox", "librewolf", "iceweasel", "waterfox", "icecat", "floorp"})
        if (name.find(firefox) != std::string::npos) return Family::Firefox;
    for (const char* chromium : {"chromium", "chrome", "brave", "msedge", "microsoft-edge", "vivaldi", "opera"})
        if (name.find(chromium) != std::string::npos) return Family::Chromium;
    return std::nullopt;
}

std::vector<std::string> KeyLoggingBrowser::CommandLine(Family family, const std::string& program,
                                                        const std::string& profile,
                                                        const std::vector<std::string>& extra) {
    std::vector<std::string> words = {program};
    if (family == Family::Chromium) {
        words.insert(words.end(), {"--user-data-dir=" + profile, "--no-first-run", "--no-default-browser-check"});
    } else {
        words.insert(words.end(), {"-profile", profile, "-no-remote", "-new-instance"});
    }
    words.insert(words.end(), extra.begin(), extra.end());
    return words;
}

std::unique_ptr<KeyLoggingBrowser> KeyLoggingBrowser::Start(const std::string& name, std::string* error) {
    std::string program;
    std::optional<Family> family;
    if (!name.empty()) {
        program = FindProgram(name);
        if (program.empty()) {
            *error = "cannot start the browser " + name + ": no such program";
            return nullptr;
        }
        family = FamilyOf(program);
        if (!family) {
            *error = "cannot start " + name + " with a key log: it is not a Chromium- or Firefox-based browser";
            return nullptr;
        }
    } else {
        program = ProgramOfDesktopEntry(DesktopDefaultBrowser());
        family = program.empty() ? std::nullopt : FamilyOf(program);
        for (size_t i = 0; !family && i < std::size(kFallbacks); ++i) {
            program = FindProgram(kFallbacks[i]);
            if (!program.empty()) family = FamilyOf(program);
        }
        if (!family) {
            *error =
                "no browser that writes a key log was found (install chromium or firefox, or name one with "
                "--browser NAME)";
            return nullptr;
        }
    }

    std::unique_ptr<KeyLoggingBrowser> browser(new KeyLoggingBrowser());
    browser->program_ = program;
    browser->family_ = *family;
    bool madeFolder = false;
    const std::string folder = PrivateFolder(madeFolder, error);
    if (folder.empty()) return nullptr;
    if (madeFolder) browser->privateFolder_ = folder;
    std::string keyLog = folder + "/tarnwick-keylog-XXXXXX";
    const int file = mkstemp(keyLog.data());  // mode 0600
    if (file < 0) {
        *error = "cannot make the browser's key log in " + folder + ": " + std::strerror(errno);
        return nullptr;
    }
    close(file);
    browser->keyLogPath_ = keyLog;
    // The profile, and the browser's own temporary files (which it may leave when it is ended), in one
    // folder that goes as a whole.
    // Chromium makes a Unix socket in its temporary folder, and aborts at start when the socket's path is
    // longer than a socket address holds: a long TMPDIR gives way to /tmp.
    std::filesystem::path base = std::filesystem::temp_directory_path();
    constexpr std::string_view kDeepest = "/tarnwick-browser-XXXXXX/tmp/.org.chromium.Chromium.XXXXXX/SingletonSocket";
    if (base.native().size() + kDeepest.size() >= sizeof(sockaddr_un::sun_path)) base = "/tmp";
    std::string folderOfItsOwn = (base / "tarnwick-browser-XXXXXX").string();
    if (!mkdtemp(folderOfItsOwn.data())) {
        *error = "cannot make a profile folder for the browser: " + std::string(std::strerror(errno));
        return nullptr;
    }
    browser->profilePath_ = folderOfItsOwn;
    const std::string profile = folderOfItsOwn + "/profile", temporary = folderOfItsOwn + "/tmp";
    if (mkdir(profile.c_str(), 0700) != 0 || mkdir(temporary.c_str(), 0700) != 0) {
        *error = "cannot make a profile folder for the browser: " + std::string(std::strerror(errno));
        return nullptr;
    }

    std::vector<std::string> extra;
    if (const char* words = std::getenv(kTestArgumentsVariable)) {
        const std::string text = words;
        for (size_t at = 0; at < text.size();) {
            const size_t end = std::min(text.find(' ', at), text.size());
            if (end > at) extra.push_back(text.substr(at, end - at));
            at = end + 1;
        }
    }
    std::vector<std::string> words = CommandLine(*family, program, profile, extra);
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::string keyLogVariable = "SSLKEYLOGFILE=" + keyLog, temporaryVariable = "TMPDIR=" + temporary;
    std::vector<char*> environment;
    for (char** variable = environ; *variable; ++variable)
        if (std::strncmp(*variable, "SSLKEYLOGFILE=", 14) != 0 && std::strncmp(*variable, "TMPDIR=", 7) != 0)
            environment.push_back(*variable);
    environment.push_back(keyLogVariable.data());
    environment.push_back(temporaryVariable.data());
    environment.push_back(nullptr);

    // Its messages would mix with ours (and standard output may be a list that programs read).
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    PrepareAttributes(attributes);
    const int failed =
        posix_spawn(&browser->pid_, program.c_str(), &actions, &attributes, argv.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        browser->pid_ = -1;
        *error = "cannot start the browser " + program + ": " + std::strerror(failed);
        return nullptr;
    }
    return browser;
}

bool KeyLoggingBrowser::Running(std::string* status) {
    if (pid_ <= 0) return false;
    int how = 0;
    const pid_t ended = waitpid(pid_, &how, WNOHANG);
    if (ended == 0) return true;
    if (status) *status = ended == pid_ ? Describe(how) : std::string("ended");
    pid_ = -1;
    return false;
}

std::string KeyLoggingBrowser::AdviceWhenEnded() const {
    // Chromium's sandbox refuses the superuser; capturing does not need one (see the capture helper).
    if (family_ == Family::Chromium && geteuid() == 0)
        return "Chromium-based browsers do not run as root: start Tarnwick as a normal user";
    return {};
}

void KeyLoggingBrowser::End() {
    if (pid_ <= 0) return;
    // Asked first, so that it closes its profile properly; made to at the end.
    kill(pid_, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + kEndTime;
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= until) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    pid_ = -1;
}

KeyLoggingBrowser::~KeyLoggingBrowser() {
    End();
    std::error_code ignored;
    if (!keyLogPath_.empty()) std::filesystem::remove(keyLogPath_, ignored);
    if (!profilePath_.empty()) std::filesystem::remove_all(profilePath_, ignored);
    if (!privateFolder_.empty()) std::filesystem::remove(privateFolder_, ignored);
}

}  // namespace tarnwick
