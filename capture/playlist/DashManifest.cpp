// SPDX-License-Identifier: GPL-3.0-or-later
// What a DASH manifest names: each representation's segments as address templates or plain addresses,
// resolved against the manifest's address and its BaseURLs.
#include "capture/playlist/DashManifest.h"

#include <expat.h>

#include <climits>
#include <cstring>
#include <memory>

#include "capture/playlist/UrlResolver.h"

namespace tarnwick {
namespace {

std::string_view LocalName(const XML_Char* name) {
    std::string_view text(name);
    const size_t colon = text.rfind(':');
    return colon == std::string_view::npos ? text : text.substr(colon + 1);
}

const XML_Char* AttributeOf(const XML_Char** attributes, std::string_view name) {
    for (size_t i = 0; attributes[i] && attributes[i + 1]; i += 2)
        if (LocalName(attributes[i]) == name) return attributes[i + 1];
    return nullptr;
}

// Walks a template's $...$ placeholders: the text between them is copied, and each identifier goes to
// fill, which appends what stands for it and says whether the template can be followed. Empty when it
// cannot, when a placeholder is not closed, or when the result grows longer than any address is resolved.
template <class Fill>
std::string FillPlaceholders(std::string_view text, Fill fill) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        if (out.size() > UrlResolver::kMaxLength) return {};
        const size_t open = text.find('$', at);
        if (open == std::string_view::npos) {
            out.append(text.substr(at));
            break;
        }
        const size_t close = text.find('$', open + 1);
        if (close == std::string_view::npos) return {};
        out.append(text.substr(at, open - at));
        if (!fill(text.substr(open + 1, close - open - 1), out)) return {};
        at = close + 1;
    }
    return out.size() > UrlResolver::kMaxLength ? std::string() : out;
}

// $RepresentationID$ and $Bandwidth$ filled in; the others, and "$$", kept for the matcher.
std::string FillTemplate(std::string_view text, std::string_view id, std::string_view bandwidth) {
    return FillPlaceholders(text, [&](std::string_view identifier, std::string& out) {
        if (identifier == "RepresentationID")
            out.append(id);
        else if (identifier == "Bandwidth")
            out.append(bandwidth);
        else
            out.append("$").append(identifier).append("$");
        return true;
    });
}

// $Number$ (or $Number%05d$) and $Time$ of the first segment filled in; empty when another
// placeholder is left or a width is not one that can be followed.
std::string FillFirst(std::string_view text, int64_t number, int64_t time) {
    return FillPlaceholders(text, [&](std::string_view identifier, std::string& out) {
        if (identifier.empty()) {
            out += '$';
            return true;
        }
        size_t width = 0;
        if (const size_t percent = identifier.find('%'); percent != std::string_view::npos) {
            const std::string_view format = identifier.substr(percent + 1);
            identifier = identifier.substr(0, percent);
            if (format.size() < 3 || format.size() > 4 || format[0] != '0' || format.back() != 'd') return false;
            for (const char c : format.substr(1, format.size() - 2)) {
                if (c < '0' || c > '9') return false;
                width = width * 10 + static_cast<size_t>(c - '0');
            }
        }
        if (identifier != "Number" && identifier != "Time") return false;
        std::string digits = std::to_string(identifier == "Number" ? number : time);
        if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
        out += digits;
        return true;
    });
}

// A non-negative count as an attribute gives it; nothing for anything else.
std::optional<int64_t> Count(const XML_Char* text) {
    if (!text || !*text) return std::nullopt;
    int64_t value = 0;
    for (const XML_Char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9' || value > (INT64_MAX - 9) / 10) return std::nullopt;
        value = value * 10 + (*c - '0');
    }
    return value;
}

bool IsVideo(const XML_Char** attributes) {
    const auto* content = AttributeOf(attributes, "contentType");
    const auto* mime = AttributeOf(attributes, "mimeType");
    return (content && std::string_view(content) == "video") ||
           (mime && std::string_view(mime).substr(0, 6) == "video/");
}

using SharedText = std::shared_ptr<const std::string>;

// An attribute's value, shared by the levels that inherit it; nothing when it is missing, or too long
// to be part of an address.
SharedText SharedAttribute(const XML_Char** attributes, std::string_view name) {
    const XML_Char* value = AttributeOf(attributes, name);
    if (!value) return nullptr;
    const std::string_view text(value);
    if (text.size() > UrlResolver::kMaxLength) return std::make_shared<const std::string>();
    return std::make_shared<const std::string>(text);
}

