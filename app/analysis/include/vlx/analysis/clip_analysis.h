// Analysis of a clip file: decoded through GStreamer, judged by
// TrackAnalyser, and written beside the clip as "<base>.track.json".
#pragma once

#include <string>

#include "vlx/analysis/track.h"

namespace vlx {
struct AppContext;
}

namespace vlx::analysis {

struct ClipAnalysisOptions {
    // Detect level, reference distance, mask, stamp rows; the frame size and
    // rate come from the file (a mask of another size is not used).
    AnalysisSetup setup;
    std::string lid;  // station ids for the sidecar
    std::string sid;
};

// The options for a clip the station has just finished: the clip's detect
// level, IF.fs_diff, the detect-area mask, the stamp rows and record line.
ClipAnalysisOptions OptionsFromStation(const AppContext& ctx);

// The same for a clip of the archive: what the XML record beside it tells
// (level, reference distance, stamp, ids), the station's settings for the
// rest. False when there is no record (the options are then the settings').
bool OptionsFromRecord(const std::string& clip_path, const AppContext& ctx, ClipAnalysisOptions* options);

// "<clip path without its extension>.track.json".
std::string SidecarPath(const std::string& clip_path);

// Decodes and analyses; false with the reason for a clip that cannot be
// read whole (missing, not a video, truncated).
bool AnalyseClip(const std::string& clip_path, const ClipAnalysisOptions& options, Analysis* out,
                 std::string* error);

// AnalyseClip, then the sidecar under a temporary name renamed into place.
// On any failure no sidecar is left (an older one is removed) and false is
// returned with the reason. `out` may be null.
bool AnalyseClipToSidecar(const std::string& clip_path, const ClipAnalysisOptions& options, Analysis* out,
                          std::string* error);

// The sidecar text.
std::string TrackJson(const std::string& clip_name, const ClipAnalysisOptions& options, const Analysis& analysis);

}  // namespace vlx::analysis
