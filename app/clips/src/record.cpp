// The XML record of a clip, the detection log, and the replay still's name.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_util.h"
#include "vlx/clips/records.h"
#include "vlx/clips/storage.h"

namespace vlx {
namespace {

using clips_detail::FieldText;

constexpr int kRecordVersion = 209;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(big.data(), big.size(), format, args);
    va_end(args);
    big.resize(static_cast<size_t>(n));
    return big;
}

// Appends to the log, creating it with header when it is missing. A name that
// is a folder cannot be opened and is left alone.
void AppendLog(const std::string& path, const char* header, const std::string& part) {
    struct stat st;
    std::string text;
    int fd;
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        text = header;
    } else {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    if (fd < 0) return;
    text += part;
    clips_detail::WriteAll(fd, text.data(), text.size());
    ::close(fd);
}

std::string LogPath(const AppContext& ctx) {
    std::string month = FieldText(ctx.month_folder, sizeof ctx.month_folder);
    // No file has been named yet in this run: there is no month folder to
    // log into (and the bare name would land in the file system root).
    if (month.empty()) return std::string();
    return month + "/detlog.csv";
}

}  // namespace

std::string XmlEscape(const char* text, size_t max_len) {
    std::string out;
    for (size_t i = 0; i < max_len && text[i] != '\0'; ++i) {
        switch (text[i]) {
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '\'': out += "&apos;"; break;
            default: out += text[i];
        }
    }
    return out;
}

bool WriteClipRecord(const AppContext& ctx, const std::string& xml_path) {
    const DetectParams& dp = ctx.dp;
    const Settings& ap = ctx.ap;
    const StampParts t = BreakDownStamp(dp.clip_start_time);
    const int tz = dp.si_utc ? 0 : -ctx.tz_bias;
    auto esc = [](const char* field, size_t cap) { return XmlEscape(field, cap); };

    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\r\n<vigilux_record version=\"200\"";
    text += Format(" y=\"%04d\" mo=\"%02d\" d=\"%02d\" h=\"%02d\" m=\"%02d\" s=\"%02d\" trig=\"%d\" frames=\"%d\"", t.year,
                   t.month, t.day, t.hour, t.minute, t.second, dp.clip_trigger, dp.clip_frames);
    text += Format(" lng=\"%.4f\" lat=\"%.4f\" alt=\"%.1f\" tz=\"%d\" u2=\"%d\"", ap.lng, ap.lat, ap.alt, tz,
                   kRecordVersion);
    text += Format(" cx=\"%d\" cy=\"%d\" fps=\"%.3f\" head=\"%d\" tail=\"%d\" diff=\"%d\" sipos=\"%d\" sisize=\"%d\"", dp.cx,
                   dp.cy, dp.fps, dp.fs_head, dp.fs_tail, dp.fs_diff, dp.si_y0, dp.si_on * dp.si_fonty);
    text += Format(" dlev=\"%d\" dsize=\"%d\"", dp.clip_dlev, dp.dsize);
    text += " lid=\"" + esc(dp.lid, sizeof dp.lid) + "\" observer=\"" + esc(ap.oname, sizeof ap.oname) + "\" sid=\"" +
            esc(dp.cid, sizeof dp.cid) + "\" cam=\"" + esc(dp.cname, sizeof dp.cname) + "\" lens=\"" +
            esc(dp.lname, sizeof dp.lname) + "\" cap=\"" + esc(ap.hname, sizeof ap.hname) + "\" comment=\"" +
            esc(ap.comment, sizeof ap.comment) + "\"";
    text += "></vigilux_record>\r\n";

    clips_detail::AtomicFile file;
    return file.Open(xml_path) && file.Write(text.data(), text.size()) == text.size() && file.Commit();
}

void LogDetectStart(AppContext& ctx) {
    ctx.detect_start_time = ctx.CaptureNow();
    if (!ctx.ap.md_log) return;
    std::string path = LogPath(ctx);
    if (path.empty()) return;
    const StampParts t = BreakDownStamp(ctx.detect_start_time);
    AppendLog(path, "ver,Y1(start),M1,D1,h1,m1,s1,Y2(stop),M2,D2,h2,m2,s2,Lapse(sec)",
              Format("\r\n%d,%04d,%02d,%02d,%02d,%02d,%02d,", kRecordVersion, t.year, t.month, t.day, t.hour, t.minute,
                     t.second));
}

void LogDetectStop(AppContext& ctx) {
    if (!ctx.ap.md_log) return;
    const int64_t stop = ctx.CaptureNow();
    std::string path = LogPath(ctx);
    if (path.empty()) return;
    const StampParts t = BreakDownStamp(stop);
    const int32_t lapse = static_cast<int32_t>(stop - ctx.detect_start_time);
    AppendLog(path, "ver,Y1,M1,D1,h1,m1,s1,Y2,M2,D2,h2,m2,s2,Lapse(sec)\r\n,,,,,,,",
              Format("%04d,%02d,%02d,%02d,%02d,%02d,%10d", t.year, t.month, t.day, t.hour, t.minute, t.second, lapse));
}

std::string ReplayStillPath(const std::string& clip_path, int64_t position, double fps, bool deinterlace,
                            bool second_field) {
    std::string base = clip_path.size() > 4 ? clip_path.substr(0, clip_path.size() - 4) : std::string();
    size_t slash = base.rfind('/');
    size_t first = slash == std::string::npos ? 0 : slash + 1;
    if (first < base.size()) base[first] = 'z';
    int64_t n = 0;
    if (fps > 0) {
        const double frame_time = 1e7 / fps;
        n = deinterlace ? static_cast<int64_t>(2.0 * static_cast<double>(position) / frame_time) + (second_field ? 1 : 0)
                        : static_cast<int64_t>(static_cast<double>(position) / frame_time);
    }
    char tail[48];
    std::snprintf(tail, sizeof tail, "_%03llds.jpg", static_cast<long long>(n));
    return base + tail;
}

}  // namespace vlx
