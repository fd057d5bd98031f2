// Recovery of the temporary capture files ("T...") that a killed run (power
// cut, kill -9) leaves in the clip folders.
//
// A capture file is renamed to its clip name only after the writer has
// finished it, so a "T" file at start-up belongs to a run that never got
// there: its AVI header still holds the counts of an empty file and it has
// no index, which players refuse. At start the station rewrites each one
// that holds frames as a playable AVI under the "M" name of its clip (the
// same ids, the clip's start time), and removes each empty or unreadable
// one. Stills and the XML record of such a clip were never written and stay
// absent. Every file is written beside its final name and renamed into it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "vlx/app/context.h"

namespace vlx {

// What a readable AVI capture file holds, as RepairAvi finds it.
struct AviFacts {
    int64_t video_frames = 0;
    double seconds = 0;           // video frames x frame period
    std::string first_frame_head;  // the first bytes of the first video frame
};

// Writes src, an AVI whose writer was stopped before it finished, to dst as
// a complete AVI: the frames up to the last whole one, the header's counts
// and sizes set, an index appended. False when src is no AVI or holds no
// whole video frame (dst is then not written).
bool RepairAvi(const std::string& src, const std::string& dst, AviFacts* facts);

// The clip start of a recovered file: the time of its first record line
// ("VLXR yyyymmdd hhmmss.mmm ...") when the frames carry one, else its last
// modification (capture time, UTC - time_offset) less its duration.
int64_t RecoveredClipStart(const AviFacts& facts, int64_t mtime_utc, int64_t time_offset, bool* from_record);

// Recovers every "T" capture file of this station (its location and camera
// ids) in AP.db_dir and its dated folders. time_offset turns UTC into capture
// time. log receives one line per file handled. Returns the number of clips
// recovered.
int RecoverCaptureFiles(AppContext& ctx, int64_t time_offset, const std::function<void(const std::string&)>& log);

}  // namespace vlx
