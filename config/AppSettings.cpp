// SPDX-License-Identifier: GPL-3.0-or-later
// Process-wide configuration, written once at start-up and read-only afterwards.
#include "config/AppSettings.h"

namespace tarnwick {

AppSettings& Settings() {
    static AppSettings settings;
    return settings;
}

}  // namespace tarnwick
