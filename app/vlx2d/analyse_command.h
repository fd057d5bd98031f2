// vlx2d --analyse CLIP...: the event analysis of clips already in the
// archive, each written beside its clip as the station does after a clip.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vlx {
struct AppContext;

// One line per clip on `out` (name, verdict, score, reason), one error line
// per clip that cannot be analysed on `err`. Returns the exit code: 0 when
// every clip was analysed, 1 otherwise.
int RunAnalyseCommand(const AppContext& ctx, const std::vector<std::string>& clips, std::FILE* out, std::FILE* err);

}  // namespace vlx
