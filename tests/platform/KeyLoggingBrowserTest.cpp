// SPDX-License-Identifier: GPL-3.0-or-later
// Which browser --browser starts and how: stand-in programs on a PATH of the test's own record what they
// were given, so the choice, the command line and the key log can be checked without a real browser.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/KeyLoggingBrowser.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

// A folder of stand-ins put first on PATH (alone, so that no real browser is found) while it lives.
class FakePrograms {
public:
    FakePrograms() : saved_(std::getenv("PATH") ? std::getenv("PATH") : "") {
        setenv("PATH", (dir_ / "bin").c_str(), 1);
        std::filesystem::create_directories(dir_ / "bin");
    }
    ~FakePrograms() { setenv("PATH", saved_.c_str(), 1); }

    // A browser that writes its name, arguments, key log and temporary folder, then waits to be ended.
    void AddBrowser(const std::string& name) {
        Add(name,
            "{ echo \"$0\"; for a in \"$@\"; do echo \"$a\"; done; echo \"KEYLOG=$SSLKEYLOGFILE\";"
            " echo \"TMPDIR=$TMPDIR\"; } > \"" +
                Record() + ".part\"; /bin/mv \"" + Record() + ".part\" \"" + Record() + "\"; exec /bin/sleep 30");
    }
    void SetDesktopDefault(const std::string& entry) { Add("xdg-settings", "echo " + entry); }

    // What the started browser wrote, once it has (at most a few seconds).
    std::string Started() const {
        for (int i = 0; i < 250 && !std::filesystem::exists(Record()); ++i) std::this_thread::sleep_for(20ms);
        return testing::ReadFile(Record());
    }

private:
    void Add(const std::string& name, const std::string& body) {
        const std::string path = dir_.Write("bin/" + name, "#!/bin/sh\n" + body + "\n");
        chmod(path.c_str(), 0755);
    }
    std::string Record() const { return dir_ / "started.txt"; }

    testing::TempDir dir_;
    std::string saved_;
};

// The desktop's default is taken when it is a browser that writes a key log; it gets a profile of its own.
TEST(KeyLoggingBrowser, TheDesktopDefaultIsStartedWithAKeyLogAndAProfileOfItsOwn) {
    FakePrograms programs;
    programs.AddBrowser("chromium");
    programs.AddBrowser("firefox-esr");
    programs.SetDesktopDefault("firefox-esr.desktop");
    std::string error, keyLog, started;
    {
        auto browser = KeyLoggingBrowser::Start("", &error);
        ASSERT_TRUE(browser) << error;
        keyLog = browser->KeyLogPath();
        struct stat status {};
        ASSERT_EQ(stat(keyLog.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u);
        started = programs.Started();
        EXPECT_TRUE(browser->Running());
    }
    EXPECT_NE(started.find("firefox-esr\n-profile\n"), std::string::npos) << started;
    EXPECT_NE(started.find("\n-no-remote\n"), std::string::npos) << started;
    EXPECT_NE(started.find("KEYLOG=" + keyLog + "\n"), std::string::npos) << started;
    // Gone with the object: the key log, and the profile named on the command line.
    EXPECT_FALSE(std::filesystem::exists(keyLog));
    const size_t profileAt = started.find("-profile\n") + 9;
    EXPECT_FALSE(std::filesystem::exists(started.substr(profileAt, started.find('\n', profileAt) - profileAt)));
}

// A default that writes no key log (or none at all) gives way to the first browser found that does;
// a name chooses, and a name that is no such browser is refused.
TEST(KeyLoggingBrowser, OtherwiseTheFirstFoundOrTheNamedOneIsStarted) {
    FakePrograms programs;
    programs.AddBrowser("firefox");
    programs.AddBrowser("google-chrome");
    programs.SetDesktopDefault("org.gnome.Epiphany.desktop");
    std::string error;
    {
        auto browser = KeyLoggingBrowser::Start("", &error);
        ASSERT_TRUE(browser) << error;
        const std::string started = programs.Started();
        EXPECT_EQ(std::filesystem::path(started.substr(0, started.find('\n'))).filename(), "google-chrome") << started;
        EXPECT_NE(started.find("\n--user-data-dir="), std::string::npos) << started;
        EXPECT_EQ(std::filesystem::path(browser->Program()).filename(), "google-chrome");
    }
    auto named = KeyLoggingBrowser::Start("firefox", &error);
    ASSERT_TRUE(named) << error;
    EXPECT_EQ(std::filesystem::path(named->Program()).filename(), "firefox");
    named.reset();
    EXPECT_FALSE(KeyLoggingBrowser::Start("epiphany", &error));
    EXPECT_NE(error.find("no such program"), std::string::npos) << error;
}

}  // namespace
}  // namespace tarnwick
