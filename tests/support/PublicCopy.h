// SPDX-License-Identifier: GPL-3.0-or-later
// Copies of programs in a folder that an unprivileged user can reach, for tests whose child drops to that user.
#pragma once

#include <stdlib.h>
#include <sys/statvfs.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace tarnwick::testing {

// The user that tests run programs as when they want them unprivileged.
constexpr int kNobody = 65534;

// A fresh folder every user may read and run, holding copies of programs: the build folder may sit where
// only root can reach it (a checkout under /root), and so may the temporary folder that TMPDIR names. The
// folder is made under the first of the temporary folder, /tmp, /var/tmp and /dev/shm that the given
// user can enter and that allows running programs, tried as that user. Removed with its copies when the
// object goes.
class PublicCopy {
public:
    // user < 0: the copies are for this process's own user.
    explicit PublicCopy(const std::string& program, int user = kNobody) {
        namespace fs = std::filesystem;
        std::error_code failure;
        std::vector<fs::path> places{fs::temp_directory_path(failure), "/tmp", "/var/tmp", "/dev/shm"};
        std::string tried;
        for (const fs::path& place : places) {
            if (place.empty()) continue;
            tried += " " + place.string();
            if (MakeFolderUnder(place, user)) break;
        }
        if (folder_.empty()) {
            error_ = "no folder that user " + std::to_string(user) + " can reach and run programs in among" + tried;
            return;
        }
        path_ = Add(program);
    }

    // Copies another program into the same folder (beside the first, where programs look for their
    // helpers) and returns its path; empty when that failed, and Error() says why. The copy has no file
    // capabilities and no set-user-ID bit, whatever the original had.
    std::string Add(const std::string& program) {
        namespace fs = std::filesystem;
        if (folder_.empty()) return {};
        const fs::path copy = folder_ / fs::path(program).filename();
        std::error_code failure;
        fs::copy_file(program, copy, failure);
        if (!failure) fs::permissions(copy, kEveryoneRuns, failure);
        if (failure) {
            error_ = "cannot copy " + program + " to " + copy.string() + ": " + failure.message();
            return {};
        }
        return copy.string();
    }

    ~PublicCopy() {
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
    }
    PublicCopy(const PublicCopy&) = delete;
    PublicCopy& operator=(const PublicCopy&) = delete;

    // Empty when no copy could be made; Error() then says why.
    const std::string& Path() const { return path_; }
    const std::string& Error() const { return error_; }

private:
    static constexpr auto kEveryoneRuns = std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                          std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                          std::filesystem::perms::others_exec;

    // Makes the folder under place and keeps it if the user can enter it and run programs there.
    bool MakeFolderUnder(const std::filesystem::path& place, int user) {
        namespace fs = std::filesystem;
        std::string pattern = (place / "tarnwick-public-XXXXXX").string();
        if (!mkdtemp(pattern.data())) return false;
        const fs::path folder = pattern;
        std::error_code failure;
        fs::permissions(folder, kEveryoneRuns, failure);
        struct statvfs mount {};
        bool usable = !failure && statvfs(folder.c_str(), &mount) == 0 && !(mount.f_flag & ST_NOEXEC);
        if (usable && user >= 0) {
            // Tried as the user: every folder on the way must let it through.
            // Where the user cannot be taken on at all (126), the test finds out itself and says so.
            ChildProcess enter({"/usr/bin/test", "-x", folder.string()}, user);
            const int status = enter.Started() ? enter.Finish() : -1;
            usable = status == 0 || status == ChildProcess::kCannotDropUser;
        }
        if (!usable) {
            fs::remove_all(folder, failure);
            return false;
        }
        folder_ = folder;
        return true;
    }

    std::filesystem::path folder_;
    std::string path_;
    std::string error_;
};

// Grants a program the capture capabilities (as the Debian package grants the capture helper); false,
// with *error set, where that is not possible (not root, no file capabilities on this file system).
inline bool GrantCaptureCapabilities(const std::string& program, std::string* error) {
    ChildProcess setcap({"/usr/sbin/setcap", "cap_net_raw,cap_net_admin+eip", program});
    if (!setcap.Started() || setcap.Finish() != 0) {
        *error = "cannot grant " + program + " the capture capabilities: " + setcap.Stderr();
        return false;
    }
    return true;
}

}  // namespace tarnwick::testing
