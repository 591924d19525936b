// SPDX-License-Identifier: GPL-3.0-or-later
// Playlists and manifests: what they name, how names resolve and match, and how a stream counts them.
#include <gtest/gtest.h>
#include <malloc.h>

#include <memory>
#include <string>
#include <vector>

#include "capture/playlist/AddressTemplate.h"
#include "capture/playlist/DashManifest.h"
#include "capture/playlist/HlsPlaylist.h"
#include "capture/playlist/StreamTracker.h"
#include "capture/playlist/UrlResolver.h"

namespace tarnwick {
namespace {

using Strings = std::vector<std::string>;

TEST(HlsPlaylist, MasterAndMediaPlaylistsNameWhatPlayersFetch) {
    const auto master = HlsPlaylist::Parse(
        "\xEF\xBB\xBF#EXTM3U\r\n#EXT-X-VERSION:3\r\n"
        "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"en, main\",URI=\"audio/en.m3u8\"\r\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=500000,CODECS=\"avc1.4d401e,mp4a.40.2\",AUDIO=\"a\"\r\n"
        "low/index.m3u8\r\n\r\n"
        "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=90000,URI=\"low/iframes.m3u8\"\r\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=900000\nhttp://cdn.test/high/index.m3u8\n");
    ASSERT_TRUE(master);
    EXPECT_TRUE(master->master);
    EXPECT_EQ(master->playlists,
              (Strings{"audio/en.m3u8", "low/index.m3u8", "low/iframes.m3u8", "http://cdn.test/high/index.m3u8"}));
    EXPECT_TRUE(master->segments.empty());

    const auto media = HlsPlaylist::Parse(
        "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MAP:URI=\"init.mp4\",BYTERANGE=\"720@0\"\n"
        "#EXTINF:2.0,\nseg0.m4s\n#EXT-X-BYTERANGE:1000@0\n#EXTINF:2.0,title\n/abs/seg1.m4s?token=a\n#EXT-X-ENDLIST\n");
    ASSERT_TRUE(media);
    EXPECT_FALSE(media->master);
    EXPECT_EQ(media->segments, (Strings{"init.mp4", "seg0.m4s", "/abs/seg1.m4s?token=a"}));
    // What the details of a stream start from: its first variant, its first segment with the section it
    // needs, and its length once it has ended.
    EXPECT_EQ(master->firstVariant, "low/index.m3u8");
    EXPECT_EQ(media->firstSegment, "seg0.m4s");
    EXPECT_EQ(media->firstInitialisation, "init.mp4");
    EXPECT_EQ(media->durationUs, 4'000'000);
    EXPECT_TRUE(media->ended);
    const auto live =
        HlsPlaylist::Parse("#EXTM3U\n#EXTINF:9.97,\na.ts\n#EXTINF:-1,\nb.ts\n#EXTINF:3.0333333333\nc.ts\n");
    ASSERT_TRUE(live);
    EXPECT_EQ(live->durationUs, 9'970'000 + 3'033'333);
    EXPECT_FALSE(live->ended);
    EXPECT_TRUE(live->firstInitialisation.empty());

    EXPECT_FALSE(HlsPlaylist::Parse("<html>#EXTM3U</html>"));
    EXPECT_FALSE(HlsPlaylist::Parse(""));
    EXPECT_EQ(HlsPlaylist::Attribute("A=1,URI=\"x,y\",B=2", "B"), "2");
    EXPECT_FALSE(HlsPlaylist::Attribute("URI=\"unclosed", "URI"));
}

TEST(DashManifest, TemplatesListsAndSingleFilesResolveAgainstTheirBaseUrls) {
    const auto manifest = DashManifest::Parse(R"(<?xml version="1.0"?>
<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static">
  <BaseURL>media/</BaseURL>
  <Period>
    <AdaptationSet>
      <SegmentTemplate media="$RepresentationID$/chunk-$Number%05d$.m4s" initialization="$RepresentationID$/init.m4s"/>
      <Representation id="v1" bandwidth="400000"/>
      <Representation id="v2" bandwidth="800000">
        <SegmentTemplate media="b$Bandwidth$-$Time$.m4s"/>
      </Representation>
    </AdaptationSet>
    <AdaptationSet>
      <Representation id="a" bandwidth="64000">
        <BaseURL>http://other.test/audio/</BaseURL>
        <SegmentList><Initialization sourceURL="init.mp4"/><SegmentURL media="s1.mp4"/><SegmentURL media="../s2.mp4"/></SegmentList>
      </Representation>
      <Representation id="whole"><BaseURL>whole.mp4</BaseURL><SegmentBase indexRange="0-99"/></Representation>
    </AdaptationSet>
  </Period>
</MPD>)",
                                              "host:8080/show/manifest.mpd?x=1");
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->templates,
              (Strings{"host:8080/show/media/v1/chunk-$Number%05d$.m4s", "host:8080/show/media/b800000-$Time$.m4s"}));
    EXPECT_EQ(manifest->addresses, (Strings{"host:8080/show/media/v1/init.m4s", "host:8080/show/media/v2/init.m4s",
                                            "other.test/audio/init.mp4", "other.test/audio/s1.mp4", "other.test/s2.mp4",
                                            "host:8080/show/media/whole.mp4"}));

