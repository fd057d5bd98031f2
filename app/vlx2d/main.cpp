// vlx2d: the station without a window.
//
//   vlx2d [--print-settings [--show-secrets] | --sun] [SETTINGS.vxi]
//
// Starts up as the window does (program directory, defaults, the settings
// file named on the command line or Settings.vxi), then acts on the options.
#include <cstdio>
#include <cstring>
#include <string>

#include "vlx/app/context.h"
#include "vlx/app/startup.h"
#include "vlx/schedule/sun.h"
#include "vlx/settings/key_table.h"
#include "vlx/settings/settings_store.h"

namespace {

struct Options {
    bool print_settings = false;
    bool show_secrets = false;
    bool sun = false;
    std::string settings_path;
};

void Usage(std::FILE* out) {
    std::fputs(
        "usage: vlx2d [options] [SETTINGS.vxi]\n"
        "  --print-settings   print every setting as KEY=VALUE, in table order, and exit\n"
        "  --show-secrets     with --print-settings: print credentials and addresses too\n"
        "  --sun              print today's sunrise, sunset and both schedule windows, and exit\n"
        "  -h, --help         this text\n",
        out);
}

// Returns -1 to go on, else the exit code.
int ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--print-settings") == 0) {
            o->print_settings = true;
        } else if (std::strcmp(a, "--sun") == 0) {
            o->sun = true;
        } else if (std::strcmp(a, "--show-secrets") == 0) {
            o->show_secrets = true;
        } else if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
            Usage(stdout);
            return 0;
        } else if (a[0] == '-' && a[1] == '-') {
            std::fprintf(stderr, "vlx2d: unknown option %s\n", a);
            Usage(stderr);
            return 2;
        } else if (o->settings_path.empty()) {
            o->settings_path = a;
        } else {
            std::fprintf(stderr, "vlx2d: only one settings file may be given\n");
            return 2;
        }
    }
    return -1;
}

void PrintSettings(vlx::AppContext& ctx, bool show_secrets) {
    std::printf("VERSION=%d\n", vlx::LastReadVersion());
    for (const vlx::KeyDef& d : vlx::KeyTable()) {
        std::string value = vlx::KeyValueText(ctx, d);
        if (vlx::IsSecret(d) && !show_secrets && !value.empty()) value = "(set)";
        std::printf("%s=%s\n", d.key, value.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    int rc = ParseArgs(argc, argv, &opt);
    if (rc >= 0) return rc;

    static vlx::AppContext ctx;
    ctx.compute_sun_times = [](vlx::AppContext& c) { vlx::ComputeSunTimes(c); };
    vlx::Application app(ctx);
    app.Startup(opt.settings_path);

    if (opt.sun) {
        vlx::PrintSunReport(ctx, stdout);
        return 0;
    }
    if (opt.print_settings) {
        PrintSettings(ctx, opt.show_secrets);
        return 0;
    }
    std::fprintf(stderr, "vlx2d: nothing to do yet (try --print-settings)\n");
    return 0;
}
