// SPDX-License-Identifier: GPL-3.0-or-later
// Which window system the window modes start Qt on, decided before Qt starts.
#include "app/WindowPlatform.h"

#include <cstdlib>

namespace tarnwick {
namespace {

constexpr const char* kOffscreen = "offscreen";

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

WindowPlatform::WindowPlatform(bool picture) : picture_(picture), userChoice_(!Environment("QT_QPA_PLATFORM").empty()) {
    if (userChoice_) return;
    // A picture is drawn off screen: nothing appears on (or needs) a screen. A window tries the X server,
    // then Wayland; drawing off screen comes last and only tells that neither could be reached.
    arguments_ = {"-platform", picture_ ? kOffscreen : std::string("xcb;wayland;") + kOffscreen};
}

bool WindowPlatform::NoDisplay(const std::string& platformName) const {
    return !picture_ && !userChoice_ && platformName == kOffscreen;
}

std::string WindowPlatform::NoDisplayMessage() const {
    std::string display = Environment("DISPLAY");
    std::string wayland = Environment("WAYLAND_DISPLAY");
    std::string why = display.empty() && wayland.empty() ? "DISPLAY is not set"
                      : display.empty()                  ? "cannot connect to Wayland display " + wayland
                                                         : "cannot connect to display " + display;
    return "tarnwick: no display to show the window on (" + why +
           ").\n"
           "Run it in a desktop session, or without a window:\n"
           "  tarnwick --headless [--json] [--read FILE]    print each video found\n"
           "  tarnwick --screenshot FILE.png [--read FILE]  render the window into a picture\n";
}

}  // namespace tarnwick