    // Nothing says which representation is video: none is taken for the details.
    EXPECT_TRUE(manifest->firstSegment.empty());
    EXPECT_EQ(manifest->durationUs, 0);

    EXPECT_FALSE(DashManifest::Parse("<NotMPD/>", "h/m.mpd"));
    EXPECT_FALSE(DashManifest::Parse("<MPD><Period>", "h/m.mpd"));
    std::string deep = "<MPD>";
    for (int i = 0; i < 40; ++i) deep += "<a>";
    EXPECT_FALSE(DashManifest::Parse(deep, "h/m.mpd"));
    // No manifest needs a document type: one is refused before its entities could expand (a long
    // comment first would only make the expansion look small beside it).
    EXPECT_TRUE(DashManifest::Parse("<MPD/>", "h/m.mpd"));
    EXPECT_FALSE(DashManifest::Parse("<!-- " + std::string(100000, 'c') + " --><!DOCTYPE MPD><MPD/>", "h/m.mpd"));
    EXPECT_FALSE(
        DashManifest::Parse(R"(<!DOCTYPE MPD [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">
<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;"><!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">
<!ENTITY e "&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;"><!ENTITY f "&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;">
<!ENTITY g "&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;"><!ENTITY h "&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;">]>
<MPD><BaseURL>&h;</BaseURL></MPD>)",
                            "h/m.mpd"));
}

TEST(DashManifest, NamesInheritedByManyElementsStayWithinTheirBound) {
    // Every element inside a level inherits its base and template: a long one and thousands of short
    // elements would make thousands of long names out of a small manifest.
    std::string listed = "<MPD><Period><AdaptationSet><BaseURL>http://cdn.test/" + std::string(4000, 'd') +
                         "/</BaseURL><Representation id=\"v\"><SegmentList>";
    for (int i = 0; i < 5000; ++i) listed += "<SegmentURL media=\"" + std::to_string(i) + "\"/>";
    listed += "</SegmentList></Representation></AdaptationSet></Period></MPD>";
    std::string templated = "<MPD><Period><AdaptationSet><SegmentTemplate media=\"" + std::string(4000, 't') +
                            "-$RepresentationID$-$Number$.m4s\"/>";
    for (int i = 0; i < 5000; ++i) templated += "<Representation id=\"" + std::to_string(i) + "\"/>";
    templated += "</AdaptationSet></Period></MPD>";
    constexpr size_t kBound = 1 << 20;
    for (const std::string& text : {listed, templated}) {
        const auto manifest = DashManifest::Parse(text, "h/m.mpd", kBound);
        ASSERT_TRUE(manifest);
        size_t bytes = 0;
        for (const auto* names : {&manifest->addresses, &manifest->templates})
            for (const std::string& name : *names) bytes += name.size() + DashManifest::kNameUpkeep;
        EXPECT_LE(bytes, kBound);
        EXPECT_GT(bytes, kBound / 2);
        // What was left out is counted.
        EXPECT_EQ(manifest->addresses.size() + manifest->templates.size() + manifest->namesLeftOut, 5000u);
    }
}

