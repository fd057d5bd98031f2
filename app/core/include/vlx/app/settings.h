// Application settings (the AP.* keys). The IF.* detection settings are the
// fields of DetectParams itself, and AP.cname / AP.lname live there too (the
// element prints them), so loading a file writes straight into that block.
//
// Text capacities include the terminating NUL and are multiples of four, so
// every text the settings pages let a user enter reads back from the record
// file (records are padded to four bytes).
#pragma once

#include <cstdint>

namespace vlx {

inline constexpr int kPathCap = 1024;   // paths and long texts
inline constexpr int kNameCap = 32;     // observer, capture equipment (31 characters)
inline constexpr int kCommentCap = 84;  // comment (80 characters)

// Entry limits of the profile texts (characters, without the NUL).
inline constexpr int kLidMaxChars = 12;
inline constexpr int kCidMaxChars = 2;
inline constexpr int kNameMaxChars = 31;
inline constexpr int kCommentMaxChars = 80;

struct ScheduleSettings {
    int32_t on;
    int32_t h1, m1, o1;  // start time, start offset (minutes)
    int32_t h2, m2, o2;  // end time, end offset (minutes)
    char vxi[kPathCap];  // profile loaded when the schedule starts detection
};

struct Settings {
    int32_t si_fontsize;
    int32_t dlgrect_top, dlgrect_left, dlgrect_bottom, dlgrect_right;
    int32_t showcmd;
    int32_t vpin, apin;
    int32_t tv_antenna, tv_ch;
    int32_t md_autorun, md_log, md_watchdog;
    int32_t ttrig, ttrig_on;
    int32_t sunset;
    ScheduleSettings sd[2];
    int32_t ar_on, ar_h;
    int32_t limit_MB, limit_stop, limit_delday;
    int32_t leavelong;
    int32_t bmp, jpg;
    int32_t beep;
    int32_t nottrash;
    int32_t action;
    int32_t db_y, db_m, db_d, db_latest, db_days, db_night, db_ymddir;
    int32_t si_yyyymmdd, si_hhmmss;
    int32_t r_amask, r_smask, r_hmark;
    int32_t smspeed;
    int32_t thumbmail, sj_cx, sj_cy, tmark;
    int32_t me_lev, me_ratio;
    int32_t track;  // AP.track: analyse every clip and write its track beside it

    char dv_video[kPathCap];
    char dv_audio[kPathCap];
    char dv_codec[kPathCap];
    char dareafname[kPathCap];
    char snd[kPathCap];
    char bat[kPathCap];
    char db_dir[kPathCap];
    char infname[kPathCap];

    char oname[kNameCap];
    char hname[kNameCap];
    char comment[kCommentCap];
    double lng, lat, alt;

    int32_t ftp_on, ftp_jpg, ftp_small, ftp_wmv, ftp_rc, ftp_cn, ftp_passive, ftp_port, ftp_trigsuffix;
    int32_t mail_on, mail_big, mail_small, mail_popbefore;
    char mail_subject[kPathCap];
    char mail_body[kPathCap];

    // Stored scrambled in the file.
    char ftp_server[kPathCap];
    char ftp_uname[kPathCap];
    char ftp_pw[kPathCap];
    char ftp_dir[kPathCap];
    char mail_server[kPathCap];
    char mail_popserver[kPathCap];
    char mail_uname[kPathCap];
    char mail_pw[kPathCap];
    char mail_from[kPathCap];
    char mail_to[kPathCap];
};

// The replay setting RIF.deinterace lives in ReplayParams::deinterlace_stepping.

}  // namespace vlx
