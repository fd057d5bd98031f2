// The replay page's logic with the real replay thread behind it.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "capture_reporter.h"
#include "station_clips.h"
#include "vlx/clips/records.h"
#include "vlx/replay/page_logic.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct GstInit {
    GstInit() { gst_init(nullptr, nullptr); }
};
const GstInit gst_once;

class Done : public vlx::ReplayObserver {
public:
    void CommandDone(uint32_t code) override {
        std::lock_guard<std::mutex> l(mu);
        codes.push_back(code);
        cv.notify_all();
    }
    std::vector<uint32_t> WaitFor(size_t n) {
        std::unique_lock<std::mutex> l(mu);
        cv.wait_for(l, 30s, [&] { return codes.size() >= n; });
        return codes;
    }
    std::mutex mu;
    std::condition_variable cv;
    std::vector<uint32_t> codes;
};

struct View : vlx::ReplayView {
    void SetPlayCaption(const char* c) override { caption = c; }
    void StartTimer(int ms) override { timers.push_back(ms); }
    void KillTimer() override { ++kills; }
    void SetSlider(int64_t ms) override { slider = ms; }
    void SetPathText(const std::string& p) override { path = p; }
    void InvalidateVideo() override { ++invalidated; }
    void WaitAfterClose() override {}
    std::string caption, path;
    std::vector<int> timers;
    int kills = 0, invalidated = 0;
    int64_t slider = -1;
};

GstElement* Sink() {
    GstElement* s = gst_element_factory_make("fakesink", nullptr);
    g_object_set(s, "sync", TRUE, nullptr);
    return s;
}

class Page : public ::testing::Test {
protected:
    void SetUp() override {
        ctx.dp.fps = 29.97;
        ctx.dp.fs_head = 30;
        ctx.dp.cx = 320;
        ctx.dp.cy = 240;
        thread = std::make_unique<vlx::CReplayThread>(ctx, vlx::ReplaySinks{Sink, [] { return Sink(); }}, &done);
        thread->Start();
        page = std::make_unique<vlx::CPageReplayLogic>(ctx, *thread, view);
        page->Enter();
    }
    // The entry the clip database would make for the station's raw clip.
    vlx::ClipEntry RawEntry() {
        const auto& c = vlx::test::GetStationClips().raw;
        fs::path base(c.base);
        std::string letters = "          ";
        auto has = [&](const char* suffix) { return fs::exists(c.base + suffix); };
        if (has(".avi")) letters[0] = 'A';
        if (has("S.jpg")) letters[2] = 'S';
        if (has("M.bmp")) letters[7] = 'M';
        if (has("T.jpg")) letters[4] = 'T';
        return {base.parent_path().string(), base.filename().string(), letters};
    }

    vlx::AppContext ctx;
    Done done;
    View view;
    vlx::test::CaptureReporter reporter;
    std::unique_ptr<vlx::CReplayThread> thread;
    std::unique_ptr<vlx::CPageReplayLogic> page;
};

TEST_F(Page, WithoutAClipPlayStepAndSeekDoNothing) {
    page->SelectClip(-1, nullptr);
    EXPECT_EQ(page->display().pixels, std::vector<uint8_t>(320 * 240 * 3, 150));
    view.caption.clear();
    page->PlayFromStart();
    page->PlayPause();
    page->StepForward();
    page->StepBack();
    page->Head();
    page->Slider(500);
    page->Click();
    EXPECT_EQ(view.caption, "");
    EXPECT_TRUE(view.timers.empty());
    thread->Post(vlx::REPLAY_CLOSE);
    EXPECT_EQ(done.WaitFor(1), std::vector<uint32_t>{vlx::REPLAY_CLOSE});
    EXPECT_TRUE(reporter.errors().empty());
}

TEST_F(Page, HandlersPostTheirCommandsAndKeepCaptionsAndTimer) {
    vlx::ClipEntry e = RawEntry();
    page->SelectClip(0, &e);
    EXPECT_EQ(ctx.rp.clip_type, 'a');
    EXPECT_EQ(view.path, e.directory + "/" + e.base_name);
    // "|| H" at 30 head frames and 29.97: 1001 ms.
    page->Head();
    EXPECT_EQ(view.caption, ">");
    done.WaitFor(1);
    EXPECT_EQ(thread->position(), 10010000);
    page->PlayFromStart();
    EXPECT_EQ(view.caption, "||");
    EXPECT_EQ(done.WaitFor(3), (std::vector<uint32_t>{vlx::REPLAY_SEEK, vlx::REPLAY_STEP_FORWARD,
                                                      vlx::REPLAY_PLAY_FROM_START}));
    EXPECT_EQ(thread->state(), vlx::kReplayRunning);
    page->PlayPause();  // pauses; the timer is already running
    EXPECT_EQ(view.caption, ">");
    EXPECT_EQ(view.timers, std::vector<int>{33});
    done.WaitFor(4);
    EXPECT_EQ(thread->state(), vlx::kReplayPaused);
    // The timer follows the position; a pipeline keeps the still away and
    // repaints on every fourth tick after a paint.
    EXPECT_FALSE(page->Paint());
    view.invalidated = 0;
    for (int i = 0; i < 4; ++i) page->Timer();
    EXPECT_EQ(view.invalidated, 1);
    EXPECT_EQ(view.slider, thread->position() / 10000);
    // Choosing another entry stops replay first.
    page->SelectClip(0, &e);
    EXPECT_EQ(view.kills, 1);
    EXPECT_EQ(done.WaitFor(5).back(), vlx::REPLAY_CLOSE);
    EXPECT_FALSE(thread->has_pipeline());
    EXPECT_TRUE(page->Paint());
}

TEST_F(Page, TheStillComesFromTheClipFilesAndOnlyAThumbnailLeavesThePicture) {
    vlx::ClipEntry e = RawEntry();
    ASSERT_EQ(e.letters[2], 'S');
    page->SelectClip(3, &e);
    vlx::StillImage want;
    ASSERT_TRUE(vlx::ReadJpeg(page->base_path() + "S.jpg", want));
    EXPECT_EQ(page->display().pixels, want.pixels);
    // The hit marks come from the clip's map.
    page->ToggleHitMark();
    vlx::Bmp24 map;
    ASSERT_EQ(vlx::ReadBmp24(page->base_path() + "M.bmp", map), vlx::BmpReadStatus::kOk);
    size_t hits = 0, yellow = 0;
    for (size_t i = 0; i < map.pixels.size(); i += 3) {
        hits += map.pixels[i + 2] != 0;
        const uint8_t* p = &page->display().pixels[i];
        yellow += p[0] == 255 && p[1] == 255 && p[2] == 0;
    }
    EXPECT_GT(hits, 0u);
    EXPECT_EQ(yellow, hits);
    vlx::ClipEntry thumb_only{e.directory, e.base_name, "    T   X "};
    const auto before = page->display().pixels;
    page->SelectClip(4, &thumb_only);
    EXPECT_EQ(page->display().pixels, before);
    EXPECT_EQ(ctx.rp.clip_type, 0);
    EXPECT_TRUE(reporter.errors().empty());
}

}  // namespace
