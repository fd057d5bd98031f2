// The clip finisher on its own: clips finish in the order they ended, a full
// queue gives up the oldest waiting clip's network work rather than wait,
// giving up ends a silent server's wait at once, and every clip's pictures
// come from its own copy of the block's buffers.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../notify/servers.h"
#include "capture_reporter.h"
#include "test_support.h"
#include "vlx/capture/clip_finisher.h"
#include "vlx/clips/records.h"
#include "vlx/detect/block_buffers.h"
#include "vlx/settings/settings_store.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class FinisherTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_DOCUMENTS_DIR", (dir / "Docs").c_str(), 1);
        SetDefaults(ctx);
        std::strcpy(ctx.ap.db_dir, dir.str().c_str());
        ctx.ap.db_ymddir = 0;
        std::strcpy(ctx.month_folder, dir.str().c_str());
        ctx.dp.cx = 64;
        ctx.dp.cy = 48;
        ctx.dp.subtype = kSubtypeY800;
        ctx.dp.im_snap = 1;
        ctx.dp.im_map = 1;
        ctx.ap.jpg = 1;
        ctx.ap.bmp = 1;
        ctx.ap.thumbmail = 1;
        ctx.ap.md_log = 1;
        ctx.ap.action = 0;
        ASSERT_EQ(buffers.Allocate(ctx.dp, true, false), BlockBuffers::kNone);
    }

    // A clip that has just ended: its capture file and a snapshot of one
    // grey level, taken out of the block as the live thread does.
    std::unique_ptr<ClipRecord> EndClip(int n, uint8_t grey) {
        const std::string temp = dir / ("T" + std::to_string(n) + ".avi");
        test::WriteFileBytes(temp, "clip", 4);
        ctx.dp.clip_result = kClipNormal;
        ctx.dp.clip_start_time = 1700000000 + 10 * n;
        ctx.dp.clip_frames = 60 + n;
        std::memset(ctx.dp.snapshot, grey, static_cast<size_t>(ctx.dp.frame_bytes));
        auto rec = TakeClipRecord(ctx, temp);
        // The element goes on writing the next clip into the block.
        std::memset(ctx.dp.snapshot, 0xEE, static_cast<size_t>(ctx.dp.frame_bytes));
        return rec;
    }

    ClipFinisher::Hooks Hooks() {
        ClipFinisher::Hooks h;
        h.finished = [this](const FinishedClip& c) {
            std::lock_guard<std::mutex> lock(mu);
            done.push_back(c);
        };
        h.log = [this](const std::string& t) {
            std::lock_guard<std::mutex> lock(mu);
            notices.push_back(t);
        };
        return h;
    }

    static void WaitUntil(const std::function<bool()>& f) {
        for (int i = 0; i < 500 && !f(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    test::TempDir dir;
    test::CaptureReporter reporter;
    AppContext ctx;
    BlockBuffers buffers;
    std::mutex mu;
    std::vector<FinishedClip> done;
    std::vector<std::string> notices;
};

// One silent server per kind of network step; each must hold only its own
// clip, be skipped for clips beyond the queue and end at once when given up.
TEST_F(FinisherTest, AFullQueueAndAGiveUpNeverWaitForASilentServer) {
    struct Case {
        const char* name;
        void (*setup)(Settings& ap, int port);
    } cases[] = {
        {"ftp still",
         [](Settings& ap, int port) {
             ap.ftp_on = 1;
             ap.ftp_jpg = 1;
             std::strcpy(ap.ftp_server, "127.0.0.1");
             ap.ftp_port = port;
         }},
        {"pop before smtp",
         [](Settings& ap, int port) {
             ap.mail_on = 1;
             ap.mail_big = 1;
             ap.mail_popbefore = 1;
             std::snprintf(ap.mail_popserver, sizeof ap.mail_popserver, "127.0.0.1:%d", port);
             std::snprintf(ap.mail_server, sizeof ap.mail_server, "127.0.0.1:%d", port);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        done.clear();
        notices.clear();
        test::SilentListener silent;
        SetDefaults(ctx);  // the previous case's servers go
        SetUp();
        c.setup(ctx.ap, silent.port());

        ClipFinisher finisher(ctx, Hooks(), 2);
        finisher.Start();
        finisher.Push(EndClip(0, 40));
        // Clip 0 is in the silent server's hands; 1 and 2 fill the queue.
        WaitUntil([&] { return finisher.Waiting() == 1; });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        finisher.Push(EndClip(1, 60));
        finisher.Push(EndClip(2, 80));
        finisher.Push(EndClip(3, 100));  // full: clip 1 loses its network work
        finisher.Push(EndClip(4, 120));  // and then clip 2
        {
            std::lock_guard<std::mutex> lock(mu);
            ASSERT_EQ(notices.size(), 2u);
            EXPECT_NE(notices[0].find("T1.avi skipped"), std::string::npos) << notices[0];
            EXPECT_NE(notices[1].find("T2.avi skipped"), std::string::npos) << notices[1];
            EXPECT_TRUE(done.empty());  // clip 0 still waits for its server
        }
        EXPECT_NE(ctx.status.Get().find("-QUEUE:"), std::string::npos);

        const auto t0 = Clock::now();
        finisher.GiveUpNetwork();
        finisher.Drain();
        EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
        finisher.Stop();

        ASSERT_EQ(done.size(), 5u);
        for (int i = 0; i < 5; ++i) {
            SCOPED_TRACE(i);
            const FinishedClip& f = done[i];
            EXPECT_EQ(f.start_time, 1700000000 + 10 * i);  // in the order the clips ended
            EXPECT_TRUE(f.network_skipped);
            ASSERT_FALSE(f.path.empty());
            EXPECT_TRUE(fs::exists(f.path));
            const std::string base = f.path.substr(0, f.path.size() - 4);
            for (const char* suffix : {"S.jpg", "T.jpg", "M.bmp", ".xml"}) {
                EXPECT_TRUE(fs::exists(base + suffix)) << base + suffix;
            }
            // The still shows this clip's own snapshot, not what the element
            // wrote into the block afterwards.
            Bmp24 still;
            ASSERT_EQ(ReadBmp24(base + "S.bmp", still), BmpReadStatus::kOk);
            EXPECT_EQ(still.pixels[3 * (24 * 64 + 32)], 40 + 20 * i);
        }
    }
}

}  // namespace
}  // namespace vlx
