// SPDX-License-Identifier: GPL-3.0-or-later
// The program's own files are found beside it in a build folder and in an installed tree.
#include <gtest/gtest.h>

#include <filesystem>

#include "resources/ProgramFiles.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

TEST(ProgramFiles, BuildFolderAndInstalledTree) {
    testing::TempDir dir;
    // A build folder: everything beside the program.
    dir.Write("build/help/index.html", "help");
    dir.Write("build/tarnwick-capture", "");
    EXPECT_FALSE(IsInstalledCopy(dir / "build"));
    EXPECT_EQ(ShippedFilesFolder(dir / "build"), dir / "build");
    EXPECT_EQ(CaptureHelperPath(dir / "build"), dir / "build/tarnwick-capture");

    // An installed tree under any prefix.
    dir.Write("prefix/share/tarnwick/help/index.html", "help");
    dir.Write("prefix/lib/tarnwick/tarnwick-capture", "");
    std::filesystem::create_directories(dir / "prefix/bin");
    EXPECT_TRUE(IsInstalledCopy(dir / "prefix/bin"));
    EXPECT_EQ(ShippedFilesFolder(dir / "prefix/bin"), dir / "prefix/share/tarnwick");
    EXPECT_EQ(CaptureHelperPath(dir / "prefix/bin"), dir / "prefix/lib/tarnwick/tarnwick-capture");

    // No helper anywhere: nothing, and the advice names where the installed one belongs.
    std::filesystem::create_directories(dir / "bare/bin");
    EXPECT_EQ(CaptureHelperPath(dir / "bare/bin"), "");
    EXPECT_EQ(InstalledCaptureHelperPath(dir / "bare/bin"), dir / "bare/lib/tarnwick/tarnwick-capture");
}

}  // namespace
}  // namespace tarnwick
