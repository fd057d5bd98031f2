#include "vlx/settings/key_table.h"

#include <charconv>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vlx {
namespace {

constexpr int32_t kNoMin = INT32_MIN;
constexpr int32_t kNoMax = INT32_MAX;

struct Loc {
    KeyHome home;
    size_t offset;
};
#define VLX_BLOCK(field) (Loc{KeyHome::Block, offsetof(DetectParams, field)})
#define VLX_APP(field) (Loc{KeyHome::App, offsetof(Settings, field)})

// An integer with a range the pages enforce.
#define INT_R(key, home_field, def, lo, hi) {key, KeyKind::Int, (home_field).home, (home_field).offset, 4, def, 0.0, nullptr, true, lo, hi, 0}
// An on/off switch.
#define FLAG(key, home_field, def) INT_R(key, home_field, def, 0, 1)
// An integer the pages do not limit.
#define INT_U(key, home_field, def) {key, KeyKind::Int, (home_field).home, (home_field).offset, 4, def, 0.0, nullptr, false, kNoMin, kNoMax, 0}
#define DBL(key, home_field, def) {key, KeyKind::Dbl, (home_field).home, (home_field).offset, 8, 0, def, nullptr, false, 0, 0, 0}
#define DBL_R(key, home_field, def, lo, hi) {key, KeyKind::Dbl, (home_field).home, (home_field).offset, 8, 0, def, nullptr, true, lo, hi, 0}
#define TEXT(kind, key, home_field, cap, def, chars) {key, kind, (home_field).home, (home_field).offset, cap, 0, 0.0, def, false, 0, 0, chars}

const KeyDef kTable[] = {
    FLAG("IF.singlefilemode", VLX_BLOCK(singlefilemode), 0),
    FLAG("IF.resize", VLX_BLOCK(resize), 0),
    INT_R("IF.cxin", VLX_BLOCK(cxin), 640, 80, 1920),
    INT_R("IF.cyin", VLX_BLOCK(cyin), 480, 60, 1280),
    INT_R("IF.cx", VLX_BLOCK(cx), 640, 80, 1920),
    INT_R("IF.cy", VLX_BLOCK(cy), 480, 60, 1280),
    DBL("IF.fps", VLX_BLOCK(fps), 29.97),
    INT_R("IF.fs_head", VLX_BLOCK(fs_head), 30, 10, 1000),
    INT_R("IF.fs_tail", VLX_BLOCK(fs_tail), 30, 0, 1000),
    INT_R("IF.fs_diff", VLX_BLOCK(fs_diff), 1, 1, 5),
    FLAG("IF.si_area", VLX_BLOCK(si_area), 0),
    FLAG("IF.si_maskw", VLX_BLOCK(si_maskw), 0),
    FLAG("IF.si_maskb", VLX_BLOCK(si_maskb), 0),
    // Further lowered to cy - si_fonty - 2 when preview or detection starts.
    INT_R("IF.si_y0", VLX_BLOCK(si_y0), 1, 0, 1280),
    FLAG("IF.si_cdate", VLX_BLOCK(si_cdate), 0),
    FLAG("IF.si_utc", VLX_BLOCK(si_utc), 0),
    FLAG("IF.si_on", VLX_BLOCK(si_on), 1),
    INT_U("IF.si_fontx", VLX_BLOCK(si_fontx), 5),
    INT_U("IF.si_fonty", VLX_BLOCK(si_fonty), 9),
    INT_R("IF.si_offset", VLX_BLOCK(si_offset), -33, -999, 999),
    INT_R("IF.dsize", VLX_BLOCK(dsize), 100, 1, 1310720),
    INT_R("IF.dlev", VLX_BLOCK(dlev), 100, 1, 255),
    INT_R("IF.alev", VLX_BLOCK(alev), 5000, 0, 32767),
    FLAG("IF.atrigger", VLX_BLOCK(atrigger), 0),
    INT_R("IF.dmin", VLX_BLOCK(dmin), 2, 0, 150),
    INT_R("IF.dminsize", VLX_BLOCK(dminsize), 100, 0, 1310720),
    INT_R("IF.dmaxsec", VLX_BLOCK(dmaxsec), 0, 0, 3600),
    FLAG("IF.nt_on", VLX_BLOCK(nt_on), 1),
    INT_R("IF.nt_ratio", VLX_BLOCK(nt_ratio), 110, 0, 1000),
    INT_R("IF.nt_delta", VLX_BLOCK(nt_delta), 10, 0, 100),
    INT_R("IF.nt_min", VLX_BLOCK(nt_min), 10, 0, 99),
    FLAG("IF.sm_on", VLX_BLOCK(sm_on), 0),
    INT_R("IF.sm_level", VLX_BLOCK(sm_level), 105, 1, 255),
    INT_R("IF.sm_size", VLX_BLOCK(sm_size), 5, 1, 9),
    FLAG("IF.so_on", VLX_BLOCK(so_on), 0),
    INT_R("IF.so_vel", VLX_BLOCK(so_vel), 16, 0, 1000),
    INT_R("IF.so_size", VLX_BLOCK(so_size), 15, 0, 1310720),
    FLAG("IF.brightonly", VLX_BLOCK(brightonly), 0),
    INT_R("IF.bolevel", VLX_BLOCK(bolevel), 2, 0, 99),
    FLAG("IF.im_snap", VLX_BLOCK(im_snap), 1),
    FLAG("IF.im_peak", VLX_BLOCK(im_peak), 0),
    FLAG("IF.im_map", VLX_BLOCK(im_map), 1),
    FLAG("IF.fileinmode", VLX_BLOCK(fileinmode), 0),
    FLAG("RIF.deinterace", (Loc{KeyHome::Replay, offsetof(ReplayParams, deinterlace_stepping)}), 0),
    INT_R("AP.si_fontsize", VLX_APP(si_fontsize), 1, 0, 2),
    INT_U("AP.dlgrect.top", VLX_APP(dlgrect_top), 100),
    INT_U("AP.dlgrect.left", VLX_APP(dlgrect_left), 20),
    INT_U("AP.dlgrect.bottom", VLX_APP(dlgrect_bottom), 725),
    INT_U("AP.dlgrect.right", VLX_APP(dlgrect_right), 1009),
    INT_U("AP.showcmd", VLX_APP(showcmd), 1),
    INT_U("AP.vpin", VLX_APP(vpin), 0),
    INT_U("AP.apin", VLX_APP(apin), 0),
    FLAG("AP.tv_antenna", VLX_APP(tv_antenna), 1),
    INT_R("AP.tv_ch", VLX_APP(tv_ch), 1, 1, 999),
    FLAG("AP.md_autorun", VLX_APP(md_autorun), 0),
    FLAG("AP.md_log", VLX_APP(md_log), 0),
    FLAG("AP.md_watchdog", VLX_APP(md_watchdog), 0),
    INT_R("AP.ttrig", VLX_APP(ttrig), 60, 1, 3000),
    FLAG("AP.ttrig_on", VLX_APP(ttrig_on), 0),
    FLAG("AP.sunset", VLX_APP(sunset), 0),
    FLAG("AP.sd[0].on", VLX_APP(sd[0].on), 0),
    INT_R("AP.sd[0].h1", VLX_APP(sd[0].h1), 6, 0, 23),
    INT_R("AP.sd[0].m1", VLX_APP(sd[0].m1), 0, 0, 59),
    INT_R("AP.sd[0].o1", VLX_APP(sd[0].o1), -25, -1000, 1000),
    INT_R("AP.sd[0].h2", VLX_APP(sd[0].h2), 17, 0, 23),
    INT_R("AP.sd[0].m2", VLX_APP(sd[0].m2), 0, 0, 59),
    INT_R("AP.sd[0].o2", VLX_APP(sd[0].o2), 25, -1000, 1000),
    FLAG("AP.sd[1].on", VLX_APP(sd[1].on), 0),
    INT_R("AP.sd[1].h1", VLX_APP(sd[1].h1), 18, 0, 23),
    INT_R("AP.sd[1].m1", VLX_APP(sd[1].m1), 0, 0, 59),
    INT_R("AP.sd[1].o1", VLX_APP(sd[1].o1), 30, -1000, 1000),
    INT_R("AP.sd[1].h2", VLX_APP(sd[1].h2), 5, 0, 23),
    INT_R("AP.sd[1].m2", VLX_APP(sd[1].m2), 0, 0, 59),
    INT_R("AP.sd[1].o2", VLX_APP(sd[1].o2), -30, -1000, 1000),
    FLAG("AP.ar_on", VLX_APP(ar_on), 0),
    INT_R("AP.ar_h", VLX_APP(ar_h), 1, 1, 48),
    INT_R("AP.limit_MB", VLX_APP(limit_MB), 1000, -1000000000, 1000000000),
    FLAG("AP.limit_stop", VLX_APP(limit_stop), 1),
    FLAG("AP.limit_delday", VLX_APP(limit_delday), 0),
    FLAG("AP.leavelong", VLX_APP(leavelong), 1),
    FLAG("AP.bmp", VLX_APP(bmp), 0),
    FLAG("AP.jpg", VLX_APP(jpg), 1),
    FLAG("AP.beep", VLX_APP(beep), 0),
    FLAG("AP.nottrash", VLX_APP(nottrash), 0),
    FLAG("AP.action", VLX_APP(action), 0),
    INT_R("AP.db_y", VLX_APP(db_y), 2004, 1900, 3000),
    INT_R("AP.db_m", VLX_APP(db_m), 1, 1, 12),
    INT_R("AP.db_d", VLX_APP(db_d), 1, 1, 31),
    FLAG("AP.db_latest", VLX_APP(db_latest), 1),
    INT_R("AP.db_days", VLX_APP(db_days), 1, 1, 10000),
    FLAG("AP.db_night", VLX_APP(db_night), 0),
    FLAG("AP.db_ymddir", VLX_APP(db_ymddir), 1),
    INT_U("AP.si_yyyymmdd", VLX_APP(si_yyyymmdd), 20001231),
    INT_U("AP.si_hhmmss", VLX_APP(si_hhmmss), 235959),
    FLAG("AP.r_amask", VLX_APP(r_amask), 0),
    FLAG("AP.r_smask", VLX_APP(r_smask), 0),
    FLAG("AP.r_hmark", VLX_APP(r_hmark), 1),
    INT_R("AP.smspeed", VLX_APP(smspeed), 2, 1, 6),
    FLAG("AP.thumbmail", VLX_APP(thumbmail), 1),
    INT_R("AP.sj_cx", VLX_APP(sj_cx), 200, 10, 320),
    INT_R("AP.sj_cy", VLX_APP(sj_cy), 150, 8, 240),
    FLAG("AP.tmark", VLX_APP(tmark), 1),
    INT_R("AP.me_lev", VLX_APP(me_lev), 20, 0, 255),
    INT_R("AP.me_ratio", VLX_APP(me_ratio), 90, 0, 255),
    FLAG("AP.track", VLX_APP(track), 1),
    TEXT(KeyKind::Str, "IF.si_format", VLX_BLOCK(si_format), 256, "%T%M %C %F %L VigiluxV2", 255),
    TEXT(KeyKind::Str, "AP.dv_video", VLX_APP(dv_video), kPathCap, "", 1023),
    TEXT(KeyKind::Str, "AP.dv_audio", VLX_APP(dv_audio), kPathCap, "NULL", 1023),
    TEXT(KeyKind::Str, "AP.dv_codec", VLX_APP(dv_codec), kPathCap, "AVI", 1023),
    TEXT(KeyKind::Str, "AP.dareafname", VLX_APP(dareafname), kPathCap, "DA-ALL.bmp", 1023),
    TEXT(KeyKind::Str, "AP.sd[0].vxi", VLX_APP(sd[0].vxi), kPathCap, "", 1023),
    TEXT(KeyKind::Str, "AP.sd[1].vxi", VLX_APP(sd[1].vxi), kPathCap, "", 1023),
    TEXT(KeyKind::Str, "AP.snd", VLX_APP(snd), kPathCap, "", 1023),
    TEXT(KeyKind::Str, "AP.bat", VLX_APP(bat), kPathCap, "", 1023),
    TEXT(KeyKind::Str, "AP.db_dir", VLX_APP(db_dir), kPathCap, "", 1023),
    TEXT(KeyKind::Str, "AP.infname", VLX_APP(infname), kPathCap, "", 1023),
    // The block holds 13 bytes; the record of a 12-character id is 16 bytes.
    TEXT(KeyKind::Keep, "IF.lid", VLX_BLOCK(lid), sizeof(DetectParams::lid), "", kLidMaxChars),
    TEXT(KeyKind::Keep, "IF.cid", VLX_BLOCK(cid), sizeof(DetectParams::cid), "", kCidMaxChars),
    TEXT(KeyKind::Keep, "AP.oname", VLX_APP(oname), kNameCap, "", kNameMaxChars),
    TEXT(KeyKind::Keep, "AP.cname", VLX_BLOCK(cname), sizeof(DetectParams::cname), "", kNameMaxChars),
    TEXT(KeyKind::Keep, "AP.lname", VLX_BLOCK(lname), sizeof(DetectParams::lname), "", kNameMaxChars),
    TEXT(KeyKind::Keep, "AP.hname", VLX_APP(hname), kNameCap, "", kNameMaxChars),
    TEXT(KeyKind::Keep, "AP.comment", VLX_APP(comment), kCommentCap, "", kCommentMaxChars),
    DBL_R("AP.lng", VLX_APP(lng), 0.0, -180, 180),
    DBL_R("AP.lat", VLX_APP(lat), 0.0, -90, 90),
    DBL_R("AP.alt", VLX_APP(alt), 0.0, -1000, 99999),
    FLAG("AP.ftp_on", VLX_APP(ftp_on), 0),
    FLAG("AP.ftp_jpg", VLX_APP(ftp_jpg), 1),
    FLAG("AP.ftp_small", VLX_APP(ftp_small), 1),
    FLAG("AP.ftp_wmv", VLX_APP(ftp_wmv), 0),
    INT_R("AP.ftp_rc", VLX_APP(ftp_rc), 8, 1, 9999),
    // Also limited to AP.ftp_rc.
    INT_R("AP.ftp_cn", VLX_APP(ftp_cn), 1, 1, 9999),
    FLAG("AP.ftp_passive", VLX_APP(ftp_passive), 1),
    INT_R("AP.ftp_port", VLX_APP(ftp_port), 21, 1, 65535),
    FLAG("AP.ftp_trigsuffix", VLX_APP(ftp_trigsuffix), 1),
    FLAG("AP.mail_on", VLX_APP(mail_on), 0),
    FLAG("AP.mail_big", VLX_APP(mail_big), 0),
    FLAG("AP.mail_small", VLX_APP(mail_small), 1),
    FLAG("AP.mail_popbefore", VLX_APP(mail_popbefore), 1),
    TEXT(KeyKind::Keep, "AP.mail_server", VLX_APP(mail_server), kPathCap, "", 624),
    TEXT(KeyKind::Keep, "AP.mail_from", VLX_APP(mail_from), kPathCap, "", 624),
    TEXT(KeyKind::Keep, "AP.mail_to", VLX_APP(mail_to), kPathCap, "", 624),
    TEXT(KeyKind::Keep, "AP.mail_subject", VLX_APP(mail_subject), kPathCap, "%f", 1023),
    TEXT(KeyKind::Keep, "AP.mail_body", VLX_APP(mail_body), kPathCap, "", 1023),
    TEXT(KeyKind::Scr, "AP.ftp_server", VLX_APP(ftp_server), kPathCap, "", 624),
    TEXT(KeyKind::Scr, "AP.ftp_uname", VLX_APP(ftp_uname), kPathCap, "", 624),
    TEXT(KeyKind::Scr, "AP.ftp_pw", VLX_APP(ftp_pw), kPathCap, "", 624),
    TEXT(KeyKind::Scr, "AP.ftp_dir", VLX_APP(ftp_dir), kPathCap, "", 624),
    TEXT(KeyKind::Scr, "AP.mail_server", VLX_APP(mail_server), kPathCap, "", 624),
    TEXT(KeyKind::Scr, "AP.mail_popserver", VLX_APP(mail_popserver), kPathCap, "", 624),
    TEXT(KeyKind::Scr, "AP.mail_uname", VLX_APP(mail_uname), kPathCap, "", 624),
    TEXT(KeyKind::Scr, "AP.mail_pw", VLX_APP(mail_pw), kPathCap, "", 624),
    TEXT(KeyKind::Scr, "AP.mail_from", VLX_APP(mail_from), kPathCap, "", 624),
    TEXT(KeyKind::Scr, "AP.mail_to", VLX_APP(mail_to), kPathCap, "", 624),
};

#undef VLX_BLOCK
#undef VLX_APP
#undef INT_R
#undef FLAG
#undef INT_U
#undef DBL
#undef DBL_R
#undef TEXT

bool IsBlank(const char* s) {
    while (*s == ' ' || *s == '\t') ++s;
    return *s == '\0';
}

}  // namespace

