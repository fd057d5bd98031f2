#include "analyse_command.h"

#include "vlx/analysis/clip_analysis.h"
#include "vlx/app/context.h"

namespace vlx {

int RunAnalyseCommand(const AppContext& ctx, const std::vector<std::string>& clips, std::FILE* out, std::FILE* err) {
    int rc = 0;
    for (const std::string& clip : clips) {
        // The clip's own record knows the level it was detected at.
        analysis::ClipAnalysisOptions options;
        analysis::OptionsFromRecord(clip, ctx, &options);
        analysis::Analysis a;
        std::string error;
        const size_t slash = clip.rfind('/');
        const std::string name = slash == std::string::npos ? clip : clip.substr(slash + 1);
        if (!analysis::AnalyseClipToSidecar(clip, options, &a, &error)) {
            std::fprintf(err, "vlx2d: %s: %s\n", clip.c_str(), error.c_str());
            rc = 1;
            continue;
        }
        std::fprintf(out, "%s %s %.2f %s\n", name.c_str(), analysis::KindName(a.verdict.kind), a.verdict.score,
                     a.verdict.reason.c_str());
        std::fflush(out);
    }
    return rc;
}

}  // namespace vlx
