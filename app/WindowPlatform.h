// SPDX-License-Identifier: GPL-3.0-or-later
// Which window system the window modes start Qt on, decided before Qt starts: Qt ends the process when
// its platform cannot reach a display, so a missing display is found here and said in words instead.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

class WindowPlatform {
public:
    // picture: the window is only rendered into a file (--screenshot) and needs no screen.
    explicit WindowPlatform(bool picture);

    // Arguments for Qt's command line ("-platform ..."); empty when the user chose a platform.
    const std::vector<std::string>& QtArguments() const { return arguments_; }
    // Called once the application object exists: true when a window was wanted but no display could be
    // reached, so Qt fell back to drawing off screen.
    bool NoDisplay(const std::string& platformName) const;
    // Why there is no window and how to run without one.
    std::string NoDisplayMessage() const;

private:
    bool picture_;
    bool userChoice_;
    std::vector<std::string> arguments_;
};

}  // namespace tarnwick