std::span<const KeyDef> KeyTable() { return std::span<const KeyDef>(kTable); }

const KeyDef* FindKey(const char* key) {
    for (const KeyDef& d : kTable) {
        if (std::strcmp(d.key, key) == 0) return &d;
    }
    return nullptr;
}

void* KeyAddress(AppContext& ctx, const KeyDef& def) {
    uint8_t* base = nullptr;
    switch (def.home) {
        case KeyHome::Block: base = reinterpret_cast<uint8_t*>(&ctx.dp); break;
        case KeyHome::App: base = reinterpret_cast<uint8_t*>(&ctx.ap); break;
        case KeyHome::Replay: base = reinterpret_cast<uint8_t*>(&ctx.rp); break;
    }
    return base + def.offset;
}

int32_t& KeyInt(AppContext& ctx, const KeyDef& def) { return *static_cast<int32_t*>(KeyAddress(ctx, def)); }
double& KeyDbl(AppContext& ctx, const KeyDef& def) { return *static_cast<double*>(KeyAddress(ctx, def)); }
char* KeyStr(AppContext& ctx, const KeyDef& def) { return static_cast<char*>(KeyAddress(ctx, def)); }

bool IsSecret(const KeyDef& def) {
    if (def.kind == KeyKind::Scr) return true;
    if (def.kind != KeyKind::Keep) return false;
    for (const KeyDef& d : kTable) {
        if (d.kind == KeyKind::Scr && d.home == def.home && d.offset == def.offset) return true;
    }
    return false;
}

