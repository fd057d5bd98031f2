#include "vlx/settings/settings_store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <type_traits>
#include <vector>
#include <sys/stat.h>

#include <glib.h>

#include "vlx/app/report.h"
#include "vlx/settings/key_table.h"

namespace vlx {
namespace {

// One record buffer for the life of the program; all callers run on the
// main thread, the lock only guards against a stray second caller.
std::mutex g_uty_mu;
CAppUty& TheAppUty() {
    static CAppUty uty;
    return uty;
}
int32_t g_last_version = 0;
// Resolved paths of settings files that could not be read.
std::set<std::string> g_unreadable;
// Keys clamped while reading, with what the file held.
std::vector<std::string>* g_clamped = nullptr;

template <typename T>
void Clamp(const KeyDef& def, T& v) {
    if (!def.ranged) return;
    const T lo = static_cast<T>(def.min), hi = static_cast<T>(def.max);
    if (v >= lo && v <= hi) return;
    const T was = v;
    v = v < lo ? lo : hi;
    if (g_clamped) {
        char buf[160];
        if constexpr (std::is_integral_v<T>) {
            std::snprintf(buf, sizeof buf, "%s=%d -> %d", def.key, static_cast<int>(was), static_cast<int>(v));
        } else {
            std::snprintf(buf, sizeof buf, "%s=%g -> %g", def.key, static_cast<double>(was), static_cast<double>(v));
        }
        g_clamped->emplace_back(buf);
    }
}

bool Exists(const char* path) {
    struct stat st{};
    return path[0] != '\0' && stat(path, &st) == 0;
}

size_t ReadCapacity(const KeyDef& def) {
    // Records are padded to four bytes: read with room for the longest text
    // the key allows, then cut to the destination.
    size_t need = (def.max_chars + 1 + 3) & ~static_cast<size_t>(3);
    return need > def.capacity ? need : def.capacity;
}

void ReadKey(CAppUty& uty, AppContext& ctx, const KeyDef& def) {
    switch (def.kind) {
        case KeyKind::Int:
            if (uty.GetInt(def.key, &KeyInt(ctx, def)) > 0) Clamp(def, KeyInt(ctx, def));
            break;
        case KeyKind::Dbl:
            if (uty.GetDouble(def.key, &KeyDbl(ctx, def)) > 0) Clamp(def, KeyDbl(ctx, def));
            break;
        case KeyKind::Str:
        case KeyKind::Keep: {
            char tmp[kPathCap + 4];
            size_t cap = ReadCapacity(def);
            CopyText(tmp, sizeof tmp, KeyStr(ctx, def));
            int n = def.kind == KeyKind::Keep ? uty.GetRecordKeep(def.key, tmp, cap)
                                              : uty.GetString(def.key, tmp, cap);
            if (n > 0) CopyText(KeyStr(ctx, def), def.capacity, tmp);
            break;
        }
        case KeyKind::Scr: {
            char tmp[kPathCap];
            if (uty.GetScrambled(def.key, tmp, sizeof tmp) > 0) CopyText(KeyStr(ctx, def), def.capacity, tmp);
            break;
        }
    }
}

void PutKey(CAppUty& uty, AppContext& ctx, const KeyDef& def, bool neutral) {
    switch (def.kind) {
        case KeyKind::Int: uty.PutInt(def.key, KeyInt(ctx, def)); break;
        case KeyKind::Dbl: uty.PutDouble(def.key, neutral ? 0.0 : KeyDbl(ctx, def)); break;
        case KeyKind::Str:
        case KeyKind::Keep: {
            const char* v = KeyStr(ctx, def);
            if (neutral) {
                // A template carries no site: devices and files fall back to
                // their defaults, identities to nothing.
                if (std::strcmp(def.key, "AP.dv_audio") == 0) v = "NULL";
                else if (std::strcmp(def.key, "AP.dv_codec") == 0) v = "AVI";
                else if (std::strcmp(def.key, "AP.dareafname") == 0) v = "DA-ALL.bmp";
                else v = "";
            }
            // Cut to what the key may hold so it reads back.
            char tmp[kPathCap];
            CopyText(tmp, def.max_chars + 1 < sizeof tmp ? def.max_chars + 1 : sizeof tmp, v);
            uty.PutString(def.key, tmp);
            break;
        }
        case KeyKind::Scr: uty.PutScrambled(def.key, neutral ? "" : KeyStr(ctx, def)); break;
    }
}

const KeyDef& Key(const char* name, KeyKind kind) {
    for (const KeyDef& d : KeyTable()) {
        if (d.kind == kind && std::strcmp(d.key, name) == 0) return d;
    }
    FatalBox("settings key %s missing", name);
}

bool IsNotifyInt(const KeyDef& d) {
    return d.kind == KeyKind::Int &&
           (std::strncmp(d.key, "AP.ftp_", 7) == 0 || std::strncmp(d.key, "AP.mail_", 8) == 0);
}

bool IsSiteDouble(const KeyDef& d) {
    return d.kind == KeyKind::Dbl && d.home == KeyHome::App;  // AP.lng, AP.lat, AP.alt
}

constexpr const char* kWriteStrings[] = {"IF.si_format", "AP.sd[0].vxi", "AP.sd[1].vxi",
                                         "AP.snd",       "AP.bat",       "AP.infname"};
constexpr const char* kSiteStrings[] = {"AP.db_dir", "AP.dv_video", "AP.dv_audio", "AP.dv_codec",
                                        "AP.dareafname", "IF.lid",  "IF.cid",      "AP.oname",
                                        "AP.cname",  "AP.lname",    "AP.hname",    "AP.comment"};
constexpr const char* kSiteDoubles[] = {"AP.lng", "AP.lat", "AP.alt"};
constexpr const char* kWriteScrambled[] = {"AP.ftp_server",  "AP.ftp_uname",      "AP.ftp_dir",
                                           "AP.ftp_pw",      "AP.mail_server",    "AP.mail_popserver",
                                           "AP.mail_uname",  "AP.mail_pw",        "AP.mail_from",
                                           "AP.mail_to"};

// False when the file there could not be read and cannot be moved aside
// either: then it must not be written over.
bool KeepUnreadableAside(const CAppUty& uty, AppContext& ctx) {
    const std::string target = uty.ResolvePath(ctx.settings_file);
    auto it = g_unreadable.find(target);
    if (it == g_unreadable.end()) return true;
    time_t now = static_cast<time_t>(ctx.clock->Now().sec);
    struct tm lt{};
    localtime_r(&now, &lt);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &lt);
    std::string aside = target + ".bad-" + stamp;
    struct stat st{};
    for (int n = 2; stat(aside.c_str(), &st) == 0; ++n) aside = target + ".bad-" + stamp + "-" + std::to_string(n);
    if (std::rename(target.c_str(), aside.c_str()) == 0) {
        g_unreadable.erase(it);
        ErrorBox("%s could not be read as a settings file: kept as %s", ctx.settings_file, aside.c_str());
        return true;
    }
    if (stat(target.c_str(), &st) != 0) {
        g_unreadable.erase(it);
        return true;
    }
    ErrorBox("%s could not be read as a settings file and cannot be kept aside: not overwritten", ctx.settings_file);
    return false;
}

KeyKind StringKind(const char* name) {
    const KeyDef* d = FindKey(name);
    return d ? d->kind : KeyKind::Str;
}

}  // namespace

