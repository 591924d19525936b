// SPDX-License-Identifier: GPL-3.0-or-later
// Resolves an address a playlist names against the playlist's own address, as a browser would.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// base and the results are in the detector's form: host and path without "http://". A reference may
// be absolute ("http://host/x"), host-relative ("//host/x"), path-absolute ("/x") or relative ("x",
// "../x", "?q"); dot segments are removed and a fragment is dropped. The result is empty when the
// reference is not a plain-HTTP address (another scheme) or cannot be read as one.
//
// A playlist names up to a hundred thousand addresses against one base: the base is read (by libcurl's
// URL parser) once, and the references of the usual forms are joined to it and their dot segments
// removed here, at the cost of copying their bytes; only the others (absolute ones, unusual characters)
// go through the parser, each alone where its result does not depend on the base.
class UrlResolver {
public:
    // Longer bases and references are no address worth following (the detector's URLs are at most 4095
    // bytes).
    static constexpr size_t kMaxLength = 8192;

    explicit UrlResolver(std::string_view base);
    // For a base that is itself a result of ResolveReference: its parts are read off it, without the
    // parser (a manifest's levels each resolve their BaseURL against the level around them).
    static UrlResolver ForResolved(std::string_view resolved);

    const std::string& Base() const { return base_; }

    std::string ResolveReference(std::string_view reference);
    // References resolved by the URL parser with the base (the rest cost no parsing).
    size_t ParsedWithBase() const { return parsedWithBase_; }

    // One reference; the same as UrlResolver(base).ResolveReference(reference).
    static std::string Resolve(std::string_view base, std::string_view reference);
    // The URL parser's result, every time: what ResolveReference must agree with.
    static std::string ResolveByParser(std::string_view base, std::string_view reference);

private:
    // What references are joined to, learnt from the parser once: the origin ("host:port") and the
    // base's directory path ("/a/b/") and path ("/a/b/list.m3u8"), each as the parser writes them.
    struct Parts {
        std::string origin;
        std::string directory;
        std::string path;
    };
    const Parts* BaseParts();

    std::string base_;
    std::optional<Parts> parts_;
    bool partsTried_ = false;
    bool baseParses_ = false;
    size_t parsedWithBase_ = 0;
};

}  // namespace tarnwick
