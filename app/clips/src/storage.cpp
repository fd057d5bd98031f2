#include "vlx/clips/storage.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gio/gio.h>

#include "file_util.h"
#include "vlx/app/report.h"

namespace vlx {
namespace {

using clips_detail::FieldText;
using clips_detail::JoinPath;

std::mutex g_hooks_mu;
StorageHooks g_hooks;

void CopyPath(char (&dst)[1024], const std::string& src) { std::snprintf(dst, sizeof dst, "%s", src.c_str()); }

// A folder counts as existing when its attributes can be read.
void EnsureFolder(const std::string& folder) {
    struct stat st;
    if (::stat(folder.c_str(), &st) == 0) return;
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) FatalBox("Cannot Create Date Dir %s", folder.c_str());
}

struct TreeFolders {
    std::string year, month, day;
};

TreeFolders FoldersFor(const AppContext& ctx, int64_t stamp) {
    StampParts p = BreakDownStamp(stamp);
    if (ctx.ap.db_night && p.hour < 12) p = BreakDownStamp(stamp - 43200);
    std::string root = FieldText(ctx.ap.db_dir, sizeof ctx.ap.db_dir);
    char buf[64];
    TreeFolders f;
    std::snprintf(buf, sizeof buf, "/%4d", p.year);
    f.year = root + buf;
    std::snprintf(buf, sizeof buf, "/%04d%02d", p.year, p.month);
    f.month = f.year + buf;
    std::snprintf(buf, sizeof buf, "/%04d%02d%02d", p.year, p.month, p.day);
    f.day = f.month + buf;
    return f;
}

std::string StripTrailingSlashes(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// True when folder is root or lies below it (textually; the tree is formed
// from root, so no link resolution is needed).
bool IsInside(const std::string& folder, const std::string& root) {
    if (root.empty() || folder.empty()) return false;
    std::string f = StripTrailingSlashes(folder);
    std::string r = StripTrailingSlashes(root);
    if (f.find("/../") != std::string::npos || f.ends_with("/..")) return false;
    if (f == r) return true;
    if (r == "/") return f.size() > 1 && f[0] == '/';
    return f.size() > r.size() && f.compare(0, r.size(), r) == 0 && f[r.size()] == '/';
}

// The folder the guard may delete from.
std::string GuardFolder(AppContext& ctx) {
    std::string root = FieldText(ctx.ap.db_dir, sizeof ctx.ap.db_dir);
    std::string day = FieldText(ctx.day_folder, sizeof ctx.day_folder);
    if (IsInside(day, root)) return day;
    // Before the first file of the run (or after AP.db_dir changed): the
    // folder the next file will go to.
    return DayFolderFor(ctx, ctx.CaptureNow());
}

}  // namespace

StampParts BreakDownStamp(int64_t stamp) {
    StampParts p;
    time_t t = static_cast<time_t>(stamp);
    struct tm tm;
    if (::gmtime_r(&t, &tm) == nullptr) return p;
    p.year = tm.tm_year + 1900;
    p.month = tm.tm_mon + 1;
    p.day = tm.tm_mday;
    p.hour = tm.tm_hour;
    p.minute = tm.tm_min;
    p.second = tm.tm_sec;
    return p;
}

std::string DayFolderFor(const AppContext& ctx, int64_t stamp, std::string* month_folder) {
    if (!ctx.ap.db_ymddir) {
        std::string root = FieldText(ctx.ap.db_dir, sizeof ctx.ap.db_dir);
        if (month_folder) *month_folder = root;
        return root;
    }
    TreeFolders f = FoldersFor(ctx, stamp);
    if (month_folder) *month_folder = f.month;
    return f.day;
}

std::string MakeClipPath(AppContext& ctx, int64_t stamp, char prefix, char suffix, std::string* hhmm) {
    StampParts p = BreakDownStamp(stamp);
    int date = p.year * 10000 + p.month * 100 + p.day;
    int time = p.hour * 10000 + p.minute * 100 + p.second;
    if (hhmm) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%02d%02d", p.hour, p.minute);
        *hhmm = buf;
    }
    const char* ext = ctx.output_kind == kOutputWmv ? "wmv" : "avi";

    std::string folder;
    if (!ctx.ap.db_ymddir) {
        folder = FieldText(ctx.ap.db_dir, sizeof ctx.ap.db_dir);
        CopyPath(ctx.day_folder, folder);
        CopyPath(ctx.month_folder, folder);
    } else {
        TreeFolders f = FoldersFor(ctx, stamp);
        EnsureFolder(f.year);
        EnsureFolder(f.month);
        CopyPath(ctx.month_folder, f.month);
        EnsureFolder(f.day);
        CopyPath(ctx.day_folder, f.day);
        folder = f.day;
    }

    std::string lid = FieldText(ctx.dp.lid, sizeof ctx.dp.lid);
    std::string cid = FieldText(ctx.dp.cid, 2);
    char name[128];
    std::snprintf(name, sizeof name, "%c%d_%06d_%s%c%s.%s", prefix, date, time, lid.c_str(), suffix, cid.c_str(), ext);
    return folder + "/" + name;
}

int32_t FreeSpaceMB(const std::string& path) {
    struct statvfs vfs;
    if (path.empty() || ::statvfs(path.c_str(), &vfs) != 0) return -1;
    unsigned long long mb = (static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize) >> 20;
    return mb > INT32_MAX ? INT32_MAX : static_cast<int32_t>(mb);
}

void SetStorageHooks(StorageHooks hooks) {
    std::lock_guard<std::mutex> lock(g_hooks_mu);
    g_hooks = std::move(hooks);
}

