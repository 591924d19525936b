// SPDX-License-Identifier: GPL-3.0-or-later
// Follows the HLS and DASH streams of one capture thread: reads their playlists whole, knows which
// addresses are their segments, and counts each segment answer into the stream whose playlist named it.
#include "capture/playlist/StreamTracker.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "capture/playlist/DashManifest.h"
#include "capture/playlist/HlsPlaylist.h"
#include "capture/playlist/UrlResolver.h"

namespace tarnwick {
namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameNoCase(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (LowerAscii(text[i]) != lower[i]) return false;
    return true;
}

bool EndsWithNoCase(std::string_view text, std::string_view lowerSuffix) {
    return text.size() >= lowerSuffix.size() && SameNoCase(text.substr(text.size() - lowerSuffix.size()), lowerSuffix);
}

uint64_t Hash(std::string_view text, std::optional<int64_t> rangeFirst) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    if (rangeFirst)
        for (int shift = 0; shift < 64; shift += 8)
            hash = (hash ^ ((static_cast<uint64_t>(*rangeFirst) >> shift) & 0xFF)) * 1099511628211ull;
    return hash;
}

}  // namespace

StreamTracker::Limits StreamTracker::Limits::From(const CaptureLimits& limits) {
    Limits result;
    result.maxStreams = limits.Bytes(Limit::Streams);
    result.maxNameBytes = limits.Bytes(Limit::StreamNameBytes);
    result.maxTemplatesPerStream = limits.Bytes(Limit::TemplatesPerStream);
    result.maxCounted = limits.Bytes(Limit::CountedSegments);
    return result;
}

StreamTracker::StreamTracker(Limits limits, LimitHits* hits) : limits_(limits), hits_(hits) {
    if (limits_.maxStreams == 0) limits_.maxStreams = 1;
}

// Asked of every answer that may carry a video, so it compares in place instead of lowering copies.
std::optional<StreamTracker::Kind> StreamTracker::PlaylistKind(std::string_view contentType, std::string_view url) {
    std::string_view type = contentType.substr(0, contentType.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
    for (std::string_view hls :
         {"application/vnd.apple.mpegurl", "application/x-mpegurl", "audio/mpegurl", "audio/x-mpegurl"})
        if (SameNoCase(type, hls)) return Kind::Hls;
    if (SameNoCase(type, "application/dash+xml")) return Kind::Dash;
    const size_t slash = url.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view path = url.substr(slash);
    for (size_t i = 0; i < path.size(); ++i)
        if (path[i] == '?' || path[i] == '#') {
            path = path.substr(0, i);
            break;
        }
    if (EndsWithNoCase(path, ".m3u8")) return Kind::Hls;
    if (EndsWithNoCase(path, ".mpd")) return Kind::Dash;
    return std::nullopt;
}

StreamTracker::Streams::iterator StreamTracker::Find(uint64_t id) {
    return std::find_if(streams_.begin(), streams_.end(), [id](const Stream& stream) { return stream.id == id; });
}

StreamTracker::Streams::iterator StreamTracker::StreamFor(const std::string& url, const std::string& scheme,
                                                          Kind kind) {
    // A playlist that an earlier one named belongs to that one's stream.
    if (const auto named = names_.find(url); named != names_.end())
        if (const auto stream = Find(named->second); stream != streams_.end()) return stream;
    const auto same =
        std::find_if(streams_.begin(), streams_.end(), [&url](const Stream& stream) { return stream.url == url; });
    if (same != streams_.end()) return same;
    if (streams_.size() >= limits_.maxStreams) {
        ++statistics_.streamsEvicted;
        if (hits_) hits_->Hit(Limit::Streams);
        Evict(streams_.begin());
    }
    Stream stream;
    stream.id = nextId_++;
    stream.url = url;
    stream.scheme = scheme;
    stream.kind = kind;
    streams_.push_back(std::move(stream));
    return std::prev(streams_.end());
}

void StreamTracker::Evict(Streams::iterator stream) {
    // Only the stream's own names are walked.
    for (const std::string* name : stream->names) {
        const size_t copies = playlistNames_.erase(*name) + 1;
        nameBytes_ -= std::min(nameBytes_, NameCost(name->size()) * copies);
        names_.erase(*name);
    }
    for (const AddressTemplate& pattern : stream->templates) {
        const auto bucket = shapes_.find(pattern.Shape());
        if (bucket == shapes_.end()) continue;
        std::erase_if(bucket->second, [&pattern](const Pattern& filed) { return filed.pattern == &pattern; });
        if (bucket->second.empty()) shapes_.erase(bucket);
    }
    nameBytes_ -= std::min(nameBytes_, stream->templateBytes);
    templateCount_ -= stream->templates.size();
    countedInAll_ -= std::min(countedInAll_, stream->counted.size());
    streams_.erase(stream);
}

StreamTracker::Naming StreamTracker::Name(Streams::iterator stream, std::string address, bool playlist) {
    if (address.empty() || names_.count(address)) return Naming::Known;
    // A playlist's name is held twice (in both tables).
    const size_t cost = NameCost(address.size()) * (playlist ? 2 : 1);
    if (cost > limits_.maxNameBytes - std::min(limits_.maxNameBytes, nameBytes_)) return Naming::Full;
    nameBytes_ += cost;
    if (playlist) playlistNames_.insert(address);
    const auto entry = names_.emplace(std::move(address), stream->id).first;
    // Keys of an unordered map keep their place when the table grows.
    stream->names.push_back(&entry->first);
    return Naming::Added;
}

void StreamTracker::NamesDropped(size_t count) {
    statistics_.namesDropped += count;
    if (hits_) hits_->Hit(Limit::StreamNameBytes);
}

void StreamTracker::TakePlaylist(const std::string& url, const std::string& scheme, Kind kind, std::string_view body) {
    if (kind == Kind::Hls) {
        const auto playlist = HlsPlaylist::Parse(body);
        if (!playlist) {
            ++statistics_.playlistsUnread;
            return;
        }
        ++statistics_.playlistsRead;
        const auto stream = StreamFor(url, scheme, kind);
        Touch(stream);
        UrlResolver resolver(url);
        size_t resolvedLeft = kResolvedPerPlaylistByte * (body.size() + url.size()) + kResolvedAtLeast;
        size_t left = playlist->playlists.size() + playlist->segments.size();
        for (const auto& names : {&playlist->playlists, &playlist->segments}) {
            for (const std::string& name : *names) {
                std::string address = resolver.ResolveReference(name);
                const size_t resolved = address.size();
                // Once the bound is reached, the rest of the names are not resolved either.
                if (resolved > resolvedLeft ||
                    Name(stream, std::move(address), names == &playlist->playlists) == Naming::Full)
                    return NamesDropped(left);
                resolvedLeft -= resolved;
                --left;
            }
        }
        return;
    }
    const auto manifest = DashManifest::Parse(body, url, limits_.maxNameBytes);
    if (!manifest) {
        ++statistics_.playlistsUnread;
        return;
    }
    ++statistics_.playlistsRead;
    const auto stream = StreamFor(url, scheme, kind);
    Touch(stream);
    if (manifest->namesLeftOut > 0) NamesDropped(manifest->namesLeftOut);
    for (size_t i = 0; i < manifest->addresses.size(); ++i)
        if (Name(stream, manifest->addresses[i]) == Naming::Full) {
            NamesDropped(manifest->addresses.size() - i);
            break;
        }
    TakeTemplates(stream, manifest->templates);
}

void StreamTracker::TakeTemplates(Streams::iterator stream, const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
        if (stream->templates.size() >= limits_.maxTemplatesPerStream) {
            ++statistics_.namesDropped;
            if (hits_) hits_->Hit(Limit::TemplatesPerStream);
            break;
        }
        if (std::find(stream->templateTexts.begin(), stream->templateTexts.end(), text) != stream->templateTexts.end())
            continue;
        auto compiled = AddressTemplate::Compile(text);
        if (!compiled) {
            ++statistics_.namesDropped;
            continue;
        }
        const size_t cost = 3 * NameCost(text.size());
        if (cost > limits_.maxNameBytes - std::min(limits_.maxNameBytes, nameBytes_)) {
            ++statistics_.namesDropped;
            if (hits_) hits_->Hit(Limit::StreamNameBytes);
            break;
        }
        nameBytes_ += cost;
        stream->templateBytes += cost;
        stream->templates.push_back(std::move(*compiled));
        stream->templateTexts.push_back(text);
        const AddressTemplate& pattern = stream->templates.back();
        shapes_[pattern.Shape()].push_back(Pattern{stream->id, &pattern});
        ++templateCount_;
    }
}

