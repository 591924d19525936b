// SPDX-License-Identifier: GPL-3.0-or-later
// The fields of one decoded HTTP/2 header block, and their HTTP/1 text form.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Holds a block's fields up to a bound (counted the way HTTP/2 counts a header list: name, value and
// 32 bytes per field); fields beyond it are dropped and the list is marked cut. A field that no HTTP/1
// message could carry (a line break or NUL, an upper-case or empty name, a pseudo-header after a
// regular field) marks the list malformed: its text must never be replayed to a server.
class Http2HeaderList {
public:
    static constexpr size_t kMaxListSize = 64 * 1024;
    static constexpr size_t kFieldOverhead = 32;

    struct Field {
        std::string name;
        std::string value;
    };

    // Empties the list; the room of a long one is given back.
    void Clear();
    // A cut list takes nothing more, and its fields are not looked at.
    void Add(std::string_view name, std::string_view value);
    void SetBound(size_t bytes) { bound_ = bytes; }
    // Cuts the list where it stands (its holder has no room for more); its fields go.
    void CutHere();
    const std::vector<Field>& Fields() const { return fields_; }
    // What the fields take from the heap, about: the list's room and every text too long to be held in
    // place. Small fields cost far more than HTTP/2 counts them (a one-byte reference to the static
    // table is a field of its own), so their holder counts this.
    size_t HeldBytes() const { return fields_.capacity() * sizeof(Field) + textBytes_; }

    bool Cut() const { return cut_; }
    bool Malformed() const { return malformed_; }
    // The first field of that name (pseudo-headers with their colon).
    std::optional<std::string_view> Find(std::string_view name) const;

    // "GET /path HTTP/1.1", Host (from :authority, else the host field), the other fields, the blank line.
    // Nothing when the pseudo-headers do not make a request line.
    std::optional<std::string> RequestText() const;
    // "HTTP/1.1 200" and the regular fields, through the blank line.
    std::string ResponseHead(std::string_view status) const;

    // "content-type" -> "Content-Type", as HTTP/1 writes field names.
    static std::string Http1Name(std::string_view name);

private:
    std::vector<Field> fields_;
    size_t bound_ = kMaxListSize;
    size_t size_ = 0;
    size_t textBytes_ = 0;
    bool cut_ = false;
    bool malformed_ = false;
    bool regularSeen_ = false;
};

}  // namespace tarnwick
