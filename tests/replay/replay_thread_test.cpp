// The replay thread on clips the station wrote: what it shows after steps
// and seeks (checked against a separate decode of the same file), playing to
// the end, the snapshot, and the build failures.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "capture_reporter.h"
#include "reference.h"
#include "station_clips.h"
#include "vlx/replay/replay_thread.h"
#include "vlx/messages.h"
#include "vlx/replay/still.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vlx::CReplayThread;
using vlx::test::GetStationClips;
using vlx::test::StationClip;

struct GstInit {
    GstInit() { gst_init(nullptr, nullptr); }
};
const GstInit gst_once;

class Observer : public vlx::ReplayObserver {
public:
    void CommandDone(uint32_t) override {
        std::lock_guard<std::mutex> l(mu);
        ++done;
        cv.notify_all();
    }
    void GraphEvent() override {
        std::lock_guard<std::mutex> l(mu);
        ++events;
        cv.notify_all();
    }
    void PlayCaption(const char* c) override { caption = c; }
    void SliderPosition(int64_t ms) override { slider = ms; }
    void SliderRange(int64_t ms) override { range = ms; }

    bool WaitDone(int n) {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, 30s, [&] { return done >= n; });
    }
    bool WaitEvent() {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, 30s, [&] { return events > 0; });
    }

    std::mutex mu;
    std::condition_variable cv;
    int done = 0;
    int events = 0;
    std::string caption;
    std::atomic<int64_t> slider{-1}, range{-1};
};

GstElement* FakeSink(const char* name) {
    GstElement* s = gst_element_factory_make("fakesink", name);
    g_object_set(s, "sync", TRUE, nullptr);
    return s;
}

class Replay : public ::testing::Test {
protected:
    void SetUp() override {
        ctx.dp.fps = 29.97;
        thread = std::make_unique<CReplayThread>(
            ctx, vlx::ReplaySinks{[this] { return video_factory(); }, [this] { return audio_factory(); }}, &obs);
        thread->Start();
    }
    void TearDown() override {
        Do(vlx::REPLAY_QUIT);
        thread->Join();
        EXPECT_TRUE(thread->ended());
    }

    void Open(const StationClip& c) {
        thread->SetMediaPath(c.media);
        ctx.rp.clip_type = c.media.substr(c.media.size() - 3) == "wmv" ? 'w' : 'a';
    }
    // Posts a command and waits until the thread has carried it out.
    void Do(uint32_t code, intptr_t arg = 0) {
        int n = obs.done + 1;
        ASSERT_TRUE(thread->Post(code, arg));
        ASSERT_TRUE(obs.WaitDone(n)) << "command " << code;
    }
    // The decoded frame the thread should show (after the field rebuild when
    // deinterlacing is on) is what the frame buffer holds.
    void ExpectShows(const vlx::test::DecodedClip& ref, int frame, int field, const std::string& what) {
        ASSERT_LT(frame, static_cast<int>(ref.frames.size()));
        std::vector<uint8_t> want = field < 0 ? ref.frames[frame] : vlx::test::Field(ref.frames[frame], ref.width,
                                                                                     ref.height, field);
        std::vector<uint8_t> got = thread->FrameCopy();
        ASSERT_EQ(got.size(), want.size()) << what;
        if (got == want) return;
        // Name the frame it does show, if any, for the failure message.
        int shown = -1, shown_field = -2;
        for (int f = 0; f < static_cast<int>(ref.frames.size()) && shown < 0; ++f)
            for (int fs : {-1, 0, 1})
                if ((fs < 0 ? ref.frames[f] : vlx::test::Field(ref.frames[f], ref.width, ref.height, fs)) == got) {
                    shown = f;
                    shown_field = fs;
                    break;
                }
        ADD_FAILURE() << what << ": wanted frame " << frame << " field " << field << ", shows frame " << shown
                      << " field " << shown_field;
    }

    vlx::AppContext ctx;
    Observer obs;
    std::function<GstElement*()> video_factory = [] { return FakeSink("video"); };
    std::function<GstElement*()> audio_factory = [] { return FakeSink("audio"); };
    vlx::test::CaptureReporter reporter;
    std::unique_ptr<CReplayThread> thread;
};

// Milliseconds that land in the first half of frame k at the clip's rate.
intptr_t MsInFirstHalf(int k, double fps) { return static_cast<intptr_t>(k * 1000.0 / fps) + 1; }

