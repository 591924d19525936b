// SPDX-License-Identifier: GPL-3.0-or-later
// The capture helper's guard over its own privileges.
#include "app/ProcessPrivileges.h"

#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnwick {

bool RunsSetId() {
    return getuid() != geteuid() || getgid() != getegid();
}

namespace {

bool HoldsEffective(cap_value_t capability) {
    cap_t own = cap_get_proc();
    if (!own) return false;
    cap_flag_value_t value = CAP_CLEAR;
    const bool held = cap_get_flag(own, capability, CAP_EFFECTIVE, &value) == 0 && value == CAP_SET;
    cap_free(own);
    return held;
}

}  // namespace

bool DropAllCapabilities(std::string* error) {
    // The bounding set first, while CAP_SETPCAP still allows it. Granted only the capture capabilities,
    // the helper may not shrink it; no_new_privs below then keeps every exec from gaining any.
    if (HoldsEffective(CAP_SETPCAP)) {
        for (cap_value_t capability = 0; capability < cap_max_bits(); ++capability) {
            if (cap_drop_bound(capability) != 0) {
                *error = std::string("emptying the capability bounding set: ") + std::strerror(errno);
                return false;
            }
        }
    }
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
