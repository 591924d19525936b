// SPDX-License-Identifier: GPL-3.0-or-later
// Dialog templates in the platform's binary layout: a builder from definitions and a bounds-checked reader.
#include "resources/DialogTemplate.h"

namespace tarnwick {
namespace {

class TemplateWriter {
public:
    void Word(uint16_t value) {
        bytes_.push_back(static_cast<uint8_t>(value & 0xFF));
        bytes_.push_back(static_cast<uint8_t>(value >> 8));
    }
    void Dword(uint32_t value) {
        Word(static_cast<uint16_t>(value & 0xFFFF));
        Word(static_cast<uint16_t>(value >> 16));
    }
    void Byte(uint8_t value) { bytes_.push_back(value); }
    // Texts are ASCII in this program; each character becomes one UTF-16 unit.
    void Text(const std::string& text) {
        for (unsigned char c : text) Word(c);
        Word(0);
    }
    void NameOrOrd(const NameOrOrdinal& field) {
        if (field.ordinal) {
            Word(0xFFFF);
            Word(*field.ordinal);
        } else if (field.name.empty()) {
            Word(0);
        } else {
            Text(field.name);
        }
    }
    void AlignTo4() {
        while (bytes_.size() % 4) bytes_.push_back(0);
    }
    std::vector<uint8_t> Take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
};

class TemplateReader {
public:
    explicit TemplateReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool ok() const { return ok_; }
    size_t position() const { return position_; }
    uint16_t Word() {
        if (!Has(2)) return 0;
        uint16_t v = static_cast<uint16_t>(bytes_[position_] | (bytes_[position_ + 1] << 8));
        position_ += 2;
        return v;
    }
    uint32_t Dword() {
        uint32_t low = Word();
        return low | (static_cast<uint32_t>(Word()) << 16);
    }
    uint8_t Byte() {
        if (!Has(1)) return 0;
        return bytes_[position_++];
    }
    std::string Text() {
        std::string text;
        for (;;) {
            uint16_t unit = Word();
            if (!ok_ || unit == 0) return text;
            text += unit < 0x80 ? static_cast<char>(unit) : '?';
        }
    }
    NameOrOrdinal NameOrOrd() {
        NameOrOrdinal field;
        if (!Has(2)) return field;
        uint16_t first = static_cast<uint16_t>(bytes_[position_] | (bytes_[position_ + 1] << 8));
        if (first == 0xFFFF) {
            position_ += 2;
            field.ordinal = Word();
        } else if (first == 0) {
            position_ += 2;
        } else {
            field.name = Text();
        }
        return field;
    }
    void AlignTo4() { position_ = (position_ + 3) & ~size_t{3}; }
    void Skip(size_t count) {
        if (Has(count)) position_ += count;
    }

private:
    bool Has(size_t count) {
        if (!ok_ || position_ > bytes_.size() || bytes_.size() - position_ < count) {
            ok_ = false;
            return false;
        }
        return true;
    }
    std::span<const uint8_t> bytes_;
    size_t position_ = 0;
    bool ok_ = true;
};

bool HasFontBlock(uint32_t style) {
    return (style & style::kSetFont) != 0;
}

}  // namespace

std::vector<uint8_t> BuildDialogTemplate(const DialogDefinition& d) {
    TemplateWriter w;
    w.Word(1);
    w.Word(0xFFFF);
    w.Dword(d.helpId);
    w.Dword(d.exStyle);
    w.Dword(d.style);
    w.Word(static_cast<uint16_t>(d.items.size()));
    for (int16_t v : {d.x, d.y, d.cx, d.cy}) w.Word(static_cast<uint16_t>(v));
    w.NameOrOrd(d.menu);
    w.NameOrOrd(d.windowClass);
    w.Text(d.caption);
    if (HasFontBlock(d.style)) {
        w.Word(static_cast<uint16_t>(d.pointSize));
        w.Word(d.weight);
        w.Byte(d.italic);
        w.Byte(d.charset);
        w.Text(d.face);
    }
    for (const auto& item : d.items) {
        w.AlignTo4();
        w.Dword(item.helpId);
        w.Dword(item.exStyle);
        w.Dword(item.style);
        for (int16_t v : {item.x, item.y, item.cx, item.cy}) w.Word(static_cast<uint16_t>(v));
        w.Dword(static_cast<uint32_t>(item.id));
        w.NameOrOrd(item.windowClass);
        w.NameOrOrd(item.text.empty() ? NameOrOrdinal{} : NameOrOrdinal{std::nullopt, item.text});
        w.Word(0);  // no creation data
    }
    return w.Take();
}

std::vector<uint8_t> BuildClassicDialogTemplate(const DialogDefinition& d) {
    TemplateWriter w;
    w.Dword(d.style);
    w.Dword(d.exStyle);
    w.Word(static_cast<uint16_t>(d.items.size()));
    for (int16_t v : {d.x, d.y, d.cx, d.cy}) w.Word(static_cast<uint16_t>(v));
    w.NameOrOrd(d.menu);
    w.NameOrOrd(d.windowClass);
    w.Text(d.caption);
    if (HasFontBlock(d.style)) {
        w.Word(static_cast<uint16_t>(d.pointSize));
        w.Text(d.face);
    }
    for (const auto& item : d.items) {
        w.AlignTo4();
        w.Dword(item.style);
        w.Dword(item.exStyle);
        for (int16_t v : {item.x, item.y, item.cx, item.cy}) w.Word(static_cast<uint16_t>(v));
        w.Word(static_cast<uint16_t>(item.id));
        w.NameOrOrd(item.windowClass);
        w.NameOrOrd(item.text.empty() ? NameOrOrdinal{} : NameOrOrdinal{std::nullopt, item.text});
        w.Word(0);
    }
    return w.Take();
}

std::optional<ParsedDialogTemplate> ParseDialogTemplate(std::span<const uint8_t> bytes) {
    TemplateReader r(bytes);
    ParsedDialogTemplate t;
    uint16_t version = r.Word();
    uint16_t signature = r.Word();
    t.extended = version == 1 && signature == 0xFFFF;
    if (t.extended) {
        t.helpId = r.Dword();
        t.exStyle = r.Dword();
        t.style = r.Dword();
    } else {
        r = TemplateReader(bytes);
        t.style = r.Dword();
        t.exStyle = r.Dword();
    }
    t.itemCount = r.Word();
    t.x = static_cast<int16_t>(r.Word());
    t.y = static_cast<int16_t>(r.Word());
    t.cx = static_cast<int16_t>(r.Word());
    t.cy = static_cast<int16_t>(r.Word());
    t.menu = r.NameOrOrd();
    t.windowClass = r.NameOrOrd();
    t.caption = r.Text();
    t.hasFont = HasFontBlock(t.style);
    if (t.hasFont) {
        t.pointSize = static_cast<int16_t>(r.Word());
        if (t.extended) {
            t.weight = r.Word();
            t.italic = r.Byte();
            t.charset = r.Byte();
        } else {
            t.weight = 0;
            t.italic = 0;
        }
        t.face = r.Text();
    }
    if (!r.ok()) return std::nullopt;
    for (uint16_t i = 0; i < t.itemCount; ++i) {
        r.AlignTo4();
        DialogItemDefinition item;
        if (t.extended) {
            item.helpId = r.Dword();
            item.exStyle = r.Dword();
            item.style = r.Dword();
        } else {
            item.style = r.Dword();
            item.exStyle = r.Dword();
        }
        item.x = static_cast<int16_t>(r.Word());
        item.y = static_cast<int16_t>(r.Word());
        item.cx = static_cast<int16_t>(r.Word());
        item.cy = static_cast<int16_t>(r.Word());
        item.id = t.extended ? static_cast<int32_t>(r.Dword()) : static_cast<int16_t>(r.Word());
        item.windowClass = r.NameOrOrd();
        NameOrOrdinal title = r.NameOrOrd();
        item.text = title.name;
        r.Skip(r.Word());  // creation data, skipped by its count
        if (!r.ok()) return std::nullopt;
        t.items.push_back(std::move(item));
    }
    return t;
}

}  // namespace tarnwick