TEST_F(Replay, FieldSteppingShowsBothFieldsOfEachFrameInOrder) {
    const auto& clips = GetStationClips();
    ctx.rp.deinterlace_stepping = 1;
    for (const StationClip* c : {&clips.raw, &clips.encoded, &clips.wmv, &clips.raw_sound}) {
        SCOPED_TRACE(c->media);
        auto ref = vlx::test::DecodeAll(c->media);
        ASSERT_GT(ref.frames.size(), 20u);
        ASSERT_NE(ref.frames[10], ref.frames[11]);  // the frames can be told apart
        Open(*c);
        Do(vlx::REPLAY_SEEK, MsInFirstHalf(10, 29.97));
        ASSERT_EQ(thread->state(), vlx::kReplayPositioned);
        EXPECT_NEAR(ctx.rp.fps, 29.97, 0.001);
        ExpectShows(ref, 10, 0, "seek");
        struct Step {
            uint32_t code;
            int frame, field;
        } steps[] = {
            {vlx::REPLAY_STEP_FORWARD, 10, 1}, {vlx::REPLAY_STEP_FORWARD, 11, 0}, {vlx::REPLAY_STEP_FORWARD, 11, 1},
            {vlx::REPLAY_STEP_BACK, 11, 0},    {vlx::REPLAY_STEP_BACK, 10, 1},    {vlx::REPLAY_STEP_BACK, 10, 0},
            {vlx::REPLAY_STEP_BACK, 9, 1},     {vlx::REPLAY_STEP_BACK, 9, 0},
        };
        int i = 0;
        for (const Step& s : steps) {
            Do(s.code);
            ExpectShows(ref, s.frame, s.field, "step " + std::to_string(++i));
            EXPECT_EQ(ctx.rp.deinterlace_on, 1);
            EXPECT_EQ(ctx.rp.field_select, s.field);
        }
        Do(vlx::REPLAY_CLOSE);
        EXPECT_FALSE(thread->has_pipeline());
        ctx.rp.field_select = 0;
    }
}

TEST_F(Replay, WholeFrameStepsAndSeeksShowTheFrameTheirPositionNames) {
    const StationClip& c = GetStationClips().raw;
    auto ref = vlx::test::DecodeAll(c.media);
    Open(c);
    // From a fresh pipeline at 0, a step goes one frame on.
    Do(vlx::REPLAY_STEP_FORWARD);
    ExpectShows(ref, 1, -1, "first step");
    Do(vlx::REPLAY_SEEK, 400);  // 400 ms: frame 11 at 29.97
    ExpectShows(ref, 11, -1, "seek 400 ms");
    EXPECT_EQ(thread->position(), 4000000);
    EXPECT_EQ(obs.slider, 400);
    Do(vlx::REPLAY_STEP_FORWARD);
    ExpectShows(ref, 12, -1, "forward");
    Do(vlx::REPLAY_STEP_BACK);
    Do(vlx::REPLAY_STEP_BACK);
    ExpectShows(ref, 10, -1, "back twice");
    EXPECT_EQ(ctx.rp.deinterlace_on, 0);
    // Before the first frame and past the last one: those frames.
    Do(vlx::REPLAY_SEEK, 0);
    Do(vlx::REPLAY_STEP_BACK);
    ExpectShows(ref, 0, -1, "back from 0");
    Do(vlx::REPLAY_SEEK, 3600000);
    ExpectShows(ref, static_cast<int>(ref.frames.size()) - 1, -1, "past the end");
    EXPECT_EQ(thread->state(), vlx::kReplayPositioned);
}

TEST_F(Replay, ASeekWithSteppingOnPicksTheFieldFromTheHalfFrameCount) {
    const StationClip& c = GetStationClips().encoded;
    auto ref = vlx::test::DecodeAll(c.media);
    ctx.rp.deinterlace_stepping = 1;
    Open(c);
    // 10,000,000 / 166,833.5 truncates to 59: odd, so field 1 of frame 29.
    Do(vlx::REPLAY_SEEK, 1000);
    EXPECT_EQ(ctx.rp.field_select, 1);
    ExpectShows(ref, 29, 1, "seek 1000 ms");
    // The station's clips run at 2997/100: frame 30 begins at 1001.001 ms.
    Do(vlx::REPLAY_SEEK, 1001);
    EXPECT_EQ(ctx.rp.field_select, 1);
    ExpectShows(ref, 29, 1, "seek 1001 ms");
    Do(vlx::REPLAY_SEEK, 1002);
    EXPECT_EQ(ctx.rp.field_select, 0);
    ExpectShows(ref, 30, 0, "seek 1002 ms");
}

TEST_F(Replay, PlayingToTheEndStopsAndThePlayAfterItStartsAgain) {
    const StationClip& c = GetStationClips().raw_sound;
    std::atomic<int> audio_buffers{0};
    audio_factory = [&] {
        GstElement* s = FakeSink("audio");
        g_object_set(s, "signal-handoffs", TRUE, nullptr);
        g_signal_connect(s, "handoff", G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*, gpointer n) {
                             ++*static_cast<std::atomic<int>*>(n);
                         }),
                         &audio_buffers);
        return s;
    };
    Open(c);
    Do(vlx::REPLAY_PLAY_FROM_START);
    EXPECT_EQ(thread->state(), vlx::kReplayRunning);
    EXPECT_GT(obs.range, 2000);
    ASSERT_TRUE(obs.WaitEvent());
    thread->DrainEvents();
    EXPECT_EQ(thread->state(), vlx::kReplayStopped);
    EXPECT_EQ(obs.caption, ">");
    EXPECT_GT(audio_buffers.load(), 0) << "the sound reached its output";
    // Play from the stopped state rewinds.
    Do(vlx::REPLAY_PLAY_PAUSE);
    EXPECT_EQ(thread->state(), vlx::kReplayRunning);
    std::this_thread::sleep_for(300ms);  // let it play a little: nothing to await
    Do(vlx::REPLAY_PLAY_PAUSE);
    EXPECT_EQ(thread->state(), vlx::kReplayPaused);
    EXPECT_GT(thread->position(), 0);
    EXPECT_LT(thread->position(), 20000000);
    EXPECT_TRUE(reporter.errors().empty());
}

