#include "vlx/clips/recover.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

#include "file_util.h"
#include "vlx/clips/storage.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;
using clips_detail::FieldText;

constexpr size_t kFirstHeadBytes = 64;  // room for the record line
constexpr const char* kRepairSuffix = ".repair";

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool ReadAt(std::FILE* f, int64_t pos, void* dst, size_t n) {
    return fseeko(f, pos, SEEK_SET) == 0 && std::fread(dst, 1, n, f) == n;
}

// A data chunk of the movie list: two digits of the stream, then its kind.
bool IsDataChunk(const uint8_t* id) {
    if (id[0] < '0' || id[0] > '9' || id[1] < '0' || id[1] > '9') return false;
    return !std::memcmp(id + 2, "db", 2) || !std::memcmp(id + 2, "dc", 2) || !std::memcmp(id + 2, "wb", 2) ||
           !std::memcmp(id + 2, "pc", 2);
}

// Header fields patched in the copy, as offsets into the header bytes.
struct Header {
    size_t avih = 0;  // data of "avih"
    size_t dmlh = 0;  // data of "dmlh", 0 when absent
    struct Stream {
        size_t strh = 0;  // data of "strh"
        bool video = false;
        uint32_t scale = 0, rate = 0;
    };
    std::vector<Stream> streams;
};

// Walks the chunks of head[from, to) (and the lists inside them).
bool ParseHeader(const std::vector<uint8_t>& head, size_t from, size_t to, Header* h) {
    size_t p = from;
    while (p + 8 <= to) {
        const uint8_t* c = head.data() + p;
        const uint32_t size = Le32(c + 4);
        if (size > to - p - 8) return false;
        if (!std::memcmp(c, "LIST", 4)) {
            if (size < 4 || !ParseHeader(head, p + 12, p + 8 + size, h)) return false;
        } else if (!std::memcmp(c, "avih", 4) && size >= 40) {
            h->avih = p + 8;
        } else if (!std::memcmp(c, "dmlh", 4) && size >= 4) {
            h->dmlh = p + 8;
        } else if (!std::memcmp(c, "strh", 4) && size >= 36) {
            Header::Stream s;
            s.strh = p + 8;
            s.video = !std::memcmp(c + 8, "vids", 4);
            s.scale = Le32(c + 8 + 20);
            s.rate = Le32(c + 8 + 24);
            h->streams.push_back(s);
        }
        p += 8 + size + (size & 1);
    }
    return true;
}

bool CopyRange(std::FILE* in, int64_t from, int64_t n, std::FILE* out) {
    if (fseeko(in, from, SEEK_SET) != 0) return false;
    std::vector<char> buf(1 << 20);
    while (n > 0) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(n, static_cast<int64_t>(buf.size())));
        if (std::fread(buf.data(), 1, want, in) != want || std::fwrite(buf.data(), 1, want, out) != want) return false;
        n -= static_cast<int64_t>(want);
    }
    return true;
}

// "T" + yyyymmdd + "_" + hhmmss + "_" + ids + ".avi" or ".wmv": the ids, the
// extension; false for any other name.
bool ParseCaptureName(const std::string& name, std::string* ids, std::string* ext) {
    if (name.size() < 4 + 18 || name[0] != 'T') return false;
    const std::string e = name.substr(name.size() - 4);
    if (e != ".avi" && e != ".wmv") return false;
    const std::string base = "M" + name.substr(1, name.size() - 5);
    if (!IsClipBase(base)) return false;
    *ids = base.substr(17);
    *ext = e;
    return true;
}

std::string ClipNameFor(int64_t stamp, const std::string& ids, const std::string& ext) {
    StampParts p = BreakDownStamp(stamp);
    char b[64];
    std::snprintf(b, sizeof b, "M%d_%06d_", p.year * 10000 + p.month * 100 + p.day,
                  p.hour * 10000 + p.minute * 100 + p.second);
    return b + ids + ext;
}

}  // namespace

