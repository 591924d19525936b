// The capture helper's guard over its own privileges.
#include "app/ProcessPrivileges.h"

#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnwick {

bool RunsSetId() { return getuid() != geteuid() || getgid() != getegid(); }

bool DropAllCapabilities(std::string* error) {
    cap_t none = cap_init();  // every flag of every capability clear
    if (!none) {
        *error = std::strerror(errno);
        return false;
    }
    const bool dropped = cap_set_proc(none) == 0;
    const int cause = errno;
    cap_free(none);
    if (!dropped) {
        *error = std::strerror(cause);
        return false;
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace tarnwick