std::string DocumentsFolder() {
    std::string dir;
    if (const char* env = std::getenv("XDG_DOCUMENTS_DIR"); env && env[0]) {
        dir = env;
    } else if (const char* g = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS); g && g[0]) {
        dir = g;
    } else {
        const char* home = std::getenv("HOME");
        dir = std::string(home && home[0] ? home : "/tmp") + "/Documents";
    }
    g_mkdir_with_parents(dir.c_str(), 0755);
    return dir;
}

void ComputeTimeZone(AppContext& ctx, int64_t utc_now) {
    tzset();
    time_t t = static_cast<time_t>(utc_now);
    struct tm lt{};
    localtime_r(&t, &lt);
    ctx.tz_bias = static_cast<int32_t>(-lt.tm_gmtoff);
    ctx.daylight = lt.tm_isdst > 0 ? 1 : 0;
}

void SetDefaults(AppContext& ctx) {
    for (const KeyDef& d : KeyTable()) {
        switch (d.kind) {
            case KeyKind::Int: KeyInt(ctx, d) = d.def_int; break;
            case KeyKind::Dbl: KeyDbl(ctx, d) = d.def_dbl; break;
            default: CopyText(KeyStr(ctx, d), d.capacity, d.def_str); break;
        }
    }
    CopyText(ctx.settings_file, sizeof ctx.settings_file, kDefaultSettingsFile);
    ctx.save_as_template = false;
    ComputeTimeZone(ctx, ctx.clock->Now().sec);
}

