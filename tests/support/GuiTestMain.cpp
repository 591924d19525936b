// SPDX-License-Identifier: GPL-3.0-or-later
// main() for GUI tests: a QApplication on the offscreen platform, then every test.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <ctime>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    setenv("TZ", "GMT0", 1);  // times shown in rows are compared as text
    tzset();
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