TEST_F(Replay, APlaybackErrorIsReportedAndThePipelineStops) {
    // A sink that fails on the fifth frame, as a broken display would.
    video_factory = [] {
        GError* err = nullptr;
        GstElement* bin = gst_parse_bin_from_description("identity error-after=5 ! fakesink sync=true", TRUE, &err);
        g_clear_error(&err);
        return bin;
    };
    Open(GetStationClips().raw);
    Do(vlx::REPLAY_PLAY_PAUSE);
    ASSERT_TRUE(obs.WaitEvent());
    thread->DrainEvents();
    EXPECT_EQ(reporter.errors(),
              std::vector<std::string>{"UE064: Playback error (EC_ERRORABORT - 0x00000001). Aborting...\r\n"});
    EXPECT_EQ(thread->state(), vlx::kReplayRunning);  // the drain does not touch the state word
    Do(vlx::REPLAY_CLOSE);
    EXPECT_FALSE(thread->has_pipeline());
}

TEST_F(Replay, AClipPlaysWithoutASoundOutput) {
    audio_factory = [] { return static_cast<GstElement*>(nullptr); };
    auto ref = vlx::test::DecodeAll(GetStationClips().wmv.media);
    Open(GetStationClips().wmv);
    Do(vlx::REPLAY_SEEK, 400);
    ExpectShows(ref, 11, -1, "seek");
    EXPECT_TRUE(reporter.errors().empty());
}

TEST_F(Replay, TheSnapshotIsNamedByTheFrameAndWrittenAtTheClipSize) {
    vlx::test::TempDir dir;
    const std::string media = dir / "M20071015_203045_TK1.avi";
    fs::copy_file(GetStationClips().raw.media, media);
    Open({media, "", false});
    Do(vlx::REPLAY_SEEK, 420);  // frame 12
    const std::string shot = thread->Snapshot();
    EXPECT_EQ(shot, dir / "z20071015_203045_TK1_012s.jpg");
    vlx::StillImage img;
    ASSERT_TRUE(vlx::ReadJpeg(shot, img));
    EXPECT_EQ(img.width, 320);
    EXPECT_EQ(img.height, 240);
    // With field stepping the number counts fields.
    ctx.rp.deinterlace_stepping = 1;
    Do(vlx::REPLAY_SEEK, 420);
    EXPECT_EQ(ctx.rp.field_select, 1);
    EXPECT_EQ(fs::path(thread->Snapshot()).filename(), "z20071015_203045_TK1_026s.jpg");
    Do(vlx::REPLAY_CLOSE);
    EXPECT_EQ(thread->Snapshot(), "");
}

TEST_F(Replay, ABuildThatFailsReportsReleasesEverythingAndCloseIsHarmlessTwice) {
    vlx::test::TempDir dir;
    const std::string text = dir / "notaclip.avi";
    vlx::test::WriteFileBytes(text, "hello", 5);
    struct Case {
        std::string path;
        char type;
        std::string error;
    } cases[] = {
        {dir / "missing.avi", 'a', "UE059: Failed to connect AVI file source"},
        {text, 'a', "UE059: Failed to connect AVI file source"},
        {dir / "missing.wmv", 'w', "UE054: Failed to Load " + dir / "missing.wmv"},
    };
    for (const Case& c : cases) {
        reporter.clear();
        thread->SetMediaPath(c.path);
        ctx.rp.clip_type = c.type;
        Do(vlx::REPLAY_STEP_FORWARD);
        EXPECT_EQ(reporter.errors(), std::vector<std::string>{c.error}) << c.path;
        EXPECT_EQ(thread->state(), vlx::kReplayNone);
        EXPECT_FALSE(thread->has_pipeline());
        EXPECT_EQ(ctx.rp.frame_buf, nullptr);
    }
    reporter.clear();
    Do(vlx::REPLAY_CLOSE);
    Do(vlx::REPLAY_CLOSE);
    thread->DrainEvents();
    EXPECT_TRUE(reporter.errors().empty());
    EXPECT_EQ(thread->state(), vlx::kReplayNone);
    // Codes outside 8..14 and other messages are not commands.
    ASSERT_TRUE(vlx::PostThreadMessage(thread->id(), vlx::WM_REPLAY_COMMAND, 1));
    ASSERT_TRUE(vlx::PostThreadMessage(thread->id(), 999, vlx::REPLAY_QUIT));
    Do(vlx::REPLAY_CLOSE);
    EXPECT_FALSE(thread->ended());
}

}  // namespace
