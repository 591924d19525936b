// SPDX-License-Identifier: GPL-3.0-or-later
// Formatted message boxes with the program's caption.
#include "platform/ShowMessage.h"

#include <cstdio>
#include <vector>

namespace tarnwick {

std::string FormatTextV(const char* format, va_list arguments) {
    va_list copy;
    va_copy(copy, arguments);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) return {};
    std::vector<char> buffer(static_cast<size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, arguments);
    return std::string(buffer.data(), static_cast<size_t>(needed));
}

std::string FormatText(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = FormatTextV(format, arguments);
    va_end(arguments);
    return text;
}

int ShowMessage(WindowServices& services, WindowHandle owner, const std::string& caption, unsigned type,
                const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = FormatTextV(format, arguments);
    va_end(arguments);
    return services.MessageBox(owner, text, caption, type);
}

}  // namespace tarnwick
