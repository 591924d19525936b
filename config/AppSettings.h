// SPDX-License-Identifier: GPL-3.0-or-later
// Process-wide configuration, written once at start-up and read-only afterwards.
#pragma once

#include <string>

namespace tarnwick {

struct AppSettings {
    // Each field holds the one-letter text "x" until start-up assigns it.
    std::string programFolder = "x";
    std::string configFilePath = "x";
    std::string playerPath = "x";
    std::string tempFolder = "x";
    // Whether the window reads each video's picture and length (DetailsEnabled); off until start-up says.
    bool readDetails = false;
};

// The one instance of the process.
AppSettings& Settings();

}  // namespace tarnwick
