// Clip names, the dated folder tree, the free-space guard and clip removal.
//
// Every file of a clip lives in one folder and is named from one capture-time
// stamp: "<folder>/<M|T><yyyymmdd>_<hhmmss>_<lid><suffix><cid>.<avi|wmv>".
// The companions share the path without its extension ("S.jpg", "M.bmp", ...).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "vlx/app/context.h"

namespace vlx {

// Capture time broken down without a time zone.
struct StampParts {
    int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};
StampParts BreakDownStamp(int64_t stamp);

// The folder a stamp's files go to, without creating anything: db_dir itself,
// or db_dir/yyyy/yyyymm/yyyymmdd (the evening's date for the hours before noon
// when the night rule is on). month_folder receives the month level.
std::string DayFolderFor(const AppContext& ctx, int64_t stamp, std::string* month_folder = nullptr);

// Forms the clip path for a stamp, creating any missing folder of the tree,
// and makes the stamp's folders the context's day and month folders. hhmm,
// when given, receives the stamp's hour and minute as four digits. A folder
// that cannot be created ends the program ("Cannot Create Date Dir %s").
std::string MakeClipPath(AppContext& ctx, int64_t stamp, char prefix, char suffix, std::string* hhmm = nullptr);

// Free space of the volume holding path, in whole MB, saturated at INT32_MAX;
// -1 when the query fails.
int32_t FreeSpaceMB(const std::string& path);

// What the guard needs from its surroundings. Every member may be empty.
struct StorageHooks {
    // Replaces FreeSpaceMB (tests, or a volume the process cannot query).
    std::function<int32_t(const std::string& path)> free_space_mb;
    // The operation page's "MB (now ...)" figure.
    std::function<void(int32_t free_mb)> show_free_space;
    // Clips were deleted: an open clip list should read its folder again.
    std::function<void()> clips_deleted;
};

// The hooks EnsureFreeSpace(ctx) uses; installed once by the window layer.
void SetStorageHooks(StorageHooks hooks);

// The guard run before every new capture file; true when capture may go on.
//  - free >= AP.limit_MB: go on.
//  - AP.limit_stop: "UM003: ..." and stop.
//  - otherwise delete the oldest clips of the day folder, each with its
//    companions, one by one until the minimum is met; "UM001: ..." and stop when nothing deletable is left.
// The folder it deletes from is always inside AP.db_dir: the day folder of the
// last named file, or, before the first file of the run, the folder today's
// files would go to. A failed free-space query deletes nothing and lets
// capture go on: an unknown figure is no reason to destroy clips.
bool EnsureFreeSpace(AppContext& ctx);
bool EnsureFreeSpace(AppContext& ctx, const StorageHooks& hooks);

// A clip's base name ("M" yyyymmdd "_" hhmmss "_" lid suffix cid) when name
// is that of a clip or one of its companions (".avi", ".wmv", "S.bmp",
// "S.jpg", "P.bmp", "P.jpg", "M.bmp", "T.jpg", ".xml"); empty otherwise.
std::string ClipBaseOf(const std::string& name);
bool IsClipBase(const std::string& base);

// Deletes (never to the trash) the oldest clip of folder with all its
// companion files. Only regular files whose names have the clip form count;
// any other file, a folder, or a "T" capture file is never touched. A clip's
// age is the earliest creation time (birth time where the file system keeps
// it, else the modification time) of its files. A clip none of whose files
// can be deleted is passed over for the next oldest. Returns true when a
// file was deleted.
bool DeleteOldestClipFile(const std::string& folder);

// Removes folder/clip_name* (the clip and all its companions): deleted
// outright with AP.nottrash, else moved to the freedesktop trash, reporting
// "UM024: Cannot Delete clip" for each file that cannot be moved.
// Returns the number of files removed.
int RemoveClipFiles(const AppContext& ctx, const std::string& folder, const std::string& clip_name);

}  // namespace vlx