TEST(DashManifest, TheFirstVideoSegmentAndTheLengthLeadToTheDetails) {
    const auto manifest = DashManifest::Parse(R"(<MPD type="static" mediaPresentationDuration="PT1M6.5S">
  <Period>
    <AdaptationSet contentType="audio">
      <Representation id="a">
        <SegmentList><Initialization sourceURL="a/init.mp4"/><SegmentURL media="a/1.mp4"/></SegmentList>
      </Representation>
    </AdaptationSet>
    <AdaptationSet mimeType="video/mp4">
      <Representation id="v" bandwidth="9">
        <SegmentTemplate initialization="init-$RepresentationID$.m4s"
                         media="c-$RepresentationID$-$Number%05d$-$Time$.m4s" startNumber="7">
          <SegmentTimeline><S t="1200" d="25600" r="2"/><S t="99999" d="1"/></SegmentTimeline>
        </SegmentTemplate>
      </Representation>
    </AdaptationSet>
  </Period>
</MPD>)",
                                              "host/show/manifest.mpd");
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->firstInitialisation, "host/show/init-v.m4s");
    EXPECT_EQ(manifest->firstSegment, "host/show/c-v-00007-1200.m4s");
    EXPECT_EQ(manifest->durationUs, 66'500'000);
    // A list of segments, inherited from the adaptation set; a live manifest has no length.
    const auto listed = DashManifest::Parse(R"(<MPD type="dynamic" mediaPresentationDuration="PT6S"><Period>
<AdaptationSet contentType="video">
<SegmentList><SegmentURL media="v/1.mp4"/><Initialization sourceURL="v/i.mp4"/></SegmentList>
<Representation id="x"/></AdaptationSet></Period></MPD>)",
                                            "host/m.mpd");
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->firstSegment, "host/v/1.mp4");
    EXPECT_EQ(listed->firstInitialisation, "host/v/i.mp4");
    EXPECT_EQ(listed->durationUs, 0);

    EXPECT_EQ(DashManifest::ParseDuration("PT6.0S"), 6'000'000);
    EXPECT_EQ(DashManifest::ParseDuration("P1DT2H3M4.25S"),
              ((24 + 2) * 3600 + 3 * 60 + 4) * int64_t{1'000'000} + 250'000);
    for (const char* wrong : {"", "P", "PT", "6S", "PT6", "P1M", "PT1X", "PT99999999999999999S", "P9999999999D"})
        EXPECT_FALSE(DashManifest::ParseDuration(wrong)) << wrong;
}

