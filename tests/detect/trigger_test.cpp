#include <gtest/gtest.h>

#include <cstring>

#include "rig.h"
#include "vlx/messages.h"
#include "vlx/thread_msg.h"

namespace vlx::detect {
namespace {

using test::LumaAt;
using test::Rig;
using test::RigConfig;

// Quiet sky with the frame number in pixel (0,0); a detection frame adds a
// bright bar on a row that changes every frame.
std::vector<uint8_t> Sky(const Rig& rig, int k, bool detection, int bar = 8) {
    auto f = rig.Flat(10);
    f[0] = static_cast<uint8_t>(k);
    f[1] = 0;
    if (detection) {
        const int row = 5 + k % 5;
        for (int j = 0; j < bar; ++j) f[static_cast<size_t>(row) * rig.cfg.cx + 10 + j] = 200;
    }
    return f;
}

// Feeds frames first..last-1, detection where pred says so.
template <typename Pred>
void Frames(Rig& rig, int first, int last, Pred pred) {
    for (int k = first; k < last; ++k) rig.Feed(Sky(rig, k, pred(k)));
}


TEST(CoreInit, ContractOfInit) {
    Rig rig;
    int32_t v = 0, r = 5;
    EXPECT_FALSE(rig.core.Init(nullptr, &v, &r));
    EXPECT_FALSE(rig.core.Init(&rig.p, nullptr, &r));
    EXPECT_FALSE(rig.core.Init(&rig.p, &v, nullptr));
    EXPECT_EQ(v, 0);
    EXPECT_EQ(r, 5);
    EXPECT_EQ(rig.core.block(), nullptr);
    for (auto& m : rig.mask_alloc) m = 0xFF;
    for (auto& a : rig.avr) a = 12345;
    for (int i = 0; i < 2; ++i) {
        v = 0;
        r = 5;
        EXPECT_TRUE(rig.core.Init(&rig.p, &v, &r));
        EXPECT_EQ(v, 208);
        EXPECT_EQ(r, 0);
    }
    for (uint8_t m : rig.mask_alloc) ASSERT_EQ(m, 3);
    for (uint32_t a : rig.avr) ASSERT_EQ(a, 0u);
    EXPECT_EQ(rig.core.VideoSlots(), rig.p.shift_frames);
    EXPECT_EQ(rig.core.AudioSlots(), 0);  // no audio buffer, no audio ring
    EXPECT_EQ(rig.core.ProcessAudio(rig.shift.data(), 64, {}).deliver_slot, -1);
    EXPECT_FALSE(rig.core.usable());  // not connected yet
    rig.core.ConnectVideo(kSubtypeY800, 0);
    EXPECT_TRUE(rig.core.usable()) << rig.core.problem();
    EXPECT_EQ(rig.p.subtype, kSubtypeY800);
    EXPECT_EQ(rig.core.format(), kFormatGray8);
    EXPECT_EQ(rig.core.frame_duration(), 333333);
    EXPECT_EQ(rig.core.OutputFrameTime(), 333333);
}

TEST(CoreInit, UnknownFrameRateFallsBackAndMeasuresTheClock) {
    RigConfig c;
    c.fps = 0;
    Rig rig(c);
    rig.p.dmaxsec = 2;
    rig.period_ms = 40;
    rig.Start();
    EXPECT_EQ(rig.core.OutputFrameTime(), 333377);  // trunc(1e7 / 29.996)
    EXPECT_EQ(rig.core.max_frames(), 59);
    EXPECT_EQ(rig.core.detector().nt_div(), 499943);
    EXPECT_EQ(rig.core.frame_duration(), 333667);  // no source frame time
    Frames(rig, 0, 3, [](int) { return false; });
    EXPECT_EQ(rig.core.frame_duration(), 400000);  // 40 ms between frames
    rig.p.force_trig = 1;
    Frames(rig, 3, 8, [](int) { return false; });
    const auto o1 = rig.Feed(Sky(rig, 8, false));
    const auto o2 = rig.Feed(Sky(rig, 9, false));
    ASSERT_GE(o1.capture_slot, 0);
    ASSERT_GE(o2.capture_slot, 0);
    EXPECT_EQ(o2.capture_times.start - o1.capture_times.start, 400000);
}

TEST(CoreInit, UnusableBlockPassesFramesThrough) {
    Rig rig;
    rig.p.hit_map = nullptr;
    rig.Start();
    EXPECT_FALSE(rig.core.usable());
    EXPECT_NE(std::string(rig.core.problem()), "");
    EXPECT_FALSE(rig.core.armed());
    auto f = Sky(rig, 1, true);
    const auto before = f;
    const auto o = rig.core.ProcessVideo(f.data(), f.size(), {});
    EXPECT_TRUE(o.deliver_preview);
    EXPECT_EQ(o.capture_slot, -1);
    EXPECT_EQ(f, before);

    Rig small;
    small.p.frame_bytes = 100;  // too small for the connected format
    small.Start();
    EXPECT_FALSE(small.core.usable());
}

TEST(Trigger, ConsecutiveFramesAndExceptionalSize) {
    RigConfig c;
    c.dmin = 3;
    {
        Rig rig(c);
        rig.Start();
        Frames(rig, 0, 10, [](int) { return false; });
        rig.Feed(Sky(rig, 10, true));
        rig.Feed(Sky(rig, 11, true));
        EXPECT_EQ(rig.core.consec(), 2);
        rig.Feed(Sky(rig, 12, false));
        EXPECT_EQ(rig.core.consec(), 0);
        EXPECT_EQ(rig.p.rec_remain, 0);
        Frames(rig, 13, 40, [](int) { return false; });
        EXPECT_EQ(rig.delivered, 0);
        EXPECT_TRUE(rig.clips.empty());
    }
    {
        Rig rig(c);
        rig.p.dminsize = 500;
        rig.Start();
        Frames(rig, 0, 10, [](int) { return false; });
        rig.Feed(Sky(rig, 10, true, 800));
        EXPECT_EQ(rig.p.hit_count, 800);
        EXPECT_GT(rig.p.rec_remain, 0);
        EXPECT_EQ(rig.core.shift(), c.fs_head + 1);
        Frames(rig, 11, 40, [](int) { return false; });
        ASSERT_EQ(rig.clips.size(), 1u);
        EXPECT_EQ(rig.clips[0].delivered, c.fs_head + 1 + c.fs_tail);
        EXPECT_EQ(rig.delivered_frames.front(), 10 - c.fs_head);
    }
}

TEST(Trigger, SingleDetectionGivesHeadPlusTailAndRetriggerExtends) {
    RigConfig c;  // head 5, tail 7, dmin 1
    Rig rig(c);
    ThreadQueue q;
    rig.p.notify_thread = q.id();
    rig.Start();
    Frames(rig, 0, 28, [](int k) { return k == 12; });
    ASSERT_EQ(rig.clips.size(), 1u);
    EXPECT_EQ(rig.clips[0].result, kClipNormal);
    EXPECT_EQ(rig.clips[0].frames, 13);
    EXPECT_EQ(rig.clips[0].delivered, 13);
    EXPECT_EQ(rig.delivered_frames.front(), 7);
    EXPECT_EQ(rig.delivered_frames.back(), 19);
    EXPECT_EQ(rig.p.clip_frames, 13);
    EXPECT_EQ(rig.p.clip_trigger, kTriggerVideo);
    EXPECT_EQ(rig.p.clip_count, 1);
    ThreadMessage m;
    ASSERT_TRUE(q.Get(&m, 0));
    EXPECT_EQ(m.message, WM_LIVE_CLIP_END);
    EXPECT_EQ(m.wparam, 0u);
    EXPECT_EQ(m.lparam, 0);
    EXPECT_FALSE(q.Get(&m, 0));

    // Retrigger five frames before the end of the tail: the clip ends tail
    // frames after the retriggering frame.
    rig.delivered_frames.clear();
    // The tail of a detection at 30 ends at 37; retrigger at 32.
    Frames(rig, 28, 60, [](int k) { return k == 30 || k == 32; });
    ASSERT_EQ(rig.clips.size(), 2u);
    EXPECT_EQ(rig.delivered_frames.front(), 25);
    EXPECT_EQ(rig.delivered_frames.back(), 32 + c.fs_tail);
    EXPECT_EQ(rig.clips[1].delivered, 32 + c.fs_tail - 25 + 1);
    EXPECT_EQ(rig.p.clip_count, 2);
}

TEST(Trigger, NotifyThreadZeroStillWritesTheResult) {
    Rig rig;
    rig.p.notify_thread = 0;
    rig.p.clip_result = 99;
    rig.Start();
    Frames(rig, 0, 30, [](int k) { return k == 10; });
    ASSERT_EQ(rig.clips.size(), 1u);
    EXPECT_EQ(rig.p.clip_result, 1);
    EXPECT_EQ(rig.p.clip_frames, 13);
}

TEST(Trigger, MaximumLengthAndUnlimited) {
    RigConfig c;
    c.fps = 30;
    Rig rig(c);
    rig.p.dmaxsec = 2;
    rig.Start();
    EXPECT_EQ(rig.core.max_frames(), 60);
    Frames(rig, 0, 20, [](int) { return false; });
    rig.p.force_trig = 1;
    Frames(rig, 20, 170, [](int) { return false; });
    rig.p.force_trig = 0;
    Frames(rig, 170, 220, [](int) { return false; });
    ASSERT_EQ(rig.clips.size(), 1u);
    EXPECT_EQ(rig.clips[0].delivered, 59);
    EXPECT_EQ(rig.clips[0].result, kClipTooLong);
    EXPECT_EQ(rig.p.clip_trigger, kTriggerManual);

    Rig unl(c);
    unl.p.dmaxsec = 0;
    unl.p.timer_trig = 1;
    unl.Start();
    Frames(unl, 0, 20, [](int) { return false; });
    unl.p.force_trig = 1;
    Frames(unl, 20, 170, [](int) { return false; });
    unl.p.force_trig = 0;
    Frames(unl, 170, 220, [](int) { return false; });
    ASSERT_EQ(unl.clips.size(), 1u);
    // From dmin frames in (the first one) to fs_tail after the last forced frame.
    EXPECT_EQ(unl.clips[0].delivered, c.fs_head + 150 + c.fs_tail);
    EXPECT_EQ(unl.clips[0].result, kClipNormal);
    EXPECT_EQ(unl.p.clip_trigger, kTriggerTimer);
}

TEST(Trigger, ClipRightAfterRunSkipsMissingHeadFrames) {
    Rig rig;
    rig.Start();
    Frames(rig, 0, 30, [](int k) { return k == 2; });
    ASSERT_EQ(rig.clips.size(), 1u);
    EXPECT_EQ(rig.clips[0].frames, 13);  // emitted counts the skipped ones
    EXPECT_EQ(rig.clips[0].delivered, 13 - 3);
    EXPECT_EQ(rig.delivered_frames.front(), 0);
    EXPECT_EQ(rig.p.clip_count, 1);
    EXPECT_EQ(rig.p.clip_trigger, kTriggerVideo);
}

TEST(Trigger, SingleFileModeOffDisarmsAfterTheClip) {
    Rig rig;
    rig.p.singlefilemode = 0;
    rig.Start();
    Frames(rig, 0, 80, [](int k) { return k == 10 || k == 50; });
    EXPECT_EQ(rig.clips.size(), 1u);
    EXPECT_FALSE(rig.core.armed());
    rig.core.Run();
    EXPECT_TRUE(rig.core.armed());
    Frames(rig, 80, 120, [](int k) { return k == 100; });
    EXPECT_EQ(rig.clips.size(), 2u);
}

TEST(Trigger, ForceTrigHeldStartsAfterDminAndEndsAfterTail) {
    RigConfig c;
    c.dmin = 4;
    Rig rig(c);
    rig.Start();
    Frames(rig, 0, 20, [](int) { return false; });
    rig.p.force_trig = 1;
    rig.p.detect_on = 0;  // forced clips need no detection
    for (int k = 20; k < 23; ++k) {
        rig.Feed(Sky(rig, k, false));
        EXPECT_EQ(rig.p.rec_remain, 0);
    }
    Frames(rig, 23, 40, [](int) { return false; });
    rig.p.force_trig = 0;
    Frames(rig, 40, 80, [](int) { return false; });
    ASSERT_EQ(rig.clips.size(), 1u);
    EXPECT_EQ(rig.delivered_frames.front(), 20 - c.fs_head);
    EXPECT_EQ(rig.delivered_frames.back(), 39 + c.fs_tail);
}

TEST(Trigger, DminFramesMakeTheEvent) {
    RigConfig c;
    c.dmin = 3;
    Rig rig(c);
    rig.Start();
    Frames(rig, 0, 40, [](int k) { return k >= 10 && k < 13; });
    ASSERT_EQ(rig.clips.size(), 1u);
    EXPECT_EQ(rig.clips[0].delivered, c.fs_head + 3 + c.fs_tail);
}

TEST(Trigger, AfterAClipANewOneNeedsDminFramesAgain) {
    RigConfig c;
    c.dmin = 3;
    Rig rig(c);
    rig.Start();
    // Clip from the detections at 10..12; the end is reported on frame 27.
    Frames(rig, 0, 28, [](int k) { return k >= 10 && k < 13; });
    ASSERT_EQ(rig.clips.size(), 1u);
    // One detection frame right after the end is not enough.
    Frames(rig, 28, 80, [&](int k) { return k == 28; });
    EXPECT_EQ(rig.clips.size(), 1u);
    EXPECT_EQ(rig.p.rec_remain, 0);
}

TEST(Delivery, TimesStampsAndIpc) {
    Rig rig;
    rig.Start();
    const int64_t D = 333333;
    std::vector<VideoOutcome> outs;
    for (int k = 0; k < 30; ++k) {
        const WallTime before = rig.clock.Now();
        outs.push_back(rig.Feed(Sky(rig, k, k == 10)));
        // The slot's stamp carries the reading taken three frames earlier.
        const FrameStamp& s = rig.core.SlotStamp(k % rig.p.shift_frames);
        if (k >= 3) {
            WallTime t = before;
            t.ms -= 3 * 33;
            if (t.ms < 0) {
                t.ms += 1000;
                t.sec -= 1;
            }
            EXPECT_EQ(s.seconds, t.sec) << k;
            EXPECT_EQ(s.ms, t.ms) << k;
        }
        if (k == 10) {
            EXPECT_EQ(s.trigger, kTriggerVideo);
            EXPECT_EQ(rig.p.clip_start_time, s.seconds);
            EXPECT_EQ(rig.ipc.hits, 8);
            EXPECT_EQ(rig.ipc.x, 10);
            EXPECT_EQ(rig.ipc.y, 5);
            EXPECT_EQ(rig.ipc.level, 190);
            EXPECT_EQ(rig.ipc.sequence, 1);
        }
        if (k == 11) {
            EXPECT_EQ(rig.ipc.sequence, 2);
            EXPECT_EQ(rig.ipc.x, -1);
            EXPECT_EQ(rig.ipc.y, -1);
            EXPECT_EQ(rig.ipc.hits, 0);
            EXPECT_EQ(rig.ipc.level, 0);
        }
    }
    EXPECT_EQ(rig.ipc.sequence, 2);  // idle values are published once
    int n = 0;
    for (const auto& o : outs) {
        if (o.capture_slot < 0) continue;
        EXPECT_EQ(o.capture_times.start, (3 + n) * D);
        EXPECT_EQ(o.capture_times.stop, (4 + n) * D - 1000);
        EXPECT_EQ(o.capture_times.media_start, 1 + n);
        EXPECT_EQ(o.capture_times.media_stop, 2 + n);
        EXPECT_EQ(o.capture_len, rig.last.size());
        ++n;
    }
    EXPECT_EQ(n, 13);
    rig.core.CountDrop();
    EXPECT_EQ(rig.p.drop_count, 1);
    rig.core.Run();
    EXPECT_EQ(rig.p.drop_count, 0);
}

TEST(Delivery, PreviewOffStillCaptures) {
    Rig rig;
    rig.p.preview_off = 1;
    rig.Start();
    bool any_preview = false;
    for (int k = 0; k < 30; ++k) any_preview |= rig.Feed(Sky(rig, k, k == 10)).deliver_preview;
    EXPECT_FALSE(any_preview);
    EXPECT_EQ(rig.delivered, 13);
}

TEST(Accumulators, SnapShotAtStopAndAtClipStart) {
    {
        Rig rig;
        rig.Start();
        Frames(rig, 0, 5, [](int) { return false; });
        EXPECT_EQ(rig.p.snap_ready, 0);
        rig.core.Stop();
        EXPECT_EQ(rig.p.snap_ready, 1);
        EXPECT_EQ(rig.snap[0], 4);  // the frame that last entered the ring
    }
    {
        Rig rig;  // im_snap and im_peak off: nothing per clip
        rig.Start();
        Frames(rig, 0, 30, [](int k) { return k == 10; });
        EXPECT_EQ(rig.p.snap_ready, 0);
        rig.core.Stop();
        EXPECT_EQ(rig.snap[0], 29);
    }
    {
        Rig rig;
        rig.p.im_snap = 1;
        rig.Start();
        Frames(rig, 0, 30, [](int k) { return k == 10; });
        EXPECT_EQ(rig.p.snap_ready, 1);
        EXPECT_EQ(rig.snap[0], 10);  // the live frame that triggered
        rig.snap[0] = 0;
        rig.core.Stop();  // snap_ready still set: no copy
        EXPECT_EQ(rig.snap[0], 0);
    }
}

TEST(Accumulators, PeakHoldKeepsTheTrailPerFormat) {
    for (int format : {kFormatYUY2, kFormatUYVY, kFormatGray8, kFormatPlanar420}) {
        RigConfig c;
        c.format = format;
        Rig rig(c);
        rig.p.im_peak = 1;
        rig.Start();
        for (int k = 0; k < 40; ++k) {
            auto f = rig.Flat(10);
            f[0] = static_cast<uint8_t>(k);
            f[c.cx * 20 + 1] = 0;  // a black pixel in the first copy stays black
            if (k >= 10 && k < 16) {
                for (int j = 0; j < 6; ++j) f[static_cast<size_t>(30) * c.cx + 5 * (k - 10) + j] = static_cast<uint8_t>(100 + k);
            }
            if (k == 12) f[c.cx * 20 + 1] = 250;
            auto packed = test::Pack(f, format, c.cx, c.cy, static_cast<uint8_t>(k));
            rig.FeedPacked(packed);
        }
        ASSERT_EQ(rig.clips.size(), 1u) << format;
        const uint8_t* s = rig.snap.data();
        for (int k = 10; k < 16; ++k)
            for (int j = 0; j < 6; ++j)
                EXPECT_EQ(LumaAt(s, format, c.cx, 5 * (k - 10) + j, 30), j == 5 && k < 15 ? 101 + k : 100 + k)
                    << format;
        EXPECT_EQ(LumaAt(s, format, c.cx, 1, 20), 0);
        EXPECT_EQ(LumaAt(s, format, c.cx, 40, 40), 10);
        // Chroma follows the replaced luma.
        const size_t px = static_cast<size_t>(30) * c.cx + 26;  // frame 15's bar
        switch (format) {
            case kFormatYUY2: EXPECT_EQ(s[2 * px + 1], 15); break;
            case kFormatUYVY: EXPECT_EQ(s[2 * px], 15); break;
            case kFormatPlanar420: {
                const size_t n = static_cast<size_t>(c.cx) * c.cy;
                EXPECT_EQ(s[n + 15 * (c.cx / 2) + 13], 15);
                EXPECT_EQ(s[n + n / 4 + 15 * (c.cx / 2) + 13], 15);
                EXPECT_EQ(s[n + 20 * (c.cx / 2) + 20], 10);  // untouched block keeps the first copy
                break;
            }
            default: break;
        }
    }
}

TEST(Accumulators, HitMapClearedOnIdleFramesOnly) {
    Rig rig;
    rig.Start();
    rig.hit[7] = 9;  // stale content from before
    Frames(rig, 0, 5, [](int) { return false; });
    EXPECT_EQ(rig.hit[7], 0);
    rig.Feed(Sky(rig, 5, true));
    EXPECT_EQ(rig.p.clip_started, 1);
    Frames(rig, 6, 40, [](int) { return false; });
    EXPECT_EQ(rig.hit[5 * 64 + 11], 200);  // kept while clip_started is 1
    rig.p.clip_started = 0;
    rig.Feed(Sky(rig, 40, false));
    EXPECT_EQ(rig.hit[5 * 64 + 11], 0);
}

TEST(Audio, PeakTriggerAndDelayedDelivery) {
    RigConfig c;
    c.audio = true;
    Rig rig(c);
    rig.p.atrigger = 1;
    rig.p.alev = 1000;
    rig.Start();
    rig.core.ConnectAudio(192000, 16);
    std::vector<int16_t> buf(3200, 0);  // 6400 bytes: 1/30 s
    auto feed = [&](int16_t peak) {
        buf[77] = peak;
        return rig.core.ProcessAudio(reinterpret_cast<const uint8_t*>(buf.data()), buf.size() * 2, {});
    };
    feed(1000);
    EXPECT_EQ(rig.p.audio_peak, 1000);
    EXPECT_EQ(rig.p.force_trig, 0);  // equal to alev: no trigger
    feed(-1001);
    EXPECT_EQ(rig.p.audio_peak, 1001);
    EXPECT_EQ(rig.p.force_trig, 1);
    feed(-32768);
    EXPECT_EQ(rig.p.audio_peak, 32768);
    feed(3);
    EXPECT_EQ(rig.p.force_trig, 0);

    // While recording each buffer delivers the one (dmin + fs_head) frames back.
    rig.p.rec_remain = 5;
    const auto o = feed(0);
    // L = 6400 * 1e7 / 192000 = 333333; k = trunc(6 * 333333 / 333333 - 1) = 5.
    EXPECT_EQ(o.deliver_slot, -1);  // slot 4 - 5 lies before the first one
    for (int i = 0; i < 2; ++i) feed(0);
    const auto o2 = feed(0);  // written at slot 7
    EXPECT_EQ(o2.deliver_slot, 2);
    EXPECT_EQ(o2.deliver_times.start, 3 * 333333 + 2 * 333333);
    EXPECT_EQ(o2.deliver_times.stop - o2.deliver_times.start, 333333);
    EXPECT_EQ(o2.deliver_len, 6400u);

    rig.core.ConnectAudio(192000, 8);
    feed(30000);
    EXPECT_EQ(rig.p.audio_peak, 0);
}

TEST(Delivery, ClipWithoutHeadFramesStampsTheTriggeringFrame) {
    RigConfig c;
    c.fs_head = 0;
    Rig rig(c);
    rig.p.rec_line = 1;
    rig.Start();
    VideoOutcome o;
    for (int k = 0; k < 40; ++k) {
        o = rig.Feed(Sky(rig, k, k == 30));
        if (k == 30) break;
    }
    // With no head frames the triggering frame itself goes out at once,
    // carrying its own stamp.
    ASSERT_GE(o.capture_slot, 0);
    const std::string line(reinterpret_cast<const char*>(rig.core.VideoSlot(o.capture_slot)));
    EXPECT_EQ(line.substr(27), "V 00008+190 00001") << line;
}

}  // namespace
}  // namespace vlx::detect
