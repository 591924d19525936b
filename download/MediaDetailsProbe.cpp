// SPDX-License-Identifier: GPL-3.0-or-later
// Reads a media file's details with ffprobe and its picture with ffmpeg, each a limited child process.
#include "download/MediaDetailsProbe.h"

#include <cctype>
#include <charconv>

#include "download/MediaDurationProbe.h"

namespace tarnwick {
namespace {

// The containers videos come in. Not hls, dash, concat, image2 or any other that opens further files.
constexpr const char* kContainers = "mov,mp4,matroska,webm,flv,mpegts,avi,asf,mpeg,ogg,mp3,aac,wav,flac";

int ParseDimension(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value <= 0 || value > 65535) return 0;
    return value;
}

// A codec name as ffprobe writes it: letters, digits and a few marks, never anything to show as control text.
std::string CodecName(std::string_view text) {
    if (text.empty() || text.size() > 32) return {};
    for (char c : text)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) return {};
    return std::string(text);
}

// The decoder's words name the private file it read; the person reading them knows it as the video.
std::string Described(const LimitedChildProcess::Outcome& outcome, const std::string& program) {
    std::string text = outcome.Describe(program);
    const std::string name = std::string("file:") + LimitedChildProcess::kInputPath + ": ";
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at)) text.erase(at, name.size());
    return text;
}

}  // namespace

LimitedChildProcess::Limits MediaDetailsProbe::ProbeLimits() {
    LimitedChildProcess::Limits limits;
    limits.timeoutMs = 10'000;
    limits.cpuSeconds = 10;
    limits.maxOutputBytes = 64 * 1024;
    return limits;
}

LimitedChildProcess::Limits MediaDetailsProbe::PictureLimits() {
    LimitedChildProcess::Limits limits;
    limits.timeoutMs = 15'000;
    limits.cpuSeconds = 15;
    limits.maxOutputBytes = kMaxPictureBytes;
    return limits;
}

std::vector<std::string> MediaDetailsProbe::ProbeArguments(const std::string& ffprobe) {
    const std::string file = LimitedChildProcess::kInputPath;
    return {ffprobe,
            "-v",
            "error",
            "-protocol_whitelist",
            "file",
            "-format_whitelist",
            kContainers,
            "-show_entries",
            "format=duration:stream=codec_type,codec_name,width,height",
            "-of",
            "default",
            "file:" + file};
}

std::vector<std::string> MediaDetailsProbe::PictureArguments(const std::string& ffmpeg, int64_t atUs) {
    const std::string file = LimitedChildProcess::kInputPath;
    std::vector<std::string> arguments = {
        ffmpeg,     "-v", "error", "-nostdin", "-threads", "1", "-protocol_whitelist", "file", "-format_whitelist",
        kContainers};
    if (atUs > 0) {
        char at[32];
        const auto [end, error] =
            std::to_chars(at, at + sizeof at, static_cast<double>(atUs) / 1e6, std::chars_format::fixed, 3);
        if (error == std::errc()) arguments.insert(arguments.end(), {"-ss", std::string(at, end)});
    }
    arguments.insert(arguments.end(), {"-i", "file:" + file, "-map", "0:v:0", "-frames:v", "1", "-an", "-sn", "-dn",
                                       "-f", "image2pipe", "-c:v", "mjpeg", "-q:v", "3", "pipe:1"});
    return arguments;
}

bool MediaDetailsProbe::ParseProbeOutput(std::string_view text, MediaDetails& details) {
    enum class Section { None, Stream, Format } section = Section::None;
    std::string codec, kind;
    int width = 0, height = 0;
    bool anyStream = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line == "[STREAM]") {
            section = Section::Stream;
            codec.clear();
            kind.clear();
            width = height = 0;
        } else if (line == "[/STREAM]") {
            if (section == Section::Stream) {
                anyStream = true;
                if (kind == "video" && details.width == 0 && width > 0 && height > 0) {
                    details.videoCodec = codec;
                    details.width = width;
                    details.height = height;
                } else if (kind == "audio" && details.audioCodec.empty()) {
                    details.audioCodec = codec;
                }
            }
            section = Section::None;
        } else if (line == "[FORMAT]") {
            section = Section::Format;
        } else if (line == "[/FORMAT]") {
            section = Section::None;
        } else if (const size_t equals = line.find('='); equals != std::string_view::npos) {
            const std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
            if (section == Section::Stream) {
                if (key == "codec_name")
                    codec = CodecName(value);
                else if (key == "codec_type")
                    kind = CodecName(value);
                else if (key == "width")
                    width = ParseDimension(value);
                else if (key == "height")
                    height = ParseDimension(value);
            } else if (section == Section::Format && key == "duration") {
                if (const auto duration = MediaDurationProbe::ParseSeconds(value); duration && *duration > 0)
                    details.durationUs = duration;
            }
        }
    }
    return anyStream;
}

MediaDetails MediaDetailsProbe::Read(const Tools& tools, int input, bool whole, const std::atomic<bool>* stop) {
    MediaDetails details;
    const LimitedChildProcess::Outcome probed =
        LimitedChildProcess::Run(ProbeArguments(tools.ffprobe), ProbeLimits(), input, stop);
    if (!probed.Succeeded() || !ParseProbeOutput(probed.output, details)) {
        details.problem = probed.Succeeded() ? "ffprobe found no audio or video in it" : Described(probed, "ffprobe");
        return details;
    }
    if (details.width == 0) return details;  // audio only: no picture to take
    const int64_t atUs = whole && details.durationUs ? *details.durationUs / 10 : 0;
    const LimitedChildProcess::Outcome pictured =
        LimitedChildProcess::Run(PictureArguments(tools.ffmpeg, atUs), PictureLimits(), input, stop);
    const std::string& jpeg = pictured.output;
    if (pictured.Succeeded() && jpeg.size() > 4 && jpeg.compare(0, 2, "\xFF\xD8") == 0)
        details.picture = jpeg;
    else
        details.problem = "no picture: " + (pictured.Succeeded() ? "ffmpeg made none" : Described(pictured, "ffmpeg"));
    return details;
}

}  // namespace tarnwick
