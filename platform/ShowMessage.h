// SPDX-License-Identifier: GPL-3.0-or-later
// Formatted message boxes with the program's caption.
#pragma once

#include <cstdarg>
#include <string>

#include "platform/WindowServices.h"

namespace tarnwick {

inline constexpr const char* kAppCaption = "Tarnwick";

// printf-style formatting into a string of any length.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatTextV(const char* format, va_list arguments);

int ShowMessage(WindowServices& services, WindowHandle owner, const std::string& caption, unsigned type,
                const char* format, ...) __attribute__((format(printf, 5, 6)));

}  // namespace tarnwick