bool EnsureFreeSpace(AppContext& ctx) {
    StorageHooks hooks;
    {
        std::lock_guard<std::mutex> lock(g_hooks_mu);
        hooks = g_hooks;
    }
    return EnsureFreeSpace(ctx, hooks);
}

bool EnsureFreeSpace(AppContext& ctx, const StorageHooks& hooks) {
    std::string root = FieldText(ctx.ap.db_dir, sizeof ctx.ap.db_dir);
    auto query = [&]() { return hooks.free_space_mb ? hooks.free_space_mb(root) : FreeSpaceMB(root); };
    auto show = [&](int32_t mb) {
        if (hooks.show_free_space) hooks.show_free_space(mb);
    };

    int32_t free_mb = query();
    show(free_mb);
    if (free_mb < 0) return true;  // unknown: neither delete nor stop
    if (free_mb >= ctx.ap.limit_MB) return true;
    if (ctx.ap.limit_stop) {
        ErrorBox("UM003: HDD Space limit. Please Stop and delete old files");
        return false;
    }

    std::string folder = GuardFolder(ctx);
    bool deleted = false;
    // Each pass removes one file for good, so the loop ends when the folder
    // runs out of deletable clips at the latest.
    while (ctx.ap.limit_MB > free_mb) {
        if (!DeleteOldestClipFile(folder)) {
            if (deleted && hooks.clips_deleted) hooks.clips_deleted();
            ErrorBox("UM001: Cannot make Disk Free Space\n Delease delete manually");
            return false;
        }
        deleted = true;
        free_mb = query();
        if (free_mb < 0) break;
    }
    show(free_mb);
    if (hooks.clips_deleted) hooks.clips_deleted();
    return true;
}

std::string ClipBaseOf(const std::string& name) {
    // The endings a clip's files have: the clip, its stills, map, thumbnail
    // and record.
    static const char* const kEndings[] = {".avi", ".wmv", "S.bmp", "S.jpg", "P.bmp",
                                           "P.jpg", "M.bmp", "T.jpg", ".xml"};
    for (const char* end : kEndings) {
        const size_t n = std::strlen(end);
        if (name.size() <= n || name.compare(name.size() - n, n, end) != 0) continue;
        std::string base = name.substr(0, name.size() - n);
        if (IsClipBase(base)) return base;
    }
    return {};
}

bool IsClipBase(const std::string& base) {
    // "M" yyyymmdd "_" hhmmss "_" then the location id, the suffix letter and
    // the camera id: 1 to 15 letters, digits or underscores.
    if (base.size() < 18 || base.size() > 32 || base[0] != 'M' || base[9] != '_' || base[16] != '_') return false;
    auto digits = [&](size_t from, size_t n) {
        for (size_t i = from; i < from + n; ++i) {
            if (base[i] < '0' || base[i] > '9') return false;
        }
        return true;
    };
    if (!digits(1, 8) || !digits(10, 6)) return false;
    for (size_t i = 17; i < base.size(); ++i) {
        const char c = base[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_')) return false;
    }
    return true;
}

bool DeleteOldestClipFile(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return false;
    int dfd = ::dirfd(dir);
    // Only regular files named as a clip or one of its companions; a clip's
    // age is that of its oldest file.
    struct Clip {
        std::vector<std::string> files;
        int64_t sec = INT64_MAX, nsec = INT64_MAX;
    };
    std::map<std::string, Clip> clips;
    while (struct dirent* e = ::readdir(dir)) {
        std::string base = ClipBaseOf(e->d_name);
        if (base.empty()) continue;
        struct statx sx;
        if (::statx(dfd, e->d_name, AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_BTIME | STATX_MTIME, &sx) != 0) continue;
        if (!S_ISREG(sx.stx_mode)) continue;
        const bool birth = (sx.stx_mask & STATX_BTIME) != 0;
        const int64_t sec = birth ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec;
        const int64_t nsec = birth ? sx.stx_btime.tv_nsec : sx.stx_mtime.tv_nsec;
        Clip& c = clips[base];
        c.files.emplace_back(e->d_name);
        if (sec < c.sec || (sec == c.sec && nsec < c.nsec)) {
            c.sec = sec;
            c.nsec = nsec;
        }
    }
    std::vector<const Clip*> order;
    for (auto& [base, c] : clips) order.push_back(&c);
    std::stable_sort(order.begin(), order.end(), [](const Clip* a, const Clip* b) {
        return a->sec != b->sec ? a->sec < b->sec : a->nsec < b->nsec;
    });
    bool deleted = false;
    for (const Clip* c : order) {
        // A clip none of whose files can go (protected) is passed over for
        // the next oldest, so the guard cannot loop on it.
        for (const std::string& f : c->files) deleted = (::unlinkat(dfd, f.c_str(), 0) == 0) || deleted;
        if (deleted) break;
    }
    ::closedir(dir);
    return deleted;
}

int RemoveClipFiles(const AppContext& ctx, const std::string& folder, const std::string& clip_name) {
    if (clip_name.empty() || clip_name.find('/') != std::string::npos) return 0;
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (struct dirent* e = ::readdir(dir)) {
            if (std::strncmp(e->d_name, clip_name.c_str(), clip_name.size()) == 0) names.emplace_back(e->d_name);
        }
        ::closedir(dir);
    }
    int removed = 0;
    for (const std::string& name : names) {
        std::string path = JoinPath(folder, name);
        if (ctx.ap.nottrash) {
            if (::unlink(path.c_str()) == 0) ++removed;
            continue;
        }
        GFile* file = g_file_new_for_path(path.c_str());
        GError* err = nullptr;
        if (g_file_trash(file, nullptr, &err)) {
            ++removed;
        } else {
            ErrorBox("UM024: Cannot Delete clip");
            g_clear_error(&err);
        }
        g_object_unref(file);
    }
    return removed;
}

}  // namespace vlx
