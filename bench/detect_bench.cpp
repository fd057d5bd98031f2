// Per-frame cost of the detection core at 640x480 and 1920x1080, YUY2 and
// I420: ring copy + plain loop ("plain"), average loop (sm_on), object loop
// (so_on) on a quiet and a busy sky, the scintillation mask update, the
// resize 1920x1080 -> 960x540 and the stamp. Each figure also comes as
// "x_memcpy": its processor time as a multiple of one plain memcpy of a frame
// of the same format and size, measured in the same run (the memcpy/...
// entries show that copy itself).
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "vlx/detect/detector.h"
#include "vlx/detect/fonts.h"
#include "vlx/detect/block_buffers.h"
#include "vlx/detect/resize.h"
#include "vlx/detect/stamp.h"
#include "vlx/detect_params.h"
#include "vlx/guid.h"

namespace {

using namespace vlx;
using namespace vlx::detect;

struct Geometry {
    int format, w, h;
    const char* fmt_name() const { return format == kFormatYUY2 ? "YUY2" : "I420"; }
};

double ThreadCpu() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// Processor seconds of one memcpy of a frame, cached per geometry.
double MemcpySeconds(const Geometry& g) {
    static std::map<std::tuple<int, int, int>, double> cache;
    auto key = std::make_tuple(g.format, g.w, g.h);
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    const size_t n = FrameBytes(g.format, g.w, g.h);
    std::vector<uint8_t> a(n, 1), b(n, 2);
    for (int i = 0; i < 20; ++i) std::memcpy(b.data(), a.data(), n);
    int reps = 0;
    const double t0 = ThreadCpu();
    double t1 = t0;
    while (reps < 50 || t1 - t0 < 0.3) {
        std::memcpy(b.data(), a.data(), n);
        benchmark::ClobberMemory();
        ++reps;
        t1 = ThreadCpu();
    }
    const double s = (t1 - t0) / reps;
    cache[key] = s;
    return s;
}

// Processor time spent in the measured work, for the multiple of memcpy.
struct Busy {
    double total = 0, t0 = 0;
    void Start() { t0 = ThreadCpu(); }
    void Stop() { total += ThreadCpu() - t0; }
};

void ReportMultiple(benchmark::State& st, const Geometry& g, const Busy& busy) {
    if (st.iterations() == 0) return;
    st.counters["x_memcpy"] = busy.total / static_cast<double>(st.iterations()) / MemcpySeconds(g);
}

// Buffers of the detector at one geometry, with a quiet or busy sky.
struct Scene {
    Geometry g;
    DetectParams p{};
    vlx::BlockBuffers buffers;
    std::vector<uint8_t> slot, ref, head;
    std::vector<std::vector<uint8_t>> frames;
    Detector det;

    explicit Scene(const Geometry& geo, bool busy = false) : g(geo) {
        const int w = g.w, h = g.h;
        const size_t n = static_cast<size_t>(w) * h;
        p.cx = w;
        p.cy = h;
        p.dmin = 1;
        buffers.Allocate(p, false, false);
        p.dlev = 30;
        p.dsize = 20;
        p.avr_keep = kAvrKeep[2];
        p.avr_gain = kAvrGain[2];
        p.sm_level = 105;
        p.sm_size = 5;
        p.so_vel = 20;
        p.so_size = 10;
        const size_t fb = FrameBytes(g.format, w, h);
        slot.assign(fb, 0);
        std::mt19937 rng(5);
        auto make = [&](int seed) {
            std::mt19937 r(seed);
            std::vector<uint8_t> f(fb, 128);
            const int step = g.format == kFormatYUY2 ? 2 : 1;
            for (size_t i = 0; i < n; ++i) f[i * step] = static_cast<uint8_t>(20 + r() % 9);
            // A star field: 1 star in 400 pixels.
            std::mt19937 stars(77);
            for (size_t i = 0; i < n / 400; ++i) f[(stars() % n) * step] = static_cast<uint8_t>(120 + stars() % 120);
            if (busy) {
                // Many moving bright spots: hits everywhere, the object table full.
                for (int k = 0; k < 400; ++k) {
                    const size_t c = (r() % (h - 4) + 2) * static_cast<size_t>(w) + r() % (w - 4) + 2;
                    for (int d = 0; d < 3; ++d) f[(c + d) * step] = 230;
                }
            }
            return f;
        };
        for (int i = 0; i < 3; ++i) frames.push_back(make(i));
        ref = frames[2];
        head = frames[2];
        det.Init(&p, w, h, 30.0);
        det.Connect(g.format);
        // A settled AvrMap: the mean of the noisy background (24 luma, within
        // a fraction of a step) and the stars.
        std::mt19937 nr(9);
        for (size_t i = 0; i < n; ++i) p.avr_map[i] = 24 * 16384 + nr() % 4096;
        std::mt19937 stars(77);
        for (size_t i = 0; i < n / 400; ++i) p.avr_map[stars() % n] = (120 + stars() % 120) * 16384;
    }

