// SPDX-License-Identifier: GPL-3.0-or-later
// Dialog templates in the platform's binary layout: a builder from definitions and a bounds-checked reader.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarnwick {

// Window styles used by the templates.
namespace style {
constexpr uint32_t kPopup = 0x80000000, kChild = 0x40000000, kMinimizeBox = 0x00020000, kVisible = 0x10000000,
                   kDisabled = 0x08000000, kCaption = 0x00C00000, kBorder = 0x00800000, kSysMenu = 0x00080000,
                   kThickFrame = 0x00040000, kTabStop = 0x00010000;
constexpr uint32_t kSetFont = 0x40, kFixedSys = 0x08, kModalFrame = 0x80;
constexpr uint32_t kExTopmost = 0x8;
constexpr uint32_t kDefPushButton = 0x1;
constexpr uint32_t kStaticNotify = 0x100, kStaticBlackFrame = 0x7;
constexpr uint32_t kListReport = 0x1, kListShowSelAlways = 0x8, kListEditLabels = 0x200, kListAlignLeft = 0x800;
constexpr uint32_t kAnimateTransparent = 0x2;
}  // namespace style

// Predefined window classes, by the ordinal the layout gives them.
constexpr uint16_t kButtonClass = 0x0080;
constexpr uint16_t kStaticClass = 0x0082;
inline constexpr const char* kListViewClass = "SysListView32";
inline constexpr const char* kProgressClass = "msctls_progress32";
inline constexpr const char* kAnimateClass = "SysAnimate32";

// A name-or-ordinal field: either text, or a 16-bit number, or nothing.
struct NameOrOrdinal {
    std::optional<uint16_t> ordinal;
    std::string name;
    bool operator==(const NameOrOrdinal&) const = default;
};

struct DialogItemDefinition {
    uint32_t helpId = 0;
    uint32_t exStyle = 0;
    uint32_t style = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    int32_t id = 0;
    NameOrOrdinal windowClass;
    std::string text;
};

struct DialogDefinition {
    uint32_t helpId = 0;
    uint32_t exStyle = 0;
    uint32_t style = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    NameOrOrdinal menu;
    NameOrOrdinal windowClass;
    std::string caption;
    // Font block, present when the style has the set-font flag.
    int16_t pointSize = 8;
    uint16_t weight = 0;
    uint8_t italic = 0;
    uint8_t charset = 1;
    std::string face;
    std::vector<DialogItemDefinition> items;
};

// What a reader finds in a template; the same shape as a definition plus the layout it was read from.
struct ParsedDialogTemplate : DialogDefinition {
    bool extended = false;
    bool hasFont = false;
    uint16_t itemCount = 0;
};

// Extended layout (version 1, signature 0xFFFF).
std::vector<uint8_t> BuildDialogTemplate(const DialogDefinition& definition);
// Classic layout, for templates of older programs.
std::vector<uint8_t> BuildClassicDialogTemplate(const DialogDefinition& definition);

// Reads either layout; nothing when the bytes end before the structure does.
std::optional<ParsedDialogTemplate> ParseDialogTemplate(std::span<const uint8_t> bytes);

}  // namespace tarnwick
