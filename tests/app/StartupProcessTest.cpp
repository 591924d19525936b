// The executable refuses to start without a configuration, with the exact message on standard error.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

struct Outcome {
    int exitCode;
    QString errors;
};

Outcome RunTarnwick(const QStringList& arguments, const std::string& appdata) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("APPDATA", QString::fromStdString(appdata));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    process.start(TARNWICK_BINARY, arguments);
    EXPECT_TRUE(process.waitForFinished(20000));
    return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardError())};
}

TEST(StartupProcess, NoConfigurationShowsTheFfplayMessageAndExits) {
    testing::TempDir dir;
    Outcome outcome = RunTarnwick({}, dir.path().string());
    EXPECT_EQ(outcome.exitCode, 1);
    QString expected = QString("Can't initialize the ffplay path from:\n\n   %1/Tarnwick/Tarnwick.ini\n\nSorry, can't continue.")
                           .arg(QString::fromStdString(dir.path().string()));
    EXPECT_TRUE(outcome.errors.contains(expected)) << outcome.errors.toStdString();
}

TEST(StartupProcess, UsageErrorsExitWithStatusTwo) {
    testing::TempDir dir;
    Outcome outcome = RunTarnwick({"--no-such-option"}, dir.path().string());
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_TRUE(outcome.errors.contains("Usage: tarnwick")) << outcome.errors.toStdString();
}

}  // namespace
}  // namespace tarnwick
