// The stills written between two clips, while nothing is recorded: map BMP,
// snapshot BMP and JPEG, thumbnail JPEG and XML record of a 1920 x 1080 clip.
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "vlx/app/context.h"
#include "vlx/clips/records.h"

namespace {

// A night-sky frame: dark noisy background, stars, and one bright trail.
struct SkyClip {
    static constexpr int W = 1920, H = 1080;
    vlx::AppContext ctx;
    std::vector<uint8_t> snapshot, mask_alloc, hits;
    std::vector<uint32_t> avr;
    std::string dir;

    SkyClip() {
        vlx::DetectParams& dp = ctx.dp;
        dp.cx = W;
        dp.cy = H;
        dp.pixels = W * H;
        dp.frame_bytes = 2 * dp.pixels;
        dp.subtype = vlx::kSubtypeYUY2;
        dp.im_map = 1;
        dp.fps = 29.97;
        dp.clip_start_time = 1186945331;
        ctx.ap.sj_cx = 200;
        ctx.ap.sj_cy = 150;
        ctx.ap.tmark = 1;
        snapshot.resize(dp.frame_bytes);
        mask_alloc.assign(dp.pixels + 2 * W, 0);
        hits.assign(dp.pixels, 0);
        avr.resize(dp.pixels);
        std::mt19937 rng(7);
        for (int i = 0; i < dp.pixels; ++i) {
            snapshot[2 * i] = static_cast<uint8_t>(18 + rng() % 8);
            snapshot[2 * i + 1] = static_cast<uint8_t>(126 + rng() % 4);
            avr[i] = static_cast<uint32_t>(snapshot[2 * i]) << 14;
        }
        for (int s = 0; s < 400; ++s) snapshot[2 * (rng() % dp.pixels)] = static_cast<uint8_t>(120 + rng() % 130);
        for (int t = 0; t < 600; ++t) {
            int x = 500 + t, y = 300 + t / 3;
            snapshot[2 * (y * W + x)] = 250;
            hits[y * W + x] = t % 50 ? 200 : 255;
        }
        dp.snapshot = snapshot.data();
        dp.mask = mask_alloc.data() + W;
        dp.mask_alloc = mask_alloc.data();
        dp.hit_map = hits.data();
        dp.avr_map = avr.data();
        vlx::EnsureRgbBuffer(ctx);

        std::string tmpl = (std::filesystem::temp_directory_path() / "vlxbench-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        dir = tmpl;
    }
    ~SkyClip() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

void BM_ClipStills1080p(benchmark::State& state) {
    SkyClip clip;
    const std::string base = clip.dir + "/M20070812_190211_TOKYO01_AB";
    for (auto _ : state) {
        vlx::MapToRgb(clip.ctx);
        vlx::WriteBmp24(base + "M.bmp", clip.ctx.rgb.data(), clip.W, clip.H);
        vlx::SnapshotToRgb(clip.ctx);
        vlx::WriteBmp24(base + "S.bmp", clip.ctx.rgb.data(), clip.W, clip.H);
        vlx::WriteJpegFromBmp(base + "S.bmp", base + "S.jpg");
        std::filesystem::remove(base + "S.bmp");  // AP.bmp off, the default
        vlx::WriteThumbnail(clip.ctx, base + "T.jpg");
        vlx::WriteClipRecord(clip.ctx, base + ".xml");
    }
}
BENCHMARK(BM_ClipStills1080p)->Unit(benchmark::kMillisecond);

void BM_SnapshotToRgb1080p(benchmark::State& state) {
    SkyClip clip;
    for (auto _ : state) vlx::SnapshotToRgb(clip.ctx);
}
BENCHMARK(BM_SnapshotToRgb1080p)->Unit(benchmark::kMillisecond);

void BM_JpegFromRgb1080p(benchmark::State& state) {
    SkyClip clip;
    vlx::SnapshotToRgb(clip.ctx);
    for (auto _ : state) vlx::WriteJpegFromRgb(clip.dir + "/S.jpg", clip.ctx.rgb.data(), clip.W, clip.H);
}
BENCHMARK(BM_JpegFromRgb1080p)->Unit(benchmark::kMillisecond);

void BM_Thumbnail1080p(benchmark::State& state) {
    SkyClip clip;
    vlx::SnapshotToRgb(clip.ctx);
    for (auto _ : state) vlx::WriteThumbnail(clip.ctx, clip.dir + "/T.jpg");
}
BENCHMARK(BM_Thumbnail1080p)->Unit(benchmark::kMillisecond);

}  // namespace
