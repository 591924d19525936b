// SPDX-License-Identifier: GPL-3.0-or-later
// The INI reader behaves like the classic profile API on the cases users actually write.
#include <gtest/gtest.h>

#include "config/IniReader.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

TEST(IniReader, MatchesSectionAndKeyIgnoringCaseTrimsAndUnquotes) {
    testing::TempDir dir;
    std::string file = dir.Write("t.ini",
                                 "; comment\n"
                                 "[Other]\nFFPlayExe=/wrong\n"
                                 "[ tarnwick ]\r\n"
                                 "  ffplayexe  =   \"/usr/bin/ffplay\"  \r\n"
                                 "TempDir='/tmp/x y'\n"
                                 "TEMPDIR=/second\n"
                                 "Empty=\n");
    EXPECT_EQ(ReadProfileString(file, "Tarnwick", "FFPlayExe", "x"), "/usr/bin/ffplay");
    EXPECT_EQ(ReadProfileString(file, "Tarnwick", "TempDir", "x"), "/tmp/x y");  // first match wins
    EXPECT_EQ(ReadProfileString(file, "Tarnwick", "Empty", "x"), "");
    EXPECT_EQ(ReadProfileString(file, "Tarnwick", "Missing", "x"), "x");
    EXPECT_EQ(ReadProfileString(file, "Nowhere", "FFPlayExe", "x"), "x");
}

TEST(IniReader, MissingFileGivesDefaultAndLongValuesAreCut) {
    testing::TempDir dir;
    EXPECT_EQ(ReadProfileString(dir / "none.ini", "Tarnwick", "FFPlayExe", "x"), "x");
    std::string file = dir.Write("long.ini", "[Tarnwick]\nTempDir=" + std::string(400, 'a') + "\n");
    EXPECT_EQ(ReadProfileString(file, "Tarnwick", "TempDir", "x"), std::string(kProfileValueLimit, 'a'));
}

TEST(IniReader, OnlyOnePairOfQuotesIsRemovedAndUnbalancedQuotesStay) {
    testing::TempDir dir;
    std::string file = dir.Write("q.ini", "[Tarnwick]\nA=\"\"/p\"\"\nB=\"/open\n");
    EXPECT_EQ(ReadProfileString(file, "Tarnwick", "A", "x"), "\"/p\"");
    EXPECT_EQ(ReadProfileString(file, "Tarnwick", "B", "x"), "\"/open");
}

}  // namespace
}  // namespace tarnwick