std::string_view TextOf(const SharedText& text) {
    return text ? std::string_view(*text) : std::string_view();
}

// Which element a level of the document is, and what it hands down to the levels inside it. The texts
// are shared, not copied: every element copies its parent's level.
struct Level {
    enum Kind { Other, Mpd, Period, AdaptationSet, Representation, BaseUrl, SegmentList } kind = Other;
    std::shared_ptr<UrlResolver> base;             // what relative references inside this level resolve against
    SharedText media;                              // SegmentTemplate@media in force
    SharedText initialization;                     // SegmentTemplate@initialization in force
    bool listed = false;                           // a SegmentList or SegmentTemplate names this level's segments
    SharedText id, bandwidth;                      // a Representation's
    bool ownBase = false;                          // a BaseURL element of its own changed base
    bool video = false;                            // an AdaptationSet or Representation of video
    int64_t startNumber = 1;                       // SegmentTemplate@startNumber in force
    int64_t firstTime = 0;                         // the first SegmentTimeline S@t in force
    bool timed = false;                            // a SegmentTimeline of this level gave firstTime
    SharedText firstListed, listedInitialisation;  // the first SegmentURL and the Initialization of a list
};

class Reader {
public:
    Reader(DashManifest& out, std::string_view manifestUrl, size_t textBytes, size_t maxNameBytes)
        : out_(out),
          manifestUrl_(manifestUrl),
          nameBytesLeft_(maxNameBytes),
          resolvedLeft_(DashManifest::kResolvedPerTextByte * textBytes + DashManifest::kResolvedAtLeast) {}