TEST(AddressTemplate, NumbersMatchDigitRunsOnly) {
    const auto chunk = AddressTemplate::Compile("h/v/chunk-$Number%05d$.m4s");
    ASSERT_TRUE(chunk);
    EXPECT_TRUE(chunk->Matches("h/v/chunk-00012.m4s"));
    EXPECT_TRUE(chunk->Matches("h/v/chunk-7.m4s"));
    EXPECT_FALSE(chunk->Matches("h/v/chunk-.m4s"));
    EXPECT_FALSE(chunk->Matches("h/v/chunk-12a.m4s"));
    EXPECT_FALSE(chunk->Matches("h/v/chunk-12.m4s.bak"));
    const auto dollar = AddressTemplate::Compile("h/$Time$.ts$$x");
    ASSERT_TRUE(dollar);
    EXPECT_TRUE(dollar->Matches("h/1234.ts$x"));
    // Numbers side by side, or a number followed by a digit, cannot be told apart in an address: such
    // patterns are not followed (and no address can make matching try every way to split its digits).
    EXPECT_FALSE(AddressTemplate::Compile("h/$Time$0.ts"));
    EXPECT_FALSE(AddressTemplate::Compile("h/$Number$$Number$.ts"));
    EXPECT_FALSE(chunk->Matches("h/v/chunk-" + std::string(5000, '7') + ".m4s"));

    EXPECT_FALSE(AddressTemplate::Compile("h/plain.m4s"));
    EXPECT_FALSE(AddressTemplate::Compile("h/$Unknown$.m4s"));
    EXPECT_FALSE(AddressTemplate::Compile("h/$Number.m4s"));
    EXPECT_FALSE(AddressTemplate::Compile("$Number$$Number$$Number$$Number$$Number$"));
}

TEST(UrlResolver, ReferencesResolveLikeABrowser) {
    EXPECT_EQ(UrlResolver::Resolve("h:8081/a/b/list.m3u8", "seg1.ts"), "h:8081/a/b/seg1.ts");
    EXPECT_EQ(UrlResolver::Resolve("h:8081/a/b/list.m3u8?t=1", "../c/seg.ts?k=2#frag"), "h:8081/a/c/seg.ts?k=2");
    EXPECT_EQ(UrlResolver::Resolve("h/a/list.m3u8", "/root.ts"), "h/root.ts");
    EXPECT_EQ(UrlResolver::Resolve("h/a/list.m3u8", "//cdn.test/x.ts"), "cdn.test/x.ts");
    EXPECT_EQ(UrlResolver::Resolve("h/a/list.m3u8", "http://cdn.test:80/x.ts"), "cdn.test/x.ts");
    EXPECT_EQ(UrlResolver::Resolve("h/a/list.m3u8", "https://cdn.test/x.ts"), "");
    EXPECT_EQ(UrlResolver::Resolve("h/a/list.m3u8", std::string("x\0y.ts", 6)), "");
    EXPECT_EQ(UrlResolver::Resolve("h/a/list.m3u8", ""), "");
}

TEST(UrlResolver, OneBaseIsParsedOnceForAllItsReferences) {
    // A playlist names up to 100,000 addresses against one base: the usual forms are joined to the base
    // as the URL parser resolves them, without parsing each again (with a long base, that was most of
    // the cost of a large playlist).
    for (const std::string base : {"h:8081/a/b/list.m3u8?t=1", "H.Test:80/./x/../y/l.mpd", "h", "[::1]:8080/p/",
                                   "h/a%20b/l.m3u8", "h/a//b/l.m3u8"}) {
        UrlResolver resolver(base);
        for (const std::string reference : {"seg1.ts", "../c/seg.ts?k=2#frag", "/root.ts", "./a/./b/../c.ts",
                                            "a b/\xC3\xA9.ts?q r&s=1", "?only=query", "../../../../x.ts", "a/..", "a/.",
                                            "x.ts#frag", "~u/c=d&e;p@x:y.ts", "%2e%2e/x", "a//b/../c"})
            EXPECT_EQ(resolver.ResolveReference(reference), UrlResolver::ResolveByParser(base, reference))
                << base << " + " << reference;
        EXPECT_EQ(resolver.ParsedWithBase(), 0u) << base;
    }
    // Absolute and host-relative references are read alone; what no address holds is refused unread.
    UrlResolver resolver("h/a/list.m3u8");
    EXPECT_EQ(resolver.ResolveReference("//cdn.test/x.ts"), "cdn.test/x.ts");
    EXPECT_EQ(resolver.ResolveReference("http://cdn.test:80/x.ts"), "cdn.test/x.ts");
    EXPECT_EQ(resolver.ResolveReference("https://cdn.test/x.ts"), "");
    EXPECT_EQ(resolver.ResolveReference("x\ty.ts"), "");
    EXPECT_EQ(resolver.ParsedWithBase(), 0u);
    // Where the parser strays from RFC 3986, references resolve as browsers resolve them: an empty
    // query is kept, and dot segments followed by an empty segment or a query do not eat a slash.
    EXPECT_EQ(resolver.ResolveReference("seg.ts?"), "h/a/seg.ts?");
    EXPECT_EQ(resolver.ResolveReference("./?q"), "h/a/?q");
    EXPECT_EQ(resolver.ResolveReference("..//x.ts"), "h//x.ts");
    // A base the parser refuses resolves nothing.
    EXPECT_EQ(UrlResolver("h a/list").ResolveReference("x.ts"), "");
}

