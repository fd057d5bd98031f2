// The sidecar: one JSON document per clip, written whole or not at all.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "vlx/analysis/clip_analysis.h"

namespace vlx::analysis {
namespace {

// Station texts are single-byte code-page text; bytes above 127 are written
// as the Latin-1 characters of the same number so the file is valid JSON.
std::string Quote(const std::string& s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            o += buf;
        } else {
            o += static_cast<char>(c);
        }
    }
    return o + "\"";
}

std::string Num(double v, int decimals = 2) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

}  // namespace

std::string SidecarPath(const std::string& clip_path) {
    const size_t slash = clip_path.rfind('/');
    const size_t dot = clip_path.rfind('.');
    const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (has_ext ? clip_path.substr(0, dot) : clip_path) + ".track.json";
}

std::string TrackJson(const std::string& clip_name, const ClipAnalysisOptions& options, const Analysis& a) {
    const Measures& m = a.measures;
    std::ostringstream j;
    j << "{\n  \"version\": 1,\n  \"clip\": " << Quote(clip_name) << ",\n  \"lid\": " << Quote(options.lid)
      << ", \"sid\": " << Quote(options.sid) << ",\n  \"width\": " << a.width << ", \"height\": " << a.height
      << ", \"fps\": " << Num(a.fps, 3) << ", \"frames\": " << a.rows.size() << ", \"dlev\": " << a.dlev
      << ", \"diff\": " << a.fs_diff << ",\n";
    j << "  \"verdict\": " << Quote(KindName(a.verdict.kind)) << ", \"score\": " << Num(a.verdict.score)
      << ", \"reason\": " << Quote(a.verdict.reason) << ",\n";
    j << "  \"track\": ";
    if (!m.found) {
        j << "null,\n";
    } else {
        j << "{\"first_frame\": " << m.first_frame << ", \"last_frame\": " << m.last_frame
          << ", \"frames_seen\": " << m.frames_seen << ",\n    \"start\": [" << Num(m.start_x, 1) << ", "
          << Num(m.start_y, 1) << "], \"end\": [" << Num(m.end_x, 1) << ", " << Num(m.end_y, 1)
          << "], \"direction\": [" << Num(m.dir_x, 4) << ", " << Num(m.dir_y, 4) << "], \"residual\": "
          << Num(m.residual) << ", \"length\": " << Num(m.length, 1) << ",\n    \"speed_px_s\": "
          << Num(m.speed_px_s, 1) << ", \"speed_deg_s\": " << (m.speed_deg_s >= 0 ? Num(m.speed_deg_s, 2) : "null")
          << ", \"duration_s\": " << Num(m.duration_s, 3) << ", \"peak_frame\": " << m.peak_frame
          << ", \"peak_rise\": " << m.peak_rise << ",\n    \"brightens_and_fades\": "
          << (m.brightens_and_fades ? "true" : "false") << ", \"blinks\": " << m.blinks
          << ", \"blink_hz\": " << Num(m.blink_hz) << ", \"regularity\": " << Num(m.regularity)
          << ", \"steadiness\": " << Num(m.steadiness) << ", \"area_growth\": " << Num(m.area_growth)
          << ",\n    \"light_curve\": [";
        for (size_t i = 0; i < m.light_curve.size(); ++i) j << (i ? ", " : "") << m.light_curve[i];
        j << "]},\n";
    }
    j << "  \"max_changed\": " << Num(m.max_changed, 4) << ", \"max_changed_frame\": " << m.max_changed_frame
      << ", \"wide_frames\": " << m.wide_frames << ", \"track_share\": " << Num(m.track_share, 3)
      << ", \"total_hits\": " << m.total_hits << ",\n  \"rows\": [";
    for (size_t i = 0; i < a.rows.size(); ++i) {
        const FrameRow& r = a.rows[i];
        j << (i ? ",\n" : "\n") << "    {\"frame\": " << r.frame << ", \"hits\": " << r.hits << ", \"rise\": " << r.rise
          << ", \"changed\": " << Num(r.changed, 4);
        if (r.rise > 0) {
            j << ", \"cx\": " << Num(r.cx, 1) << ", \"cy\": " << Num(r.cy, 1) << ", \"box\": [" << r.x0 << ", " << r.y0
              << ", " << r.x1 << ", " << r.y1 << "]";
        }
        if (r.track_hits > 0) {
            j << ", \"track_hits\": " << r.track_hits << ", \"track_rise\": " << r.track_rise << ", \"track_cx\": "
              << Num(r.track_cx, 1) << ", \"track_cy\": " << Num(r.track_cy, 1) << ", \"track_box\": [" << r.track_x0
              << ", " << r.track_y0 << ", " << r.track_x1 << ", " << r.track_y1 << "]";
        }
        j << "}";
    }
    j << "\n  ]\n}\n";
    return j.str();
}

bool AnalyseClipToSidecar(const std::string& clip_path, const ClipAnalysisOptions& options, Analysis* out,
                          std::string* error) {
    const std::string path = SidecarPath(clip_path);
    Analysis local;
    Analysis& a = out ? *out : local;
    // A sidecar that no longer matches its clip is worse than none.
    std::remove(path.c_str());
    if (!AnalyseClip(clip_path, options, &a, error)) return false;
    const size_t slash = clip_path.rfind('/');
    const std::string name = slash == std::string::npos ? clip_path : clip_path.substr(slash + 1);
    const std::string text = TrackJson(name, options, a);
    const std::string tmp = path + ".part";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        *error = "cannot create " + tmp + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed || std::rename(tmp.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace vlx::analysis
