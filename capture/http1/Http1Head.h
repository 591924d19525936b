// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the start line and field lines of an HTTP/1 message head.
#pragma once

#include <optional>
#include <string_view>

#include "capture/message/HttpFields.h"

namespace tarnwick {

// Lines end with CR LF or a bare LF; a field line begins with its name, then a colon, then the value with
// optional blanks around it (names in any case); a line that begins with a blank continues the field
// before it (the obsolete folding), whose value then runs on over the lines. Nothing reads beyond the
// head handed in.
class Http1Head {
public:
    struct RequestLine {
        std::string_view method;
        std::string_view target;
        std::string_view version;
    };
    struct StatusLine {
        int status = 0;
        std::string_view version;
    };

    // Where the head that begins at text ends (just after its blank line), or nothing when it is not
    // all there yet. from: where to resume the search (the bytes before it were searched).
    static std::optional<size_t> EndOf(std::string_view text, size_t from = 0);
    // Whether text may begin a request: a method token (capital letters and '-') then a blank; also true
    // for a shorter text that is the beginning of one.
    static bool MayBeginRequest(std::string_view text, bool& complete);
    // The same for an answer's "HTTP/1.".
    static bool MayBeginAnswer(std::string_view text, bool& complete);

    // Fill fields with views into head. Nothing for a start line that is not HTTP/1.
    static std::optional<RequestLine> ParseRequest(std::string_view head, HttpFields& fields);
    static std::optional<StatusLine> ParseAnswer(std::string_view head, HttpFields& fields);

    // Whether a comma-separated field value holds token (in any case).
    static bool ListHas(std::string_view value, std::string_view token);

private:
    static void ParseFields(std::string_view lines, HttpFields& fields);
};

}  // namespace tarnwick
