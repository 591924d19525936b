// SPDX-License-Identifier: GPL-3.0-or-later
// Command-line options of the tarnwick executable.
#include "config/CommandLine.h"

#include <arpa/inet.h>

#include <charconv>
#include <map>

#include "capture/source/LiveAdapterSource.h"

namespace tarnwick {

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine cl;
    std::string bufferSize;
    const std::map<std::string, bool*> flags = {
        {"--help", &cl.help},         {"-h", &cl.help},     {"--list-adapters", &cl.listAdapters},
        {"--headless", &cl.headless}, {"--json", &cl.json}, {"--details", &cl.details}};
    const std::map<std::string, std::string*> values = {
        {"--read", &cl.readFile},     {"--screenshot", &cl.screenshot}, {"--download", &cl.downloadUrl},
        {"--output", &cl.outputFile}, {"--save-dir", &cl.saveDir},      {"--buffer-size", &bufferSize},
        {"--keylog", &cl.keyLogFile}, {"--write", &cl.writeFile},       {"--details-dir", &cl.detailsDir}};
    const std::map<std::string, std::vector<std::string>*> repeatable = {{"--interface", &cl.interfaces},
                                                                         {"--own-address", &cl.ownAddresses}};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (auto f = flags.find(arg); f != flags.end()) {
            *f->second = true;
            continue;
        }
        if (arg == "--browser") {
            // The name is optional: a word that is no option is it.
            cl.browser = true;
            if (i + 1 < argc && argv[i + 1][0] != '\0' && argv[i + 1][0] != '-') cl.browserName = argv[++i];
            continue;
        }
        auto v = values.find(arg);
        auto r = repeatable.find(arg);
        if (v == values.end() && r == repeatable.end()) {
            cl.error = "unknown option: " + arg;
            return cl;
        }
        if (i + 1 >= argc || std::string(argv[i + 1]).empty()) {
            cl.error = "option " + arg + " needs a value";
            return cl;
        }
        if (r != repeatable.end())
            r->second->push_back(argv[++i]);
        else
            *v->second = argv[++i];
    }
    if (!bufferSize.empty()) {
        constexpr int kMostMiB = 4096;
        const char* end = bufferSize.data() + bufferSize.size();
        const auto [parsedTo, failure] = std::from_chars(bufferSize.data(), end, cl.bufferMiB);
        if (failure != std::errc() || parsedTo != end || cl.bufferMiB < 1 || cl.bufferMiB > kMostMiB) {
            cl.error = "--buffer-size needs a number of MiB from 1 to " + std::to_string(kMostMiB);
            return cl;
        }
    }
    for (const auto& address : cl.ownAddresses) {
        unsigned char bytes[16];
        if (inet_pton(AF_INET, address.c_str(), bytes) != 1 && inet_pton(AF_INET6, address.c_str(), bytes) != 1) {
            cl.error = "--own-address needs an IPv4 or IPv6 address such as 192.168.1.5 or 2001:db8::5";
            return cl;
        }
    }
    if (cl.json && !cl.headless)
        cl.error = "--json works with --headless";
    else if (!cl.interfaces.empty() && !cl.headless)
        cl.error = "--interface works with --headless";
    else if (!cl.saveDir.empty() && !cl.headless)
        cl.error = "--save-dir works with --headless";
    else if ((cl.details || !cl.detailsDir.empty()) && !cl.headless)
        cl.error = "--details and --details-dir work with --headless";
    else if (!cl.downloadUrl.empty() != !cl.outputFile.empty())
        cl.error = "--download and --output go together";
    else if (!cl.interfaces.empty() && !cl.readFile.empty())
        cl.error = "--interface and --read exclude each other";
    else if (cl.bufferMiB != 0 && !cl.readFile.empty())
        cl.error = "--buffer-size is for live capture, not --read";
    else if (cl.headless && !cl.screenshot.empty())
        cl.error = "--screenshot needs the window, not --headless";
    else if (!cl.writeFile.empty() && !cl.headless)
        cl.error = "--write works with --headless";
    else if (cl.browser && !cl.readFile.empty())
        cl.error = "--browser is for live capture, not --read";
    return cl;
}

std::string UsageText() {
    return "Usage: tarnwick [options]\n"
           "Lists the videos this computer fetches over HTTP, and over HTTPS with a browser's key log.\n"
           "\n"
           "  (no options)            open the \"Recently Sniffed Videos\" window\n"
           "  --read FILE             take packets from a pcap or pcapng file, a FIFO, or standard\n"
           "                          input (-) instead of live capture\n"
           "  --own-address ADDRESS   this host's IPv4 or IPv6 address in the capture (repeatable;\n"
           "                          default: the sender of the first GET request of each IP version)\n"
           "  --screenshot FILE.png   render the window into a PNG file and exit\n"
           "  --headless              no window: print every accepted video on standard output\n"
           "  --json                  with --headless: one JSON object per line\n"
           "  --interface NAME        with --headless: capture only on NAME (repeatable); \"any\" captures\n"
           "                          on every adapter at once\n"
           "  --save-dir DIR          with --headless: download every accepted video into DIR\n"
           "  --details               with --headless: a later line of each video adds its duration,\n"
           "                          width, height and codecs (read by ffprobe from at most 4 MiB)\n"
           "  --details-dir DIR       with --headless: also save each video's picture as DIR/SERIAL.jpg\n"
           "  --buffer-size MiB       kernel capture buffer per adapter (default " +
           std::to_string(LiveAdapterSource::kDefaultBufferMiB) +
           ")\n"
           "  --browser [NAME]        start a browser whose HTTPS Tarnwick can read (see below); NAME\n"
           "                          chooses it (chromium, google-chrome, firefox...)\n"
           "  --keylog FILE           read HTTPS too, with the TLS key log FILE that a browser writes\n"
           "                          (default: the KeyLogFile setting, else $SSLKEYLOGFILE)\n"
           "  --write FILE            with --headless: write the packets read into FILE (pcapng, mode\n"
           "                          0600) with the TLS secrets used, so it can be read without a key log\n"
           "  --list-adapters         print each usable adapter, its link type and its own addresses\n"
           "  --download URL --output FILE\n"
           "                          download URL into FILE with a progress line\n"
           "  --help                  show this text\n"
           "\n"
           "HTTPS: a browser encrypts what it fetches, and only its TLS key log lets Tarnwick read it.\n"
           "  1. tarnwick --browser (or, in the window, right-click the list: \"Open a Browser Tarnwick\n"
           "     Can Read\") starts your browser (the default one when it is Chromium- or Firefox-based)\n"
           "     with a fresh profile and a key log only you can read; browse in that window. The key\n"
           "     log is removed when Tarnwick ends.\n"
           "  2. A browser you start yourself: start it with SSLKEYLOGFILE=FILE set (an already running\n"
           "     one ignores it) and give Tarnwick --keylog FILE.\n"
           "  3. A capture file that carries its keys (pcapng with Decryption Secrets Blocks, as\n"
           "     editcap --inject-secrets and --write make them) is read with --read alone.\n"
           "\n"
           "Capturing as a normal user: Tarnwick captures through its helper tarnwick-capture, which alone\n"
           "holds the right to capture and which the members of the group tarnwick may run. Join it once\n"
           "with sudo adduser $USER tarnwick, then log in again. Root, or a tarnwick granted the\n"
           "capabilities cap_net_raw,cap_net_admin itself, captures without the helper.\n";
}

}  // namespace tarnwick