bool RepairAvi(const std::string& src, const std::string& dst, AviFacts* facts) {
    *facts = {};
    File in(std::fopen(src.c_str(), "rb"));
    if (!in) return false;
    struct stat st{};
    if (fstat(fileno(in.get()), &st) != 0) return false;
    const int64_t fsize = st.st_size;
    uint8_t riff[12];
    if (!ReadAt(in.get(), 0, riff, 12) || std::memcmp(riff, "RIFF", 4) || std::memcmp(riff + 8, "AVI ", 4)) {
        return false;
    }
    // The top-level chunks up to the movie list.
    int64_t movi = -1;
    for (int64_t p = 12; p + 12 <= fsize;) {
        uint8_t c[12];
        if (!ReadAt(in.get(), p, c, 12)) return false;
        const uint32_t size = Le32(c + 4);
        if (!std::memcmp(c, "LIST", 4) && !std::memcmp(c + 8, "movi", 4)) {
            movi = p;
            break;
        }
        p += 8 + static_cast<int64_t>(size) + (size & 1);
    }
    if (movi < 0 || movi > (1 << 22)) return false;
    std::vector<uint8_t> head(static_cast<size_t>(movi) + 12);
    if (!ReadAt(in.get(), 0, head.data(), head.size())) return false;
    Header h;
    if (!ParseHeader(head, 12, static_cast<size_t>(movi), &h) || h.avih == 0) return false;

    // Whole data chunks of the movie list; a chunk cut by the kill ends it.
    struct Entry {
        uint8_t id[4];
        uint32_t offset, size;
    };
    std::vector<Entry> index;
    std::vector<int64_t> stream_bytes(h.streams.size(), 0), stream_chunks(h.streams.size(), 0);
    int64_t p = movi + 12;
    const int64_t movi_data = movi + 8;  // offsets count from the "movi" code
    int video_stream = -1;
    for (size_t i = 0; i < h.streams.size(); ++i) {
        if (h.streams[i].video) {
            video_stream = static_cast<int>(i);
            break;
        }
    }
    if (video_stream < 0) return false;
    while (p + 8 <= fsize) {
        uint8_t c[8];
        if (!ReadAt(in.get(), p, c, 8)) break;
        const uint32_t size = Le32(c + 4);
        if (p + 8 + static_cast<int64_t>(size) > fsize) break;
        if (IsDataChunk(c)) {
            const size_t stream = static_cast<size_t>((c[0] - '0') * 10 + (c[1] - '0'));
            if (stream < h.streams.size()) {
                if (static_cast<int>(stream) == video_stream && stream_chunks[stream] == 0) {
                    char first[kFirstHeadBytes];
                    const size_t n = std::min<size_t>(size, sizeof first);
                    if (ReadAt(in.get(), p + 8, first, n)) facts->first_frame_head.assign(first, n);
                }
                ++stream_chunks[stream];
                stream_bytes[stream] += size;
            }
            Entry e;
            std::memcpy(e.id, c, 4);
            e.offset = static_cast<uint32_t>(p - movi_data);
            e.size = size;
            index.push_back(e);
        } else if (std::memcmp(c, "JUNK", 4) != 0) {
            break;  // anything else: what follows is not the movie list
        }
        p += 8 + static_cast<int64_t>(size) + (size & 1);
    }
    const int64_t end = std::min(p, fsize);
    facts->video_frames = stream_chunks[static_cast<size_t>(video_stream)];
    if (facts->video_frames == 0) return false;
    const Header::Stream& vs = h.streams[static_cast<size_t>(video_stream)];
    const double period = vs.rate > 0 && vs.scale > 0 ? static_cast<double>(vs.scale) / vs.rate
                                                      : Le32(head.data() + h.avih) / 1e6;
    facts->seconds = static_cast<double>(facts->video_frames) * period;
    if (end - movi_data + 16.0 * static_cast<double>(index.size()) + 8 > 4e9) return false;  // past one RIFF

    // The header as a finished writer leaves it.
    const uint32_t idx_bytes = static_cast<uint32_t>(16 * index.size());
    const int64_t total = end + 8 + idx_bytes;
    PutLe32(head.data() + 4, static_cast<uint32_t>(total - 8));
    PutLe32(head.data() + static_cast<size_t>(movi) + 4, static_cast<uint32_t>(end - movi - 8));
    PutLe32(head.data() + h.avih + 12, Le32(head.data() + h.avih + 12) | 0x10u);  // has an index
    PutLe32(head.data() + h.avih + 16, static_cast<uint32_t>(facts->video_frames));
    if (h.dmlh) PutLe32(head.data() + h.dmlh, static_cast<uint32_t>(facts->video_frames));
    for (size_t i = 0; i < h.streams.size(); ++i) {
        const Header::Stream& s = h.streams[i];
        const int64_t length = s.video ? stream_chunks[i] : (s.scale ? stream_bytes[i] / s.scale : stream_chunks[i]);
        PutLe32(head.data() + s.strh + 32, static_cast<uint32_t>(length));
    }

    File out(std::fopen(dst.c_str(), "wb"));
    if (!out) return false;
    bool ok = std::fwrite(head.data(), 1, head.size(), out.get()) == head.size() &&
              CopyRange(in.get(), movi + 12, end - movi - 12, out.get());
    if (ok) {
        std::vector<uint8_t> idx(8 + idx_bytes);
        std::memcpy(idx.data(), "idx1", 4);
        PutLe32(idx.data() + 4, idx_bytes);
        for (size_t i = 0; i < index.size(); ++i) {
            uint8_t* e = idx.data() + 8 + 16 * i;
            std::memcpy(e, index[i].id, 4);
            PutLe32(e + 4, 0x10);  // every frame of a capture file stands alone
            PutLe32(e + 8, index[i].offset);
            PutLe32(e + 12, index[i].size);
        }
        ok = std::fwrite(idx.data(), 1, idx.size(), out.get()) == idx.size();
    }
    ok = std::fflush(out.get()) == 0 && fsync(fileno(out.get())) == 0 && ok;
    out.reset();
    if (!ok) std::remove(dst.c_str());
    return ok;
}

