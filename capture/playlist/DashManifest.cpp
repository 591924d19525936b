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

// $RepresentationID$ and $Bandwidth$ filled in, "$$" kept for the matcher. Empty when the template
// names an identifier that is not known, or grows longer than any address is resolved.
std::string FillTemplate(std::string_view text, std::string_view id, std::string_view bandwidth) {
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
        const std::string_view identifier = text.substr(open + 1, close - open - 1);
        if (identifier == "RepresentationID") out.append(id);
        else if (identifier == "Bandwidth") out.append(bandwidth);
        else out.append(text.substr(open, close - open + 1));
        at = close + 1;
    }
    return out.size() > UrlResolver::kMaxLength ? std::string() : out;
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

std::string_view TextOf(const SharedText& text) { return text ? std::string_view(*text) : std::string_view(); }

// Which element a level of the document is, and what it hands down to the levels inside it. The texts
// are shared, not copied: every element copies its parent's level.
struct Level {
    enum Kind { Other, Mpd, Period, AdaptationSet, Representation, BaseUrl, SegmentList } kind = Other;
    std::shared_ptr<UrlResolver> base;  // what relative references inside this level resolve against
    SharedText media;                   // SegmentTemplate@media in force
    SharedText initialization;          // SegmentTemplate@initialization in force
    bool listed = false;                // a SegmentList or SegmentTemplate names this level's segments
    SharedText id, bandwidth;           // a Representation's
    bool ownBase = false;               // a BaseURL element of its own changed base
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
        } else if (name == "Period") {
            level.kind = Level::Period;
        } else if (name == "AdaptationSet") {
            level.kind = Level::AdaptationSet;
            level.listed = false;
        } else if (name == "Representation") {
            level.kind = Level::Representation;
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
            level.kind = Level::Other;
        } else if (name == "SegmentList") {
            levels_.back().listed = true;
            level.kind = Level::SegmentList;
        } else if (name == "SegmentURL" || name == "Initialization") {
            // Named one by one, relative to the level that holds the list.
            const auto* address = AttributeOf(attributes, name == "SegmentURL" ? "media" : "sourceURL");
            if (address) AddAddress(Resolve(*levels_.back().base, address));
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
        }
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
                if (resolved.find('$') == std::string::npos) AddAddress(std::move(resolved));
                else if (Take(resolved)) out_.templates.push_back(std::move(resolved));
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

std::optional<DashManifest> DashManifest::Parse(std::string_view text, std::string_view manifestUrl,
                                                size_t maxNameBytes) {
    DashManifest manifest;
    Reader reader(manifest, manifestUrl, text.size(), maxNameBytes);
    if (!reader.Run(text)) return std::nullopt;
    return manifest;
}

}  // namespace tarnwick
