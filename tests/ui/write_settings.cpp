// vlx-write-settings FILE KEY=VALUE...: writes a settings file with the
// defaults and the given values (the end-to-end window test's set-up).
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "vlx/app/context.h"
#include "vlx/settings/key_table.h"
#include "vlx/settings/settings_store.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vlx-write-settings FILE KEY=VALUE...\n");
        return 2;
    }
    static vlx::AppContext ctx;
    vlx::SetDefaults(ctx);
    if (!getcwd(ctx.program_dir, sizeof ctx.program_dir)) return 1;
    for (int i = 2; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        if (!eq) return 2;
        std::string error;
        if (!vlx::SetKeyFromText(ctx, std::string(argv[i], static_cast<size_t>(eq - argv[i])).c_str(), eq + 1, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 2;
        }
    }
    vlx::CopyText(ctx.settings_file, sizeof ctx.settings_file, argv[1]);
    return vlx::WriteSettings(ctx) ? 0 : 1;
}
