#include "clips_command.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vlx/app/report.h"
#include "vlx/clipdb/clip_database.h"
#include "vlx/clips/records.h"

namespace vlx2d {
namespace {

bool EndsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::string RealFolder(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

const char* const kToolUsage =
    "  --clips             list the clip database for the AP.db_* settings and exit\n"
    "  --auto-mask IMAGE.bmp [OUT.bmp]\n"
    "                      set the detect area from a sky picture (AP.me_lev, AP.me_ratio) and exit\n"
    "  --brush S|M|L|LL    with --auto-mask: the brush that grows each masked spot (default L)\n";

bool TakeToolOptions(int* argc, char** argv, ToolCommand* cmd) {
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        const std::string a = argv[i];
        if (a == "--clips") {
            cmd->kind = ToolCommand::kClips;
        } else if (a == "--auto-mask") {
            if (i + 1 >= *argc) {
                std::fprintf(stderr, "vlx2d: --auto-mask needs a picture\n");
                return false;
            }
            cmd->kind = ToolCommand::kAutoMask;
            cmd->image = argv[++i];
            // An optional output picture; a settings file (.vxi) may follow too.
            if (i + 1 < *argc && argv[i + 1][0] != '-' && EndsWith(argv[i + 1], ".bmp")) cmd->out = argv[++i];
        } else if (a == "--brush") {
            const std::string v = i + 1 < *argc ? argv[++i] : "";
            if (v == "S") {
                cmd->brush = vlx::Brush::kS;
            } else if (v == "M") {
                cmd->brush = vlx::Brush::kM;
            } else if (v == "L") {
                cmd->brush = vlx::Brush::kL;
            } else if (v == "LL") {
                cmd->brush = vlx::Brush::kLL;
            } else {
                std::fprintf(stderr, "vlx2d: --brush takes S, M, L or LL\n");
                return false;
            }
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    argv[kept] = nullptr;
    return true;
}

int RunClipsCommand(vlx::AppContext& ctx) {
    vlx::ClipDatabase db(ctx);
    if (ctx.ap.db_latest) db.SetLatestStartDate();
    db.Read();
    for (int r = 0; r < db.RowCount(); ++r) {
        std::printf("%s\t%s\t%s\n", db.RowName(r).c_str(), db.RowMedia(r).c_str(), db.RowSizeText(r).c_str());
    }
    std::printf("%s\n", db.CounterText().c_str());
    return 0;
}

int RunAutoMaskCommand(vlx::Application& app, vlx::AppContext& ctx, const ToolCommand& cmd) {
    vlx::Bmp24 sky;
    const vlx::BmpReadStatus status = vlx::ReadBmp24(cmd.image, sky);
    if (status == vlx::BmpReadStatus::kCannotOpen) {
        vlx::ErrorBox("UM026: Cannot read Area Mask %s ", cmd.image.c_str());
        return 1;
    }
    if (status != vlx::BmpReadStatus::kOk || sky.width != ctx.dp.cx || sky.height != ctx.dp.cy) {
        vlx::ErrorBox("UM027: Area Mask File size not matched ... ignored");
        return 1;
    }

    vlx::AreaMaskPicture mask;
    vlx::AreaMaskEditor editor(ctx, mask);
    editor.SetBackground(sky.pixels.data(), sky.width, sky.height);
    editor.Begin();
    editor.SetBrush(cmd.brush);
    editor.AutoSet();

    const std::string previous = ctx.ap.dareafname;
    const std::string out = cmd.out.empty() ? editor.ProposedPath() : cmd.out;
    if (editor.Save(out) != vlx::AreaMaskEditor::SaveResult::kSaved) return 1;
    std::printf("%s: %d of %d pixels masked\n", out.c_str(), editor.MaskedCount(), sky.width * sky.height);

    // The live side reads the mask from the program directory only.
    const std::string program_dir = RealFolder(ctx.program_dir);
    if (!program_dir.empty() && RealFolder(FolderOf(out)) == program_dir) {
        app.Shutdown();  // saves the settings with the new AP.dareafname
        std::printf("AP.dareafname=%s\n", ctx.ap.dareafname);
    } else {
        std::snprintf(ctx.ap.dareafname, sizeof ctx.ap.dareafname, "%s", previous.c_str());
    }
    return 0;
}

int RunToolCommand(vlx::Application& app, vlx::AppContext& ctx, const ToolCommand& cmd) {
    switch (cmd.kind) {
        case ToolCommand::kClips: return RunClipsCommand(ctx);
        case ToolCommand::kAutoMask: return RunAutoMaskCommand(app, ctx, cmd);
        default: return 0;
    }
}

}  // namespace vlx2d