    bool Run(std::string_view text) {
        std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate(nullptr), XML_ParserFree);
        if (!parser || text.size() > static_cast<size_t>(INT_MAX)) return false;
        parser_ = parser.get();
        XML_SetUserData(parser_, this);
        XML_SetElementHandler(parser_, &Reader::Start, &Reader::End);
        XML_SetCharacterDataHandler(parser_, &Reader::Text);
        // No manifest needs a document type: one (with the entities it could declare and expand) ends
        // the reading before anything of it is taken in.
        XML_SetStartDoctypeDeclHandler(parser_, &Reader::Doctype);
        XML_SetEntityDeclHandler(parser_, &Reader::Entity);
        const bool parsed = XML_Parse(parser_, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
        return parsed && sawRoot_ && !refused_;
    }

private:
    static void Start(void* self, const XML_Char* name, const XML_Char** attributes) {
        static_cast<Reader*>(self)->OnStart(LocalName(name), attributes);
    }
    static void End(void* self, const XML_Char*) { static_cast<Reader*>(self)->OnEnd(); }
    static void Doctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        static_cast<Reader*>(self)->Refuse();
    }
    static void Entity(void* self, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
                       const XML_Char*, const XML_Char*) {
        static_cast<Reader*>(self)->Refuse();
    }
    void Refuse() {
        refused_ = true;
        XML_StopParser(parser_, XML_FALSE);
    }
    static void Text(void* self, const XML_Char* text, int length) {
        auto* reader = static_cast<Reader*>(self);
        if (!reader->levels_.empty() && reader->levels_.back().kind == Level::BaseUrl && length > 0 &&
            reader->baseText_.size() < UrlResolver::kMaxLength)
            reader->baseText_.append(text, static_cast<size_t>(length));
    }

    void OnStart(std::string_view name, const XML_Char** attributes) {
        if (levels_.size() >= static_cast<size_t>(DashManifest::kMaxDepth) || (levels_.empty() && name != "MPD")) {
            XML_StopParser(parser_, XML_FALSE);
            return;
        }
        Level level = levels_.empty() ? Level{} : levels_.back();
        level.ownBase = false;
        if (levels_.empty()) {
            sawRoot_ = true;
            level.kind = Level::Mpd;
            level.base = std::make_shared<UrlResolver>(manifestUrl_);
            const auto* type = AttributeOf(attributes, "type");
            const auto* duration = AttributeOf(attributes, "mediaPresentationDuration");
            if (duration && !(type && std::string_view(type) == "dynamic"))
                out_.durationUs = DashManifest::ParseDuration(duration).value_or(0);
        } else if (name == "Period") {
            level.kind = Level::Period;
        } else if (name == "AdaptationSet") {
            level.kind = Level::AdaptationSet;
            level.listed = false;
            level.video = IsVideo(attributes);
        } else if (name == "Representation") {
            level.kind = Level::Representation;
            level.video = level.video || IsVideo(attributes);
            if (auto id = SharedAttribute(attributes, "id")) level.id = std::move(id);
            if (auto bandwidth = SharedAttribute(attributes, "bandwidth")) level.bandwidth = std::move(bandwidth);
        } else if (name == "BaseURL") {
            level.kind = Level::BaseUrl;
            baseText_.clear();
        } else if (name == "SegmentTemplate") {
            // Its attributes hold for the level it stands in and those inside that.
            Level& owner = levels_.back();
            if (auto media = SharedAttribute(attributes, "media")) owner.media = std::move(media);
            if (auto initialization = SharedAttribute(attributes, "initialization"))
                owner.initialization = std::move(initialization);
            // A template too long to follow still names the level's segments.
            const XML_Char* media = AttributeOf(attributes, "media");
            owner.listed = owner.listed || !TextOf(owner.media).empty() || (media && *media);
            if (const auto start = Count(AttributeOf(attributes, "startNumber"))) owner.startNumber = *start;
            level.kind = Level::Other;
        } else if (name == "S" && levels_.size() >= 3 && !levels_[levels_.size() - 3].timed) {
            // The first entry of a SegmentTimeline (in a SegmentTemplate): when the first segment starts.
            Level& owner = levels_[levels_.size() - 3];
            owner.timed = true;
            owner.firstTime = Count(AttributeOf(attributes, "t")).value_or(0);
            level.kind = Level::Other;
        } else if (name == "SegmentList") {
            levels_.back().listed = true;
            level.kind = Level::SegmentList;
        } else if (name == "SegmentURL" || name == "Initialization") {
            // Named one by one, relative to the level that holds the list.
            const auto* address = AttributeOf(attributes, name == "SegmentURL" ? "media" : "sourceURL");
            if (address) AddAddress(Resolve(*levels_.back().base, address));
            // The list's level hands the first of each down to the representations it serves.
            if (address && levels_.size() >= 2) {
                Level& owner = levels_[levels_.size() - 2];
                SharedText& first = name == "SegmentURL" ? owner.firstListed : owner.listedInitialisation;
                if (!first) first = std::make_shared<const std::string>(levels_.back().base->ResolveReference(address));
            }
            level.kind = Level::Other;
        } else {
            level.kind = Level::Other;
        }
        levels_.push_back(std::move(level));
    }

    void OnEnd() {
        if (levels_.empty()) return;
        Level level = std::move(levels_.back());
        levels_.pop_back();
        if (level.kind == Level::BaseUrl && !levels_.empty()) {
            // Later levels inside the parent resolve against the parent's new base.
            Level& parent = levels_.back();
            std::string_view text = baseText_;
            while (!text.empty() && std::strchr(" \t\r\n", text.front())) text.remove_prefix(1);
            while (!text.empty() && std::strchr(" \t\r\n", text.back())) text.remove_suffix(1);
            if (!parent.ownBase && !text.empty()) {
                const std::string resolved = Resolve(*parent.base, text);
                if (!resolved.empty()) {
                    parent.base = std::make_shared<UrlResolver>(UrlResolver::ForResolved(resolved));
                    parent.ownBase = true;
                }
            }
        } else if (level.kind == Level::Representation) {
            EmitRepresentation(level);
            if (level.video && out_.firstSegment.empty()) NoteFirst(level);
        } else if (level.kind == Level::SegmentList && !levels_.empty()) {
            // What the list named goes to the level it stands in.
            Level& owner = levels_.back();
            if (!owner.firstListed) owner.firstListed = level.firstListed;
            if (!owner.listedInitialisation) owner.listedInitialisation = level.listedInitialisation;
        }
    }

    // The first video representation's first segment and the section it needs.
    void NoteFirst(const Level& level) {
        std::string initialisation, segment;
        if (!TextOf(level.media).empty()) {
            segment = FillFirst(FillTemplate(*level.media, TextOf(level.id), TextOf(level.bandwidth)),
                                level.startNumber, level.firstTime);
            if (!TextOf(level.initialization).empty())
                initialisation = FillTemplate(*level.initialization, TextOf(level.id), TextOf(level.bandwidth));
            if (!segment.empty()) segment = level.base->ResolveReference(segment);
            if (!initialisation.empty()) initialisation = level.base->ResolveReference(initialisation);
        } else if (!TextOf(level.firstListed).empty()) {
            segment = *level.firstListed;
            initialisation = TextOf(level.listedInitialisation);
        } else if (!level.listed && level.ownBase) {
            segment = level.base->Base();
        }
        if (segment.empty()) return;
        out_.firstSegment = std::move(segment);
        out_.firstInitialisation = std::move(initialisation);
    }

    void EmitRepresentation(const Level& level) {
        if (!TextOf(level.media).empty() || !TextOf(level.initialization).empty()) {
            for (const SharedText* text : {&level.media, &level.initialization}) {
                if (TextOf(*text).empty()) continue;
                const std::string filled = FillTemplate(**text, TextOf(level.id), TextOf(level.bandwidth));
                if (filled.empty()) continue;
                std::string resolved = Resolve(*level.base, filled);
                if (resolved.empty()) continue;
                // A template without placeholders names one address.
                if (resolved.find('$') == std::string::npos)
                    AddAddress(std::move(resolved));
                else if (Take(resolved))
                    out_.templates.push_back(std::move(resolved));
            }
        } else if (!level.listed && level.ownBase) {
            // No list and no template: the representation is the one file its BaseURL names.
            AddAddress(level.base->Base());
        }
    }

    // Resolves within what resolving may cost; empty beyond it.
    std::string Resolve(UrlResolver& base, std::string_view reference) {
        if (resolvedLeft_ == 0) {
            ++out_.namesLeftOut;
            return {};
        }
        std::string resolved = base.ResolveReference(reference);
        if (resolved.size() > resolvedLeft_) {
            resolvedLeft_ = 0;
            ++out_.namesLeftOut;
            return {};
        }
        resolvedLeft_ -= resolved.size();
        return resolved;
    }

    // Whether a name fits in the room and the bound on names; counted as left out when it does not.
    bool Take(const std::string& name) {
        const size_t cost = name.size() + DashManifest::kNameUpkeep;
        if (out_.templates.size() + out_.addresses.size() >= DashManifest::kMaxNames || cost > nameBytesLeft_) {
            ++out_.namesLeftOut;
            return false;
        }
        nameBytesLeft_ -= cost;
        return true;
    }
    void AddAddress(std::string address) {
        if (!address.empty() && Take(address)) out_.addresses.push_back(std::move(address));
    }

    DashManifest& out_;
    std::string_view manifestUrl_;
    size_t nameBytesLeft_;
    size_t resolvedLeft_;  // bytes the names resolved so far may still add
    XML_Parser parser_ = nullptr;
    bool refused_ = false;  // a document type was met
    std::vector<Level> levels_;
    std::string baseText_;
    bool sawRoot_ = false;
};

}  // namespace