StreamTracker::Streams::iterator StreamTracker::MatchTemplates(std::string_view url) {
    // Only the patterns of the address's shape can match it; of those, as many as the bound lets.
    const auto bucket = shapes_.find(AddressTemplate::ShapeOf(url));
    if (bucket == shapes_.end()) return streams_.end();
    size_t budget = kMatchBytesPerAddressByte * url.size() + kMatchBytes;
    for (const Pattern& filed : bucket->second) {
        if (filed.pattern->Cost() > budget) {
            ++statistics_.matchesCut;
            break;
        }
        budget -= filed.pattern->Cost();
        if (filed.pattern->Matches(url)) return Find(filed.streamId);
    }
    return streams_.end();
}

std::optional<StreamTracker::Growth> StreamTracker::OnAnswer(std::string_view url, int64_t bodyBytes,
                                                             std::optional<int64_t> rangeFirst) {
    if (streams_.empty()) return std::nullopt;
    Streams::iterator stream = streams_.end();
    if (const auto named = names_.find(std::string(url)); named != names_.end()) {
        stream = Find(named->second);
    } else if (templateCount_ != 0) {
        stream = MatchTemplates(url);
    }
    if (stream == streams_.end()) return std::nullopt;
    Touch(stream);
    // Beyond its bound a stream still counts, without telling a segment fetched again from a new one.
    Growth growth{stream->url, stream->scheme, stream->kind, stream->bytes, stream->segments, false};
    const uint64_t hash = Hash(url, rangeFirst);
    if (stream->counted.count(hash)) return growth;
    if (countedInAll_ < limits_.maxCounted) {
        stream->counted.insert(hash);
        ++countedInAll_;
    } else if (hits_) {
        hits_->Hit(Limit::CountedSegments);
    }
    ++statistics_.segments;
    stream->bytes += std::max<int64_t>(bodyBytes, 0);
    ++stream->segments;
    growth.bytes = stream->bytes;
    growth.segments = stream->segments;
    growth.grew = true;
    return growth;
}

}  // namespace tarnwick
