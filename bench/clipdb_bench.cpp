// Reading the clip database over a year of nights: 365 day folders of 20
// clips, each clip with its AVI, snapshot, map, thumbnail and XML record
// (36,500 files), listed for 365 days. Also Auto Set of the area editor on a
// 640 x 480 sky with the largest brush.
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "vlx/app/context.h"
#include "vlx/areaedit/area_mask_editor.h"
#include "vlx/clipdb/clip_database.h"

namespace {

namespace fs = std::filesystem;

struct YearOfNights {
    std::string root;
    YearOfNights() {
        root = (fs::temp_directory_path() / ("vlxbench-clipdb-" + std::to_string(::getpid()))).string();
        const char* suffixes[] = {".avi", "S.jpg", "M.bmp", "T.jpg", ".xml"};
        for (int day = 0; day < 365; ++day) {
            const int64_t noon = (13514 + day) * int64_t{86400} + 43200;  // 2007-01-01 onwards
            const time_t t = noon;
            struct tm tm{};
            gmtime_r(&t, &tm);
            char folder[64];
            std::snprintf(folder, sizeof folder, "/%04d/%04d%02d/%04d%02d%02d", tm.tm_year + 1900, tm.tm_year + 1900,
                          tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
            const std::string dir = root + folder;
            fs::create_directories(dir);
            for (int clip = 0; clip < 20; ++clip) {
                const int hour = 19 + clip / 4;  // 19:00 to 23:45
                char base[64];
                std::snprintf(base, sizeof base, "/M%04d%02d%02d_%02d%02d00_TOKYO01_AB", tm.tm_year + 1900,
                              tm.tm_mon + 1, tm.tm_mday, hour, clip % 4 * 15);
                for (const char* s : suffixes) {
                    if (FILE* f = std::fopen((dir + base + s).c_str(), "wb")) std::fclose(f);
                }
            }
        }
    }
    ~YearOfNights() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

void BM_ClipDbReadYear(benchmark::State& state) {
    static YearOfNights tree;
    vlx::AppContext ctx;
    std::snprintf(ctx.ap.db_dir, sizeof ctx.ap.db_dir, "%s", tree.root.c_str());
    ctx.ap.db_ymddir = 1;
    ctx.ap.db_night = 0;
    ctx.ap.db_y = 2007;
    ctx.ap.db_m = 1;
    ctx.ap.db_d = 1;
    ctx.ap.db_days = 365;
    vlx::ClipDatabase db(ctx);
    for (auto _ : state) {
        db.Read();
        benchmark::DoNotOptimize(db.RowCount());
    }
    if (db.RowCount() != 365 * 20) state.SkipWithError("not every clip was listed");
    state.counters["rows"] = db.RowCount();
}
BENCHMARK(BM_ClipDbReadYear)->Unit(benchmark::kMillisecond);

void BM_AreaAutoSet640(benchmark::State& state) {
    vlx::AppContext ctx;
    ctx.dp.cx = 640;
    ctx.dp.cy = 480;
    ctx.ap.me_lev = 20;
    ctx.ap.me_ratio = 90;
    // A sky brightening upwards with a little noise, 30 rows of black ground
    // and 1 % dark pixels (trees, a mast) for the brush to grow.
    std::mt19937 rng(3);
    std::vector<uint8_t> sky(640 * 480 * 3);
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            uint8_t* p = &sky[(static_cast<size_t>(y) * 640 + x) * 3];
            const int v = y < 30 || rng() % 100 == 0 ? 0 : 40 + y / 8 + static_cast<int>(rng() % 5);
            p[0] = p[1] = p[2] = static_cast<uint8_t>(v);
        }
    }
    vlx::AreaMaskPicture mask;
    vlx::AreaMaskEditor editor(ctx, mask);
    editor.SetBackground(sky.data(), 640, 480);
    editor.Begin();
    editor.SetBrush(static_cast<vlx::Brush>(state.range(0)));
    for (auto _ : state) editor.AutoSet();
    state.counters["masked"] = editor.MaskedCount();
}
BENCHMARK(BM_AreaAutoSet640)->Arg(13)->Arg(25)->Unit(benchmark::kMillisecond);

}  // namespace
