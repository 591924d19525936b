// SPDX-License-Identifier: GPL-3.0-or-later
// Command-line options of the tarnwick executable.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

struct CommandLine {
    bool help = false;
    bool listAdapters = false;
    bool headless = false;
    bool json = false;
    bool details = false;                   // --details: each video's length, size in pixels and codecs
    std::vector<std::string> interfaces;    // --interface NAME, repeatable
    std::string readFile;                   // --read FILE (a capture file, a FIFO, or "-" for standard input)
    std::vector<std::string> ownAddresses;  // --own-address ADDRESS (IPv4 or IPv6), repeatable
    std::string screenshot;                 // --screenshot FILE.png
    std::string downloadUrl;                // --download URL
    std::string outputFile;                 // --output FILE
    std::string saveDir;                    // --save-dir DIR
    std::string detailsDir;                 // --details-dir DIR: each video's picture as SERIAL.jpg
    int bufferMiB = 0;                      // --buffer-size MiB: kernel capture buffer per adapter; 0 = default
    std::string keyLogFile;                 // --keylog FILE: the TLS key log a browser writes
    bool browser = false;                   // --browser [NAME]: start a browser that writes a key log for us
    std::string browserName;                // its NAME; empty for the desktop's default
    std::string writeFile;                  // --write FILE: the packets read, as pcapng with their TLS secrets
    std::string environmentKeyLog;          // SSLKEYLOGFILE as Tarnwick found it; set by main, not parsed
    std::string error;                      // non-empty: a usage error
};

CommandLine ParseCommandLine(int argc, const char* const* argv);
std::string UsageText();

}  // namespace tarnwick