bool ReadSettings(AppContext& ctx) {
    std::lock_guard<std::mutex> lock(g_uty_mu);
    CAppUty& uty = TheAppUty();
    uty.set_program_dir(ctx.program_dir);
    g_last_version = 0;
    const std::string resolved = uty.ResolvePath(ctx.settings_file);
    struct stat st{};
    const bool present = stat(resolved.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    const int loaded = uty.Load(ctx.settings_file);
    // Anything a settings file cannot be: it is the user's, kept from the
    // exit save.
    const bool unreadable = present && (loaded == 0 || static_cast<size_t>(st.st_size) > CAppUty::kBufferSize ||
                                        !uty.WellFormed());
    if (unreadable) g_unreadable.insert(resolved);
    else g_unreadable.erase(resolved);
    if (loaded == 0) {
        if (ctx.ap.db_dir[0] == '\0') CopyText(ctx.ap.db_dir, kPathCap, DocumentsFolder().c_str());
        if (std::strcmp(ctx.settings_file, kDefaultSettingsFile) != 0) {
            ErrorBox("UM071: Cannot read %s Default value used", ctx.settings_file);
        }
        return false;
    }

    int32_t version = 0;
    uty.GetInt("VERSION", &version);
    g_last_version = version;
    std::vector<std::string> clamped;
    if (version < kOldestSettingsVersion) {
        if (present) g_unreadable.insert(resolved);
        ErrorBox("Version of Settings.ini is too old...ignored");
    } else {
        g_clamped = &clamped;
        for (const KeyDef& d : KeyTable()) {
            if (d.kind == KeyKind::Scr) continue;
            if (IsSiteDouble(d)) {
                // 0.0 is what a template stores: it must not erase a position.
                double v = 0.0;
                uty.GetDouble(d.key, &v);
                if (v != 0.0) {
                    Clamp(d, v);
                    KeyDbl(ctx, d) = v;
                }
                continue;
            }
            ReadKey(uty, ctx, d);
        }
        ctx.dp.cid[kCidMaxChars] = '\0';
        for (const KeyDef& d : KeyTable()) {
            if (d.kind == KeyKind::Scr) ReadKey(uty, ctx, d);
        }
        g_clamped = nullptr;
    }
    if (!clamped.empty()) {
        std::string list;
        for (const std::string& c : clamped) list += (list.empty() ? "" : ", ") + c;
        ErrorBox("%s: out of range, clamped: %s", ctx.settings_file, list.c_str());
    }

    if (!Exists(ctx.ap.db_dir)) CopyText(ctx.ap.db_dir, kPathCap, DocumentsFolder().c_str());
    if (ctx.ap.infname[0] == '\0') CopyText(ctx.ap.infname, kPathCap, DocumentsFolder().c_str());
    if (ctx.after_settings_read) ctx.after_settings_read(ctx);
    if (ctx.ap.dlgrect_top < 0) {
        for (const char* k : {"AP.dlgrect.top", "AP.dlgrect.left", "AP.dlgrect.bottom", "AP.dlgrect.right"}) {
            const KeyDef* d = FindKey(k);
            KeyInt(ctx, *d) = d->def_int;
        }
    }
    if (ctx.ap.sunset && ctx.compute_sun_times) ctx.compute_sun_times(ctx);
    return true;
}

bool WriteSettings(AppContext& ctx) {
    std::lock_guard<std::mutex> lock(g_uty_mu);
    CAppUty& uty = TheAppUty();
    uty.set_program_dir(ctx.program_dir);
    uty.Begin();
    uty.PutInt("VERSION", kSettingsVersion);
    for (const KeyDef& d : KeyTable()) {
        if ((d.kind == KeyKind::Int || d.kind == KeyKind::Dbl) && !IsNotifyInt(d) && !IsSiteDouble(d)) {
            PutKey(uty, ctx, d, false);
        }
    }
    for (const char* k : kWriteStrings) PutKey(uty, ctx, Key(k, KeyKind::Str), false);
    for (const KeyDef& d : KeyTable()) {
        if (IsNotifyInt(d)) PutKey(uty, ctx, d, false);
    }
    PutKey(uty, ctx, Key("AP.mail_subject", KeyKind::Keep), false);
    PutKey(uty, ctx, Key("AP.mail_body", KeyKind::Keep), false);

    const bool neutral = ctx.save_as_template;
    for (const char* k : kSiteStrings) PutKey(uty, ctx, Key(k, StringKind(k)), neutral);
    for (const char* k : kSiteDoubles) PutKey(uty, ctx, Key(k, KeyKind::Dbl), neutral);
    for (const char* k : kWriteScrambled) PutKey(uty, ctx, Key(k, KeyKind::Scr), neutral);
    if (!KeepUnreadableAside(uty, ctx)) return false;
    return uty.Save(ctx.settings_file) == 1;
}

bool ReadSettingsFrom(AppContext& ctx, const char* path) {
    char saved[sizeof ctx.settings_file];
    CopyText(saved, sizeof saved, ctx.settings_file);
    CopyText(ctx.settings_file, sizeof ctx.settings_file, path);
    bool ok = ReadSettings(ctx);
    CopyText(ctx.settings_file, sizeof ctx.settings_file, saved);
    return ok;
}

bool WriteSettingsTo(AppContext& ctx, const char* path) {
    char saved[sizeof ctx.settings_file];
    CopyText(saved, sizeof saved, ctx.settings_file);
    CopyText(ctx.settings_file, sizeof ctx.settings_file, path);
    bool ok = WriteSettings(ctx);
    CopyText(ctx.settings_file, sizeof ctx.settings_file, saved);
    return ok;
}

int32_t LastReadVersion() { return g_last_version; }

}  // namespace vlx