int64_t RecoveredClipStart(const AviFacts& facts, int64_t mtime_utc, int64_t time_offset, bool* from_record) {
    *from_record = false;
    int y, mo, d, hh, mm, ss;
    if (facts.first_frame_head.rfind("VLXR ", 0) == 0 &&
        std::sscanf(facts.first_frame_head.c_str() + 5, "%4d%2d%2d %2d%2d%2d", &y, &mo, &d, &hh, &mm, &ss) == 6 &&
        y >= 1970 && mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && hh < 24 && mm < 60 && ss < 61) {
        struct tm tm{};
        tm.tm_year = y - 1900;
        tm.tm_mon = mo - 1;
        tm.tm_mday = d;
        tm.tm_hour = hh;
        tm.tm_min = mm;
        tm.tm_sec = ss;
        *from_record = true;
        return static_cast<int64_t>(timegm(&tm));
    }
    return mtime_utc - time_offset - static_cast<int64_t>(facts.seconds + 0.5);
}

int RecoverCaptureFiles(AppContext& ctx, int64_t time_offset, const std::function<void(const std::string&)>& log) {
    const std::string root = FieldText(ctx.ap.db_dir, sizeof ctx.ap.db_dir);
    const std::string own_lid = FieldText(ctx.dp.lid, sizeof ctx.dp.lid);
    const std::string own_cid = FieldText(ctx.dp.cid, 2);
    if (root.empty()) return 0;
    // The clip folder and its dated folders (year, month, day).
    std::vector<fs::path> found;
    std::error_code ec;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), endit;
    for (; !ec && it != endit; it.increment(ec)) {
        if (it->is_directory(ec) && it.depth() >= 3) it.disable_recursion_pending();  // below the day folders
        const std::string name = it->path().filename().string();
        if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
        std::string ids, ext;
        const size_t rs = std::strlen(kRepairSuffix);
        if (name.size() > rs && name.ends_with(kRepairSuffix) &&
            ParseCaptureName(name.substr(0, name.size() - rs), &ids, &ext)) {
            // A recovery cut short: its source is still there.
            fs::remove(it->path(), ec);
            continue;
        }
        if (!ParseCaptureName(name, &ids, &ext)) continue;
        // Only this station's files: another one sharing the folder may be
        // writing its own right now.
        if (ids.size() != own_lid.size() + 1 + own_cid.size() || ids.compare(0, own_lid.size(), own_lid) != 0 ||
            ids.compare(own_lid.size() + 1, std::string::npos, own_cid) != 0) {
            continue;
        }
        found.push_back(it->path());
    }

    int recovered = 0;
    for (const fs::path& t : found) {
        std::string ids, ext;
        ParseCaptureName(t.filename().string(), &ids, &ext);
        struct stat st{};
        if (::stat(t.c_str(), &st) != 0) continue;
        AviFacts facts;
        int64_t stamp = 0;
        bool from_record = false;
        std::string part;
        if (ext == ".avi") {
            // Written first in the capture file's own folder, then renamed.
            part = t.string() + kRepairSuffix;
            if (!RepairAvi(t.string(), part, &facts)) {
                std::remove(part.c_str());
                fs::remove(t, ec);
                log("removed the capture file " + t.string() + " of an earlier run: " +
                    (st.st_size == 0 ? "empty" : "no whole frame in it"));
                continue;
            }
            stamp = RecoveredClipStart(facts, st.st_mtime, time_offset, &from_record);
        } else {
            if (st.st_size == 0) {
                fs::remove(t, ec);
                log("removed the capture file " + t.string() + " of an earlier run: empty");
                continue;
            }
            // An unfinished ASF file is kept as it is, named from when it
            // was last written.
            stamp = st.st_mtime - time_offset;
        }
        const std::string folder = DayFolderFor(ctx, stamp);
        g_mkdir_with_parents(folder.c_str(), 0777);
        std::string target;
        for (int k = 0; k < 60; ++k) {
            target = folder + "/" + ClipNameFor(stamp + k, ids, ext);
            struct stat tst{};
            if (::stat(target.c_str(), &tst) != 0) break;
        }
        const std::string from = part.empty() ? t.string() : part;
        if (std::rename(from.c_str(), target.c_str()) != 0) {
            // Another volume or a folder that cannot be written: the
            // capture file stays for the next start.
            if (!part.empty()) std::remove(part.c_str());
            log("cannot recover the capture file " + t.string() + ": " + std::strerror(errno));
            continue;
        }
        if (!part.empty()) fs::remove(t, ec);
        ++recovered;
        char what[160];
        if (ext == ".avi") {
            std::snprintf(what, sizeof what, " (%lld frames, %.1f s, start from its %s)",
                          static_cast<long long>(facts.video_frames), facts.seconds,
                          from_record ? "record lines" : "modification time");
        } else {
            std::snprintf(what, sizeof what, " (kept as written)");
        }
        log("recovered the capture file " + t.string() + " of an earlier run as " + target + what);
    }
    return recovered;
}

}  // namespace vlx