    DetectResult Detect(int i) {
        DetectFrame f;
        f.preview = frames[i % 2].data();
        f.copy = true;
        f.slot = slot.data();
        f.ref = ref.data();
        f.head = head.data();
        f.now = {1000 + i / 30, (i % 30) * 33};
        return det.Process(f);
    }
};

void BM_Memcpy(benchmark::State& st, Geometry g) {
    const size_t n = FrameBytes(g.format, g.w, g.h);
    std::vector<uint8_t> a(n, 1), b(n, 2);
    Busy busy;
    for (auto _ : st) {
        busy.Start();
        std::memcpy(b.data(), a.data(), n);
        benchmark::ClobberMemory();
        busy.Stop();
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * n);
    ReportMultiple(st, g, busy);
}

// Ring copy + detector with the loop chosen by the settings.
void BM_Loop(benchmark::State& st, Geometry g, int sm_on, int so_on, bool busy_sky, bool baseline) {
    Scene s(g, busy_sky);
    s.p.sm_on = sm_on;
    s.p.so_on = so_on;
    if (baseline) s.det.UseBaselineLoops();
    st.SetLabel(s.det.wide_loops() ? "avx2" : "baseline");
    int i = 0;
    Busy busy;
    for (auto _ : st) {
        busy.Start();
        benchmark::DoNotOptimize(s.Detect(i++));
        busy.Stop();
    }
    ReportMultiple(st, g, busy);
}

void BM_Scintillation(benchmark::State& st, Geometry g) {
    Scene s(g);
    s.p.sm_on = 1;
    Busy busy;
    for (auto _ : st) {
        busy.Start();
        s.det.UpdateScintillation();
        benchmark::ClobberMemory();
        busy.Stop();
    }
    ReportMultiple(st, g, busy);
}

void BM_Resize(benchmark::State& st, Geometry g) {
    Resizer r;
    r.Configure(1920, 1080, 960, 540);
    const size_t n = FrameBytes(g.format, 1920, 1080);
    std::vector<uint8_t> src(n), buf(n);
    std::mt19937 rng(1);
    for (auto& b : src) b = static_cast<uint8_t>(rng());
    Busy busy;
    for (auto _ : st) {
        st.PauseTiming();
        std::memcpy(buf.data(), src.data(), n);
        st.ResumeTiming();
        busy.Start();
        r.Apply(buf.data(), g.format);
        benchmark::ClobberMemory();
        busy.Stop();
    }
    ReportMultiple(st, g, busy);
}

void BM_Stamp(benchmark::State& st, Geometry g) {
    const FontTable ft = StampFont(1);
    DetectParams p{};
    p.si_on = 1;
    p.font_table = ft.glyphs;
    p.si_fontx = ft.width;
    p.si_fonty = ft.height;
    p.si_y0 = 1;
    std::strcpy(p.si_format, "%T%M %L %F %Y %C");
    std::vector<uint8_t> frame(FrameBytes(g.format, g.w, g.h), 50);
    const Canvas c{frame.data(), g.format, g.w, g.h};
    FrameStamp s;
    s.year = 2024;
    Busy busy;
    for (auto _ : st) {
        busy.Start();
        Stamp(c, p, s, StampStyle::kPreview, ClipProgress{12, 0});
        benchmark::ClobberMemory();
        busy.Stop();
    }
    ReportMultiple(st, g, busy);
}

int Register() {
    for (int format : {kFormatYUY2, kFormatPlanar420}) {
        for (auto [w, h] : {std::pair{640, 480}, std::pair{1920, 1080}}) {
            const Geometry g{format, w, h};
            const std::string tail = std::string("/") + g.fmt_name() + "/" + std::to_string(w) + "x" + std::to_string(h);
            benchmark::RegisterBenchmark(("memcpy" + tail).c_str(), BM_Memcpy, g);
            benchmark::RegisterBenchmark(("plain" + tail).c_str(), BM_Loop, g, 0, 0, false, false);
            benchmark::RegisterBenchmark(("average" + tail).c_str(), BM_Loop, g, 1, 0, false, false);
            benchmark::RegisterBenchmark(("object-quiet" + tail).c_str(), BM_Loop, g, 0, 1, false, false);
            benchmark::RegisterBenchmark(("object-busy" + tail).c_str(), BM_Loop, g, 0, 1, true, false);
            // The same loops without AVX2, as on processors that lack it.
            benchmark::RegisterBenchmark(("plain-baseline" + tail).c_str(), BM_Loop, g, 0, 0, false, true);
            benchmark::RegisterBenchmark(("average-baseline" + tail).c_str(), BM_Loop, g, 1, 0, false, true);
            benchmark::RegisterBenchmark(("object-quiet-baseline" + tail).c_str(), BM_Loop, g, 0, 1, false, true);
            benchmark::RegisterBenchmark(("scintillation" + tail).c_str(), BM_Scintillation, g);
            benchmark::RegisterBenchmark(("stamp" + tail).c_str(), BM_Stamp, g);
        }
        const Geometry big{format, 1920, 1080};
        benchmark::RegisterBenchmark((std::string("resize/") + big.fmt_name() + "/1920x1080-960x540").c_str(),
                                     BM_Resize, big);
    }
    return 0;
}

const int registered = Register();

}  // namespace