TEST(StreamTracker, SegmentsCountIntoTheStreamOfTheMasterThatNamedTheirPlaylist) {
    StreamTracker tracker;
    EXPECT_FALSE(tracker.OnAnswer("h/hls/seg0.ts", 1000, std::nullopt));
    tracker.TakePlaylist("h/hls/master.m3u8", "http", StreamTracker::Kind::Hls,
                         "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nlow/index.m3u8\n");
    EXPECT_FALSE(tracker.Empty());
    // Segments named by no playlist yet are nobody's.
    EXPECT_FALSE(tracker.OnAnswer("h/hls/low/seg0.ts", 1000, std::nullopt));
    tracker.TakePlaylist("h/hls/low/index.m3u8", "http", StreamTracker::Kind::Hls,
                         "#EXTM3U\n#EXTINF:1,\nseg0.ts\n#EXTINF:1,\nhttp://h/hls/low/seg1.ts\n#EXTINF:1,\nseg2.ts\n");
    auto growth = tracker.OnAnswer("h/hls/low/seg0.ts", 1000, std::nullopt);
    ASSERT_TRUE(growth);
    EXPECT_TRUE(growth->grew);
    EXPECT_EQ(growth->url, "h/hls/master.m3u8");
    EXPECT_EQ(growth->kind, StreamTracker::Kind::Hls);
    growth = tracker.OnAnswer("h/hls/low/seg1.ts", -1, std::nullopt);  // no length: counted, no bytes
    ASSERT_TRUE(growth);
    EXPECT_EQ(growth->bytes, 1000);
    EXPECT_EQ(growth->segments, 2);
    // Fetched again (a seek, or the program's own download): still the stream's, not counted again.
    growth = tracker.OnAnswer("h/hls/low/seg0.ts", 1000, std::nullopt);
    ASSERT_TRUE(growth);
    EXPECT_FALSE(growth->grew);
    EXPECT_EQ(growth->segments, 2);
    // Pieces of one segment file count once each.
    tracker.OnAnswer("h/hls/low/seg2.ts", 500, 0);
    growth = tracker.OnAnswer("h/hls/low/seg2.ts", 500, 500);
    EXPECT_EQ(growth->bytes, 2000);
    EXPECT_EQ(growth->segments, 4);
    // Another host's address of the same path is no segment; neither is anything else.
    EXPECT_FALSE(tracker.OnAnswer("other/hls/low/seg0.ts", 1000, std::nullopt));
    EXPECT_FALSE(tracker.OnAnswer("h/hls/page.html", 1000, std::nullopt));

    // A manifest's templates match the numbered segments.
    tracker.TakePlaylist("h/dash/m.mpd", "http", StreamTracker::Kind::Dash,
                         "<MPD><Period><AdaptationSet><Representation id=\"0\"><SegmentTemplate "
                         "media=\"c-$RepresentationID$-$Number$.m4s\" initialization=\"i-$RepresentationID$.m4s\"/>"
                         "</Representation></AdaptationSet></Period></MPD>");
    tracker.OnAnswer("h/dash/i-0.m4s", 800, std::nullopt);
    growth = tracker.OnAnswer("h/dash/c-0-17.m4s", 9000, std::nullopt);
    ASSERT_TRUE(growth);
    EXPECT_EQ(growth->url, "h/dash/m.mpd");
    EXPECT_EQ(growth->kind, StreamTracker::Kind::Dash);
    EXPECT_EQ(growth->bytes, 9800);
    EXPECT_EQ(growth->segments, 2);
    EXPECT_EQ(tracker.Counts().playlistsRead, 3u);
}

