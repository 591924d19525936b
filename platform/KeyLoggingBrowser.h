// SPDX-License-Identifier: GPL-3.0-or-later
// A web browser started with a TLS key log and a profile of its own, both removed when it goes.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// Browsers write the secrets of their TLS connections into the file SSLKEYLOGFILE names, if it is set
// when they start. A browser already running would take the new window over without it, so this one
// gets a profile of its own. The key log lies in $XDG_RUNTIME_DIR (else in a folder of its own), only
// this user can read it, and it goes with the object; so does the browser, whose profile goes too.
// No shell is involved anywhere: every program runs from its argument list.
class KeyLoggingBrowser {
public:
    enum class Family { Chromium, Firefox };

    // Extra words for the browser's command line, split at spaces, for tests only (a headless browser and
    // the page it opens).
    static constexpr const char* kTestArgumentsVariable = "TARNWICK_TEST_BROWSER_ARGUMENTS";

    // name: a program name or path (chromium, firefox, /opt/x/chrome...); empty for the desktop's default
    // browser when it is Chromium- or Firefox-based, else the first of chromium, google-chrome, firefox,
    // firefox-esr found. Nothing, with *error set, when no browser can be started.
    static std::unique_ptr<KeyLoggingBrowser> Start(const std::string& name, std::string* error);
    // Ends the browser if it still runs, then removes its key log and profile.
    ~KeyLoggingBrowser();
    KeyLoggingBrowser(const KeyLoggingBrowser&) = delete;
    KeyLoggingBrowser& operator=(const KeyLoggingBrowser&) = delete;

    const std::string& KeyLogPath() const { return keyLogPath_; }
    // The program that was started, as found.
    const std::string& Program() const { return program_; }
    // False once the browser has ended; *status then says how, in words.
    bool Running(std::string* status = nullptr);
    // What the user can do when the browser ended by itself at once; empty when nothing is known.
    std::string AdviceWhenEnded() const;

    // Which kind of browser a program is, by its name; nothing when it is neither kind.
    static std::optional<Family> FamilyOf(const std::string& program);
    // The command line: the program, its own profile, then the extra words.
    static std::vector<std::string> CommandLine(Family family, const std::string& program, const std::string& profile,
                                                const std::vector<std::string>& extra);

private:
    KeyLoggingBrowser() = default;
    void End();

    std::string program_;
    Family family_ = Family::Chromium;
    std::string keyLogPath_;
    std::string profilePath_;    // the profile and the browser's temporary folder
    std::string privateFolder_;  // made for the key log when $XDG_RUNTIME_DIR cannot hold it
    pid_t pid_ = -1;
};

}  // namespace tarnwick