void CopyText(char* dest, size_t capacity, const char* text) {
    if (capacity == 0) return;
    size_t n = strnlen(text, capacity - 1);
    std::memcpy(dest, text, n);
    dest[n] = '\0';
}

std::string KeyValueText(AppContext& ctx, const KeyDef& def) {
    switch (def.kind) {
        case KeyKind::Int: return std::to_string(KeyInt(ctx, def));
        case KeyKind::Dbl: {
            char buf[64];
            auto r = std::to_chars(buf, buf + sizeof buf, KeyDbl(ctx, def));
            return std::string(buf, r.ptr);
        }
        default: return std::string(KeyStr(ctx, def));
    }
}

bool SetKeyFromText(AppContext& ctx, const char* key, const char* text, std::string* error) {
    const KeyDef* def = FindKey(key);
    if (!def) {
        *error = std::string("unknown key ") + key;
        return false;
    }
    switch (def->kind) {
        case KeyKind::Int: {
            if (IsBlank(text)) {
                *error = std::string(key) + " needs a whole number";
                return false;
            }
            errno = 0;
            char* end = nullptr;
            long long v = std::strtoll(text, &end, 10);
            if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) {
                *error = std::string(key) + " needs a whole number, not \"" + text + "\"";
                return false;
            }
            if (def->ranged && (v < def->min || v > def->max)) {
                *error = std::string(key) + " must lie in " + std::to_string(def->min) + ".." + std::to_string(def->max);
                return false;
            }
            KeyInt(ctx, *def) = static_cast<int32_t>(v);
            return true;
        }
        case KeyKind::Dbl: {
            errno = 0;
            char* end = nullptr;
            double v = std::strtod(text, &end);
            if (IsBlank(text) || errno != 0 || *end != '\0' || v != v) {
                *error = std::string(key) + " needs a number, not \"" + text + "\"";
                return false;
            }
            if (def->ranged && (v < def->min || v > def->max)) {
                *error = std::string(key) + " must lie in " + std::to_string(def->min) + ".." + std::to_string(def->max);
                return false;
            }
            KeyDbl(ctx, *def) = v;
            return true;
        }
        default: {
            size_t n = std::strlen(text);
            if (n > def->max_chars) {
                *error = std::string(key) + " holds at most " + std::to_string(def->max_chars) + " characters";
                return false;
            }
            CopyText(KeyStr(ctx, *def), def->capacity, text);
            return true;
        }
    }
}

}  // namespace vlx
