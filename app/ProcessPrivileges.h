// SPDX-License-Identifier: GPL-3.0-or-later
// The capture helper's guard over its own privileges.
#pragma once

#include <string>

namespace tarnwick {

// True when the process runs set-user-ID or set-group-ID (real and effective ids differ).
bool RunsSetId();

// Gives up every capability for good (effective, permitted, inheritable, ambient) and forbids gaining
// new ones through exec. Run by root (holding CAP_SETPCAP), it also empties the bounding set, so that
// not even root's programs started from it could hold one again. False, with *error set, when the
// kernel refused.
bool DropAllCapabilities(std::string* error);

}  // namespace tarnwick
