// SPDX-License-Identifier: GPL-3.0-or-later
// The executable as a user starts it: without a configuration, without a display, taking a picture.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

struct Outcome {
    int exitCode;
    QString errors;
};

Outcome RunProgram(const QString& program, const QStringList& arguments, const QProcessEnvironment& env) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    EXPECT_TRUE(process.waitForFinished(30000)) << "still running: " << arguments.join(' ').toStdString();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardError())};
}

QProcessEnvironment Environment(const std::string& appdata) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("APPDATA", QString::fromStdString(appdata));
    return env;
}

Outcome RunTarnwick(const QStringList& arguments, const std::string& appdata) {
    QProcessEnvironment env = Environment(appdata);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return RunProgram(TARNWICK_BINARY, arguments, env);
}

// A configuration the window starts with.
void WriteConfiguration(const testing::TempDir& dir) {
    dir.Write("Tarnwick/Tarnwick.ini", "[Tarnwick]\nFFPlayExe=/bin/true\nTempDir=" + dir.path().string() + "\n");
}

QString Capture() {
    return QString::fromStdString(std::string(TARNWICK_TEST_DATA) + "/videos-separate.pcap");
}

TEST(StartupProcess, NoConfigurationShowsTheFfplayMessageAndExits) {
    testing::TempDir dir;
    Outcome outcome = RunTarnwick({}, dir.path().string());
    EXPECT_EQ(outcome.exitCode, 1);
    QString expected =
        QString("Can't initialize the ffplay path from:\n\n   %1/Tarnwick/Tarnwick.ini\n\nSorry, can't continue.")
            .arg(QString::fromStdString(dir.path().string()));
    EXPECT_TRUE(outcome.errors.contains(expected)) << outcome.errors.toStdString();
}

TEST(StartupProcess, UsageErrorsExitWithStatusTwo) {
    testing::TempDir dir;
    Outcome outcome = RunTarnwick({"--no-such-option"}, dir.path().string());
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_TRUE(outcome.errors.contains("Usage: tarnwick")) << outcome.errors.toStdString();
}

TEST(StartupProcess, WithoutADisplayTheWindowSaysSoAndTheScreenshotIsStillTaken) {
    testing::TempDir dir;
    WriteConfiguration(dir);
    QProcessEnvironment env = Environment(dir.path().string());
    env.remove("QT_QPA_PLATFORM");
    env.remove("WAYLAND_DISPLAY");
    env.remove("DISPLAY");
    for (const QStringList& window : {QStringList{}, QStringList{"--read", Capture()}}) {
        Outcome outcome = RunProgram(TARNWICK_BINARY, window, env);
        EXPECT_EQ(outcome.exitCode, 1) << outcome.errors.toStdString();
        EXPECT_TRUE(outcome.errors.contains("no display to show the window on (DISPLAY is not set)"))
            << outcome.errors.toStdString();
        EXPECT_TRUE(outcome.errors.contains("tarnwick --headless")) << outcome.errors.toStdString();
    }
    env.insert("DISPLAY", ":487");  // no X server behind it
    Outcome unreachable = RunProgram(TARNWICK_BINARY, {}, env);
    EXPECT_EQ(unreachable.exitCode, 1);
    EXPECT_TRUE(unreachable.errors.contains("cannot connect to display :487")) << unreachable.errors.toStdString();

    env.remove("DISPLAY");
    QString picture = QString::fromStdString(dir / "window.png");
    Outcome screenshot = RunProgram(TARNWICK_BINARY, {"--screenshot", picture, "--read", Capture()}, env);
    EXPECT_EQ(screenshot.exitCode, 0) << screenshot.errors.toStdString();
    EXPECT_EQ(QImage(picture).size(), QSize(386, 274));
}

TEST(StartupProcess, ScreenshotOnARealDisplayNeverWaitsForAClick) {
    QString xvfbRun = QStandardPaths::findExecutable("xvfb-run");
    if (xvfbRun.isEmpty()) GTEST_SKIP() << "xvfb-run is not installed";
    testing::TempDir dir;
    WriteConfiguration(dir);
    QProcessEnvironment env = Environment(dir.path().string());
    env.insert("QT_QPA_PLATFORM", "xcb");  // the window system, even though a picture needs none
    // Under the leak checker: the D-Bus library that Qt's X platform loads keeps a buffer to the end.
    env.insert("LSAN_OPTIONS", QString::fromStdString("suppressions=" + dir.Write("lsan.supp", "leak:libdbus-1.so\n")));
    QString picture = QString::fromStdString(dir / "window.png");
    QElapsedTimer timer;
    timer.start();
    // The missing file is said in a message that nobody can click away.
    Outcome outcome = RunProgram(xvfbRun,
                                 {"-a", "-s", "-nolisten tcp", "timeout", "25", TARNWICK_BINARY, "--screenshot",
                                  picture, "--read", QString::fromStdString(dir / "missing.pcap")},
                                 env);
    EXPECT_LT(timer.elapsed(), 20000);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.errors.toStdString();
    EXPECT_TRUE(outcome.errors.contains("missing.pcap")) << outcome.errors.toStdString();
    EXPECT_TRUE(QFileInfo::exists(picture));

    Outcome unwritable = RunProgram(
        xvfbRun, {"-a", "-s", "-nolisten tcp", "timeout", "25", TARNWICK_BINARY, "--screenshot", "/nonexistent/w.png"},
        env);
    EXPECT_EQ(unwritable.exitCode, 1) << unwritable.errors.toStdString();
    EXPECT_TRUE(unwritable.errors.contains("cannot write the screenshot")) << unwritable.errors.toStdString();
}

}  // namespace
}  // namespace tarnwick