std::optional<int64_t> DashManifest::ParseDuration(std::string_view text) {
    if (text.empty() || text.front() != 'P' || text.size() > 64) return std::nullopt;
    constexpr int64_t kMostSeconds = int64_t{100} * 365 * 86400;
    int64_t totalUs = 0;
    bool time = false, any = false;
    size_t at = 1;
    while (at < text.size()) {
        if (text[at] == 'T' && !time) {
            time = true;
            ++at;
            continue;
        }
        int64_t whole = 0, fractionUs = 0;
        const size_t start = at;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
            whole = whole * 10 + (text[at] - '0');
            if (whole > kMostSeconds) return std::nullopt;
        }
        if (at == start) return std::nullopt;
        if (at < text.size() && text[at] == '.') {
            ++at;
            for (int64_t scale = 100000; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, scale /= 10)
                fractionUs += (text[at] - '0') * scale;
        }
        if (at >= text.size()) return std::nullopt;
        const char unit = text[at++];
        int64_t seconds = 0;
        if (!time && unit == 'D')
            seconds = 86400;
        else if (time && unit == 'H')
            seconds = 3600;
        else if (time && unit == 'M')
            seconds = 60;
        else if (time && unit == 'S')
            seconds = 1;
        else
            return std::nullopt;
        if (whole > kMostSeconds / seconds) return std::nullopt;
        totalUs += whole * seconds * 1'000'000 + fractionUs * seconds;
        if (totalUs > kMostSeconds * 1'000'000) return std::nullopt;
        any = true;
    }
    if (!any) return std::nullopt;
    return totalUs;
}

std::optional<DashManifest> DashManifest::Parse(std::string_view text, std::string_view manifestUrl,
                                                size_t maxNameBytes) {
    DashManifest manifest;
    Reader reader(manifest, manifestUrl, text.size(), maxNameBytes);
    if (!reader.Run(text)) return std::nullopt;
    return manifest;
}

}  // namespace tarnwick
