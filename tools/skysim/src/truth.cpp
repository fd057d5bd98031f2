#include <cstdio>
#include <string>

#include "vlx/skysim/generator.h"

namespace vlx::skysim {

FormatCode ParseFormat(std::string_view name) {
    if (name == "YUY2") return kFormatYUY2;
    if (name == "UYVY") return kFormatUYVY;
    if (name == "I420") return kFormatPlanar420;
    if (name == "GRAY8" || name == "Y800") return kFormatGray8;
    return kFormatNone;
}

const char* FormatString(FormatCode format) {
    switch (format) {
        case kFormatYUY2: return "YUY2";
        case kFormatUYVY: return "UYVY";
        case kFormatPlanar420: return "I420";
        case kFormatGray8: return "GRAY8";
        default: return "";
    }
}

namespace {

std::string Quote(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

}  // namespace

std::string TruthJson(const Generator& gen, FormatCode format, const std::string& video_file, bool audio) {
    const Scene& s = gen.scene();
    std::string j = "{\n";
    auto field = [&](const char* key, const std::string& value, bool last = false) {
        j += "  ";
        j += Quote(key);
        j += ": ";
        j += value;
        j += last ? "\n" : ",\n";
    };
    field("generator", Quote("vlx-skysim"));
    field("video", Quote(video_file));
    field("format", Quote(FormatString(format)));
    field("width", std::to_string(s.width));
    field("height", std::to_string(s.height));
    field("fps", Num(s.fps));
    field("frames", std::to_string(s.frames));
    field("seed", std::to_string(s.seed));
    field("sky_level", Num(s.sky_level));
    field("noise_sigma", Num(s.noise_sigma));
    field("stars", std::to_string(s.star_count));
    field("clouds", s.clouds.on ? "true" : "false");
    if (audio) {
        field("audio", "{\"rate\": " + std::to_string(Generator::kAudioRate) +
                           ", \"channels\": " + std::to_string(Generator::kAudioChannels) +
                           ", \"format\": \"S16LE\", \"tone_hz\": " + Num(s.audio.tone_hz) +
                           ", \"tone_ms\": " + Num(s.audio.tone_ms) + "}");
    } else {
        field("audio", "null");
    }
    const DetectModel& d = s.detect;
    field("detect", "{\"level\": " + std::to_string(gen.detect_level()) +
                        ", \"level_low\": " + std::to_string(gen.detect_level_low()) +
                        ", \"level_high\": " + std::to_string(gen.detect_level_high()) +
                        ", \"size\": " + std::to_string(d.size) + ", \"frames\": " + std::to_string(d.frames) +
                        ", \"min_size\": " + std::to_string(d.min_size) + ", \"diff\": " + std::to_string(d.diff) +
                        "}");
    field("triggering_events", std::to_string(gen.TriggeringEvents()));
    j += "  \"events\": [";
    bool first = true;
    for (const TruthEvent& e : gen.truth()) {
        j += first ? "\n" : ",\n";
        first = false;
        j += "    {\"kind\": " + Quote(EventKindName(e.kind)) + ", \"index\": " + std::to_string(e.index) +
             ", \"first_frame\": " + std::to_string(e.first_frame) +
             ", \"last_frame\": " + std::to_string(e.last_frame) + ", \"peak\": " + Num(e.peak) +
             ", \"speed\": " + Num(e.speed) + ", \"path\": {\"x0\": " + Num(e.x0) + ", \"y0\": " + Num(e.y0) +
             ", \"x1\": " + Num(e.x1) + ", \"y1\": " + Num(e.y1) + "}" +
             ", \"detect_first\": " + std::to_string(e.detect_first) +
             ", \"detect_last\": " + std::to_string(e.detect_last) + ", \"max_hits\": " + std::to_string(e.max_hits) +
             ", \"expect_trigger\": " + (e.expect_trigger ? "true" : "false") +
             ", \"marginal\": " + (e.marginal ? "true" : "false");
        if (e.tone_sample >= 0 && audio) j += ", \"tone_sample\": " + std::to_string(e.tone_sample);
        j += "}";
    }
    j += first ? "]\n" : "\n  ]\n";
    j += "}\n";
    return j;
}

}  // namespace vlx::skysim