TEST(StreamTracker, StreamsAndNamesStayWithinTheirBounds) {
    StreamTracker::Limits limits;
    limits.maxStreams = 2;
    const size_t name = StreamTracker::NameCost(std::string("h/seg-of-1.ts").size());  // what one name costs
    limits.maxNameBytes = 2 * name + 10;
    StreamTracker tracker(limits);
    for (const char* url : {"h/1.m3u8", "h/2.m3u8", "h/3.m3u8"})
        tracker.TakePlaylist(url, "http", StreamTracker::Kind::Hls,
                             "#EXTM3U\nseg-of-" + std::string(url + 2, 1) + ".ts\n");
    // The first stream went to make room for the third; its segment is nobody's now.
    EXPECT_FALSE(tracker.OnAnswer("h/seg-of-1.ts", 1, std::nullopt));
    EXPECT_TRUE(tracker.OnAnswer("h/seg-of-3.ts", 1, std::nullopt));
    EXPECT_EQ(tracker.Counts().streamsEvicted, 1u);
    // The evicted stream took its own names with it, and only those.
    EXPECT_EQ(tracker.NameBytes(), 2 * name);
    EXPECT_TRUE(tracker.OnAnswer("h/seg-of-2.ts", 1, std::nullopt));
    tracker.TakePlaylist("h/3.m3u8", "http", StreamTracker::Kind::Hls, "#EXTM3U\n" + std::string(60, 'a') + ".ts\n");
    EXPECT_EQ(tracker.Counts().namesDropped, 1u);

    EXPECT_EQ(StreamTracker::PlaylistKind("application/vnd.apple.mpegurl", "h/x"), StreamTracker::Kind::Hls);
    EXPECT_EQ(StreamTracker::PlaylistKind("Application/X-MpegURL; charset=utf-8", "h/x"), StreamTracker::Kind::Hls);
    EXPECT_EQ(StreamTracker::PlaylistKind("application/dash+xml", "h/x"), StreamTracker::Kind::Dash);
    EXPECT_EQ(StreamTracker::PlaylistKind("text/plain", "h/live/INDEX.M3U8?token=1"), StreamTracker::Kind::Hls);
    EXPECT_EQ(StreamTracker::PlaylistKind("", "h/show.mpd"), StreamTracker::Kind::Dash);
    EXPECT_FALSE(StreamTracker::PlaylistKind("video/mp2t", "h/seg.ts"));
    EXPECT_FALSE(StreamTracker::PlaylistKind("text/plain", "h/notes?file=list.m3u8"));
}

TEST(StreamTracker, APlaylistsNamesCostNoMoreThanAFewTimesItsOwnBytes) {
    // A long address and many one-letter names: resolved, they would come to a thousand times the
    // playlist's bytes. Once the names of one playlist pass a few dozen times its bytes, the rest are
    // not resolved (and are counted as dropped); the few distinct names are all held.
    StreamTracker tracker;
    const std::string url = "h/" + std::string(8000, 'p') + "/l.m3u8";
    std::string body = "#EXTM3U\n";
    for (int i = 0; i < 50000; ++i) body += std::string(1, static_cast<char>('a' + i % 26)) + "\n";
    tracker.TakePlaylist(url, "http", StreamTracker::Kind::Hls, body);
    EXPECT_EQ(tracker.NameBytes(), 26 * StreamTracker::NameCost(url.size() - std::string("l.m3u8").size() + 1));
    EXPECT_GT(tracker.Counts().namesDropped, 0u);
    EXPECT_TRUE(tracker.OnAnswer(url.substr(0, url.size() - 6) + "z", 1, std::nullopt));
}

