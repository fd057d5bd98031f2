// Defaults, reading and writing of the settings file and profiles.
#pragma once

#include <string>

#include "vlx/app/context.h"
#include "vlx/settings/app_uty.h"

namespace vlx {

inline constexpr int32_t kSettingsVersion = 209;
inline constexpr int32_t kOldestSettingsVersion = 4;
inline constexpr const char* kDefaultSettingsFile = "Settings.vxi";

// The user's documents folder (XDG), created when missing. XDG_DOCUMENTS_DIR
// in the environment overrides the user-dirs configuration.
std::string DocumentsFolder();

// Every setting to its default; the settings file name to "Settings.vxi";
// the local time-zone bias and daylight flag computed from the clock now.
void SetDefaults(AppContext& ctx);

// Computes ctx.tz_bias (seconds west of UTC, daylight saving included) and
// ctx.daylight for the given UTC moment.
void ComputeTimeZone(AppContext& ctx, int64_t utc_now);

// Loads ctx.settings_file and applies every key. Returns false when the file
// could not be read (settings keep their values). A value outside its key's
// range is clamped into it, and one message names every key so changed.
// A file that exists but cannot be taken as a settings file (unreadable,
// larger than any settings file, not made of whole records, or of no known
// version) is remembered, so that the next save under its name first keeps
// it aside.
bool ReadSettings(AppContext& ctx);
// Builds all records and saves them under ctx.settings_file. False when the
// file could not be written (reported). When the file there could not be
// read, it is first renamed to "<name>.bad-YYYYMMDD-hhmmss" (local time), and
// that is reported: a damaged file is never overwritten by defaults.
bool WriteSettings(AppContext& ctx);

// Reads or writes another file (a profile) under the settings-name swap the
// application uses, so the shut-down save still goes to the start-up file.
bool ReadSettingsFrom(AppContext& ctx, const char* path);
bool WriteSettingsTo(AppContext& ctx, const char* path);

// The version found in the last file read (0 when none).
int32_t LastReadVersion();

}  // namespace vlx
