// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up refuses to run, with the exact message, until the player and the temporary folder are usable.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "config/StartupConfiguration.h"
#include "config/UserDataFolder.h"
#include "platform/RecordingWindowServices.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

const char* kNoPlayer = "Can't initialize the ffplay path from:\n\n   %s\n\nSorry, can't continue.";
const char* kBadPlayer = "Can't find the ffplay executable, specified in:\n\n   %s\n\nSorry, can't continue.";
const char* kNoTemp = "Can't initialize the TEMP directory from:\n\n   %s\n\nSorry, can't continue.";
const char* kBadTemp = "Can't find the TEMP directory, specified in:\n\n   %s\n\nSorry, can't continue.";

class Startup : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::ScopedEnv appdata{"APPDATA", dir.path().c_str()};
    RecordingWindowServices services;
    AppSettings settings;

    std::string ConfigPath() const { return dir / "Tarnwick/Tarnwick.ini"; }
    void WriteConfig(const std::string& body) { dir.Write("Tarnwick/Tarnwick.ini", "[Tarnwick]\n" + body); }
    std::string Player() const { return dir.Write("bin/ffplay", "#!/bin/sh\n"); }

    // Runs start-up and returns the one message it showed, or "" when it passed.
    std::string Run() {
        bool ok = LoadStartupSettings(services, settings, "/opt/tarnwick");
        auto messages = services.Messages();
        EXPECT_LE(messages.size(), 1u);
        EXPECT_EQ(ok, messages.empty());
        if (messages.empty()) return "";
        EXPECT_EQ(messages[0].caption, "Tarnwick");
        EXPECT_EQ(messages[0].type, unsigned{kMbOk | kMbIconError});
        EXPECT_EQ(messages[0].owner, nullptr);
        return messages[0].text;
    }
    std::string Expected(const char* format) const {
        std::string text = format;
        return text.replace(text.find("%s"), 2, ConfigPath());
    }
};

TEST_F(Startup, WithoutConfigurationOnlyThePlayerMessageIsShownAndTheFolderIsCreated) {
    EXPECT_EQ(Run(), Expected(kNoPlayer));
    struct stat info {};
    EXPECT_EQ(stat((dir / "Tarnwick").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(settings.configFilePath, ConfigPath());
}

TEST_F(Startup, LowercaseXCountsAsMissingButUppercaseDoesNot) {
    WriteConfig("FFPlayExe=x:/ffplay\n");
    EXPECT_EQ(Run(), Expected(kNoPlayer));
}

TEST_F(Startup, UppercaseXIsAPathThatMustExist) {
    WriteConfig("FFPlayExe=X:/ffplay\n");
    EXPECT_EQ(Run(), Expected(kBadPlayer));
}

TEST_F(Startup, EmptyPlayerFileIsRejected) {
    WriteConfig("FFPlayExe=" + dir.Write("empty", "") + "\nTempDir=" + dir.path().string() + "\n");
    EXPECT_EQ(Run(), Expected(kBadPlayer));
}

TEST_F(Startup, DirectoryPlayerIsRejected) {
    WriteConfig("FFPlayExe=" + dir.path().string() + "\n");
    EXPECT_EQ(Run(), Expected(kBadPlayer));
}

TEST_F(Startup, TempFolderIsCheckedAfterThePlayer) {
    WriteConfig("FFPlayExe=" + Player() + "\n");
    EXPECT_EQ(Run(), Expected(kNoTemp));
}

TEST_F(Startup, TempFolderThatIsAFileIsRejected) {
    WriteConfig("FFPlayExe=" + Player() + "\nTempDir=" + Player() + "\n");
    EXPECT_EQ(Run(), Expected(kBadTemp));
}

TEST_F(Startup, GoodConfigurationFillsTheSettings) {
    std::string player = Player();
    WriteConfig("FFPlayExe=" + player + "\nTempDir=" + dir.path().string() + "\n");
    EXPECT_EQ(Run(), "");
    EXPECT_EQ(settings.playerPath, player);
    EXPECT_EQ(settings.tempFolder, dir.path().string());
    EXPECT_EQ(settings.programFolder, "/opt/tarnwick");
    EXPECT_TRUE(settings.readDetails);
    WriteConfig("FFPlayExe=" + player + "\nTempDir=" + dir.path().string() + "\nDetailsEnabled=0\n");
    EXPECT_EQ(Run(), "");
    EXPECT_FALSE(settings.readDetails);
}

TEST_F(Startup, UncreatableUserFolderEndsWithThePlayerMessage) {
    std::string blocker = dir.Write("file", "not a folder");
    testing::ScopedEnv unusable("APPDATA", blocker.c_str());
    bool ok = LoadStartupSettings(services, settings, "/opt/tarnwick");
    EXPECT_FALSE(ok);
    ASSERT_EQ(services.Messages().size(), 1u);
    EXPECT_EQ(services.Messages()[0].text.rfind("Can't initialize the ffplay path from:", 0), 0u);
    EXPECT_EQ(settings.configFilePath, blocker + "/Tarnwick/Tarnwick.ini");
}

TEST(UserDataFolder, FallsBackFromAppDataToXdgToHome) {
    testing::ScopedEnv noAppdata("APPDATA", nullptr);
    {
        testing::ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg");
        EXPECT_EQ(UserDataBaseFolder(), "/xdg");
    }
    testing::ScopedEnv noXdg("XDG_CONFIG_HOME", nullptr);
    testing::ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(UserDataBaseFolder(), "/home/someone/.config");
}

TEST_F(Startup, StallLimitComesFromTheUserFileWithASafeDefault) {
    EXPECT_EQ(UserConfigFilePath(), ConfigPath());
    EXPECT_EQ(DownloadStallLimitMs(ConfigPath()), 60000u);  // no file yet
    for (auto [value, expected] : {std::pair{"5", 5000u}, {"0", 0u}, {"ten", 60000u}, {"-3", 60000u}}) {
        WriteConfig(std::string("DownloadStallSeconds=") + value + "\n");
        EXPECT_EQ(DownloadStallLimitMs(ConfigPath()), expected) << value;
    }
}

TEST_F(Startup, KeyLogComesFromTheCommandLineThenTheUserFileThenTheEnvironment) {
    CommandLine options;
    EXPECT_EQ(KeyLogFilePath(options, ConfigPath()), "");
    options.environmentKeyLog = "/env/keys.log";
    EXPECT_EQ(KeyLogFilePath(options, ConfigPath()), "/env/keys.log");
    WriteConfig("KeyLogFile = \"/configured/keys.log\"\n");
    EXPECT_EQ(KeyLogFilePath(options, ConfigPath()), "/configured/keys.log");
    options.keyLogFile = "/given/keys.log";
    EXPECT_EQ(KeyLogFilePath(options, ConfigPath()), "/given/keys.log");
}

}  // namespace
}  // namespace tarnwick