TEST(StreamTracker, NamesAreCountedAtWhatTheyHold) {
    // Filled to its bound with names just too long to be held inside their strings (the most costly
    // per character), the tracker holds no more than it counts.
    const auto heap = [] {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    const size_t before = heap();
    auto tracker = std::make_unique<StreamTracker>();
    for (int playlist = 0; tracker->NameBytes() + 1000 < StreamTracker::Limits{}.maxNameBytes; ++playlist) {
        std::string body = "#EXTM3U\n";
        for (int i = 0; i < 20000; ++i) body += "s" + std::to_string(playlist * 100000 + i) + "-ab.ts\n";
        tracker->TakePlaylist("h/" + std::to_string(playlist % 10) + "/l.m3u8", "http", StreamTracker::Kind::Hls, body);
    }
    EXPECT_LE(heap() - before, tracker->NameBytes());
}

TEST(StreamTracker, TemplatesAreCountedAndTriedByShapeWithinABound) {
    StreamTracker tracker;
    // 32 manifests of 64 representations whose templates differ only in digits: all of one shape.
    for (int m = 0; m < 32; ++m) {
        std::string text =
            "<MPD><Period><AdaptationSet><SegmentTemplate media=\"$Number$.r$Bandwidth$.$Number$.m4s\"/>";
        for (int r = 0; r < 64; ++r)
            text += "<Representation id=\"r\" bandwidth=\"" + std::to_string(100000 + r) + "\"/>";
        tracker.TakePlaylist("h/v/m" + std::to_string(m) + ".mpd", "http", StreamTracker::Kind::Dash,
                             text + "</AdaptationSet></Period></MPD>");
    }
    // The patterns count against the bound on names.
    EXPECT_GE(tracker.NameBytes(),
              32 * 64 * StreamTracker::NameCost(std::string("h/v/$Number$.r100000.$Number$.m4s").size()));
    // An answer of their shape that none matches is compared with as many as its bound allows, not all.
    EXPECT_FALSE(tracker.OnAnswer("h/v/1.r7.1.m4s", 1, std::nullopt));
    EXPECT_EQ(tracker.Counts().matchesCut, 1u);
    // Within the bound the patterns still match; an address of another shape is not compared with them.
    const auto growth = tracker.OnAnswer("h/v/5.r100003.9.m4s", 1, std::nullopt);
    ASSERT_TRUE(growth);
    EXPECT_EQ(growth->url, "h/v/m0.mpd");
    EXPECT_FALSE(tracker.OnAnswer("h/v/x.r100003.9.m4s", 1, std::nullopt));
    EXPECT_EQ(tracker.Counts().matchesCut, 1u);

    // A stream evicted takes its patterns out of the shape table.
    StreamTracker::Limits limits;
    limits.maxStreams = 1;
    StreamTracker small(limits);
    small.TakePlaylist(
        "h/a.mpd", "http", StreamTracker::Kind::Dash,
        "<MPD><Period><AdaptationSet><Representation id=\"a\"><SegmentTemplate media=\"a-$Number$.m4s\"/>"
        "</Representation></AdaptationSet></Period></MPD>");
    small.TakePlaylist(
        "h/b.mpd", "http", StreamTracker::Kind::Dash,
        "<MPD><Period><AdaptationSet><Representation id=\"b\"><SegmentTemplate media=\"a-$Number$.mp4\"/>"
        "</Representation></AdaptationSet></Period></MPD>");
    EXPECT_FALSE(small.OnAnswer("h/a-1.m4s", 1, std::nullopt));
    EXPECT_TRUE(small.OnAnswer("h/a-1.mp4", 1, std::nullopt));
}

}  // namespace
}  // namespace tarnwick
