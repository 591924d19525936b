// SPDX-License-Identifier: GPL-3.0-or-later
// The program's two dialog templates, built once from their definitions.
#include "resources/DialogResources.h"

#include "resources/ResourceIds.h"

namespace tarnwick {
namespace {

using namespace style;

NameOrOrdinal Ordinal(uint16_t value) {
    return {value, {}};
}
NameOrOrdinal Named(const char* name) {
    return {std::nullopt, name};
}

DialogItemDefinition Item(int32_t id, NameOrOrdinal cls, const char* text, uint32_t styles, int16_t x, int16_t y,
                          int16_t cx, int16_t cy) {
    DialogItemDefinition item;
    item.id = id;
    item.windowClass = std::move(cls);
    item.text = text;
    item.style = styles;
    item.x = x;
    item.y = y;
    item.cx = cx;
    item.cy = cy;
    return item;
}

DialogDefinition MakeSnifferDialog() {
    DialogDefinition d;
    d.caption = "Recently Sniffed Videos";
    d.style = kPopup | kCaption | kSysMenu | kMinimizeBox | kThickFrame | kSetFont | kFixedSys;
    d.exStyle = kExTopmost;
    d.cx = 174;
    d.cy = 125;
    d.face = "MS Shell Dlg";
    d.pointSize = 8;
    d.weight = 400;
    const uint32_t child = kChild | kVisible;
    const uint32_t button = child | kDisabled | kTabStop;
    d.items = {
        Item(kVideoListId, Named(kListViewClass), "",
             child | kBorder | kTabStop | kListReport | kListShowSelAlways | kListEditLabels | kListAlignLeft, 7, 6,
             159, 68),
        Item(kPreviewButtonId, Ordinal(kButtonClass), "Preview", button, 17, 82, 66, 15),
        Item(kRemoveButtonId, Ordinal(kButtonClass), "Remove", button, 89, 82, 66, 15),
        Item(kDownloadPlayButtonId, Ordinal(kButtonClass), "Download && Play", button, 17, 103, 66, 15),
        Item(kDownloadOnlyButtonId, Ordinal(kButtonClass), "Download Only", button, 89, 103, 66, 15),
        Item(kHelpButtonId, Ordinal(kButtonClass), "Help...", kChild | kTabStop, 129, 94, 44, 15),
        Item(kBannerId, Ordinal(kStaticClass), "", child | kStaticNotify | kStaticBlackFrame, 161, 114, 10, 8),
    };
    return d;
}

DialogDefinition MakeDownloadDialog() {
    DialogDefinition d;
    d.caption = "File Download";
    d.style = 0x80C800C0;  // pop-up, caption, system menu, modal frame, set-font
    d.cx = 228;
    d.cy = 143;
    d.face = "MS Shell Dlg";
    d.pointSize = 8;
    d.weight = 400;
    const uint32_t child = kChild | kVisible;
    d.items = {
        Item(kAnimationId, Named(kAnimateClass), "", child | kAnimateTransparent, 7, 7, 192, 32),
        Item(kStatusTextId, Ordinal(kStaticClass), "", child, 7, 47, 214, 8),
        Item(kSourceTextId, Ordinal(kStaticClass), "", child, 7, 60, 214, 8),
        Item(kProgressBarId, Named(kProgressClass), "", child | kBorder, 7, 74, 214, 10),
        Item(-1, Ordinal(kStaticClass), "Estimated time left:", child, 7, 91, 60, 8),
        Item(kTimeLeftTextId, Ordinal(kStaticClass), "", child, 79, 91, 142, 8),
        Item(-1, Ordinal(kStaticClass), "Transfer rate:", child, 7, 104, 43, 8),
        Item(kRateTextId, Ordinal(kStaticClass), "", child, 80, 104, 141, 8),
        Item(kCancelButtonId, Ordinal(kButtonClass), "Cancel", child | kTabStop | kDefPushButton, 171, 122, 50, 14),
    };
    return d;
}

}  // namespace

const DialogDefinition& SnifferDialogDefinition() {
    static const DialogDefinition d = MakeSnifferDialog();
    return d;
}

const DialogDefinition& DownloadDialogDefinition() {
    static const DialogDefinition d = MakeDownloadDialog();
    return d;
}

std::span<const uint8_t> DialogTemplateBytes(int templateId) {
    static const std::vector<uint8_t> sniffer = BuildDialogTemplate(SnifferDialogDefinition());
    static const std::vector<uint8_t> download = BuildDialogTemplate(DownloadDialogDefinition());
    if (templateId == kSnifferDialogId) return sniffer;
    if (templateId == kDownloadDialogId) return download;
    return {};
}

}  // namespace tarnwick
