// The two vlx2d commands that need no pipeline: --clips lists the clip
// database as the window's page would, --auto-mask sets the detect area from
// a picture of the sky.
#pragma once

#include <string>

#include "vlx/app/context.h"
#include "vlx/app/startup.h"
#include "vlx/areaedit/area_mask_editor.h"

namespace vlx2d {

struct ToolCommand {
    enum Kind { kNone, kClips, kAutoMask } kind = kNone;
    std::string image;  // --auto-mask IMAGE.bmp
    std::string out;    // optional OUT.bmp
    vlx::Brush brush = vlx::Brush::kL;
};

// Usage lines of the commands.
extern const char* const kToolUsage;

// Takes --clips, --auto-mask IMAGE.bmp [OUT.bmp] and --brush S|M|L|LL out of
// argv, leaving the other arguments in order. False (after a message) when
// one is malformed.
bool TakeToolOptions(int* argc, char** argv, ToolCommand* cmd);

// Prints every row (name, the ten media letters, "%.1f" MB, tab-separated)
// and "%d clips". Exit code 0.
int RunClipsCommand(vlx::AppContext& ctx);

// Auto Set on the picture with AP.me_lev, AP.me_ratio and the brush, saved as
// the editor saves; a mask written into the program directory becomes
// AP.dareafname in the settings file. Exit code 0, or 1 when the picture
// cannot be read, is not IF.cx x IF.cy, or the mask cannot be saved.
int RunAutoMaskCommand(vlx::Application& app, vlx::AppContext& ctx, const ToolCommand& cmd);

// Runs the command taken by TakeToolOptions.
int RunToolCommand(vlx::Application& app, vlx::AppContext& ctx, const ToolCommand& cmd);

}  // namespace vlx2d
