// SPDX-License-Identifier: GPL-3.0-or-later
// Dialog templates: the builder writes the published layout and the reader gets the same definition back.
#include <gtest/gtest.h>

#include "resources/DialogResources.h"
#include "resources/DialogTemplate.h"
#include "resources/ResourceIds.h"
#include "resources/StringTable.h"

namespace tarnwick {
namespace {

uint16_t WordAt(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
uint32_t DwordAt(std::span<const uint8_t> b, size_t at) {
    return WordAt(b, at) | (uint32_t{WordAt(b, at + 2)} << 16);
}

void ExpectSameDialog(const ParsedDialogTemplate& parsed, const DialogDefinition& d) {
    EXPECT_EQ(parsed.caption, d.caption);
    EXPECT_EQ(parsed.style, d.style);
    EXPECT_EQ(parsed.exStyle, d.exStyle);
    EXPECT_EQ(parsed.cx, d.cx);
    EXPECT_EQ(parsed.cy, d.cy);
    EXPECT_EQ(parsed.face, d.face);
    EXPECT_EQ(parsed.pointSize, d.pointSize);
    ASSERT_EQ(parsed.items.size(), d.items.size());
    for (size_t i = 0; i < d.items.size(); ++i) {
        SCOPED_TRACE(d.items[i].id);
        const auto& got = parsed.items[i];
        const auto& want = d.items[i];
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.text, want.text);
        EXPECT_EQ(got.style, want.style);
        EXPECT_EQ(got.windowClass, want.windowClass);
        EXPECT_EQ((std::array{got.x, got.y, got.cx, got.cy}), (std::array{want.x, want.y, want.cx, want.cy}));
    }
}

TEST(DialogTemplate, SnifferTemplateHasTheExtendedHeaderAndReadsBack) {
    auto bytes = DialogTemplateBytes(kSnifferDialogId);
    ASSERT_GE(bytes.size(), 26u);
    EXPECT_EQ(WordAt(bytes, 0), 1);       // version
    EXPECT_EQ(WordAt(bytes, 2), 0xFFFF);  // signature
    EXPECT_EQ(DwordAt(bytes, 8), 0x8u);   // topmost
    EXPECT_EQ(WordAt(bytes, 16), 7);      // items
    EXPECT_EQ(WordAt(bytes, 22), 174);
    EXPECT_EQ(WordAt(bytes, 24), 125);
    auto parsed = ParseDialogTemplate(bytes);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->extended);
    EXPECT_TRUE(parsed->hasFont);
    ExpectSameDialog(*parsed, SnifferDialogDefinition());
    EXPECT_EQ(parsed->items[3].text, "Download && Play");
    EXPECT_FALSE(parsed->items[5].style & style::kVisible);  // Help... starts hidden
}

TEST(DialogTemplate, DownloadTemplateReadsBackWithItsStyleAndLabels) {
    auto parsed = ParseDialogTemplate(DialogTemplateBytes(kDownloadDialogId));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->style, 0x80C800C0u);
    ExpectSameDialog(*parsed, DownloadDialogDefinition());
    EXPECT_EQ(parsed->items[4].id, -1);
    EXPECT_EQ(parsed->items[4].text, "Estimated time left:");
    EXPECT_EQ(parsed->items[8].id, 2);
    EXPECT_EQ(parsed->items[8].text, "Cancel");
}

TEST(DialogTemplate, ItemsStartOnFourByteBoundaries) {
    DialogDefinition d = SnifferDialogDefinition();
    auto bytes = BuildDialogTemplate(d);
    // Walk by hand: every item header begins at a multiple of four and carries its id at +20.
    auto parsed = ParseDialogTemplate(bytes);
    ASSERT_TRUE(parsed);
    size_t found = 0;
    for (size_t at = 0; at + 24 <= bytes.size(); at += 4)
        if (DwordAt(bytes, at + 20) == static_cast<uint32_t>(d.items[found].id) &&
            WordAt(bytes, at + 12) == static_cast<uint16_t>(d.items[found].x) &&
            WordAt(bytes, at + 14) == static_cast<uint16_t>(d.items[found].y) && ++found == d.items.size())
            break;
    EXPECT_EQ(found, d.items.size());
}

TEST(DialogTemplate, ClassicLayoutReadsBackWithoutWeight) {
    DialogDefinition d = DownloadDialogDefinition();
    auto parsed = ParseDialogTemplate(BuildClassicDialogTemplate(d));
    ASSERT_TRUE(parsed);
    EXPECT_FALSE(parsed->extended);
    EXPECT_EQ(parsed->weight, 0);
    EXPECT_EQ(parsed->italic, 0);
    ExpectSameDialog(*parsed, d);
}

TEST(DialogTemplate, EveryTruncationIsRejectedWithoutReadingPastTheEnd) {
    auto bytes = DialogTemplateBytes(kSnifferDialogId);
    for (size_t length = 0; length + 1 < bytes.size(); ++length) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(ParseDialogTemplate(cut)) << "length " << length;
    }
}

TEST(StringTable, TextsAreSubstitutedPlainly) {
    EXPECT_EQ(FormatString(1611, "404"), "Failed to receive a valid HTTP response from the server, Response Code:404");
    EXPECT_EQ(FormatString(1613, "42", "clip.flv"), "42% of clip.flv Completed");
    EXPECT_EQ(FormatString(1625, "/tmp/a%2b"), "The file '/tmp/a%2b' already exists.\nDo you want to replace it?");
    EXPECT_EQ(FormatString(1622, "2 min 5 sec", "3.4 MB of 10.25 MB"), "2 min 5 sec (3.4 MB of 10.25 MB copied)");
    EXPECT_FALSE(LoadString(1607));
    EXPECT_EQ(*LoadString(1626), "An error occured while opening the file to be downloaded, Error:%1");
}

}  // namespace
}  // namespace tarnwick
