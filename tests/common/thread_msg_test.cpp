#include "vlx/thread_msg.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace vlx {
namespace {

TEST(ThreadMessages, DeliversInPostingOrderWithParameters) {
    ThreadQueue q;
    ASSERT_NE(q.id(), 0u);
    EXPECT_TRUE(PostThreadMessage(q.id(), 1125, 2, -7));
    EXPECT_TRUE(PostThreadMessage(q.id(), 1225));
    EXPECT_TRUE(PostThreadMessage(q.id(), 1125, 14, 0));
    EXPECT_EQ(q.Pending(), 3);
    ThreadMessage m = q.Get();
    EXPECT_EQ(m.message, 1125u);
    EXPECT_EQ(m.wparam, 2u);
    EXPECT_EQ(m.lparam, -7);
    EXPECT_EQ(q.Get().message, 1225u);
    EXPECT_EQ(q.Get().wparam, 14u);
}

TEST(ThreadMessages, ZeroAndEndedThreadsAreHarmless) {
    EXPECT_FALSE(PostThreadMessage(0, 1225));
    ThreadId gone;
    {
        ThreadQueue q;
        gone = q.id();
    }
    EXPECT_FALSE(PostThreadMessage(gone, 1225));
    // A new queue never takes over an ended thread's id.
    ThreadQueue fresh;
    EXPECT_NE(fresh.id(), gone);
    EXPECT_EQ(fresh.Pending(), 0);
}

TEST(ThreadMessages, TimedGetReturnsFalseWhenIdleAndWakesOnPost) {
    ThreadQueue q;
    ThreadMessage m;
    EXPECT_FALSE(q.Get(&m, 0));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(q.Get(&m, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(45));

    ThreadId id = q.id();
    std::thread poster([id] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        PostThreadMessage(id, 1135, 9, 1);
    });
    ASSERT_TRUE(q.Get(&m, 10000));
    EXPECT_EQ(m.message, 1135u);
    poster.join();
}

TEST(ThreadMessages, ManyPostersKeepEachPostersOrder) {
    ThreadQueue q;
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([id = q.id(), t] {
            for (int i = 0; i < kEach; ++i) PostThreadMessage(id, 1, static_cast<uintptr_t>(t), i);
        });
    }
    std::vector<intptr_t> last(kThreads, -1);
    for (int n = 0; n < kThreads * kEach; ++n) {
        ThreadMessage m = q.Get();
        ASSERT_LT(m.wparam, static_cast<uintptr_t>(kThreads));
        EXPECT_EQ(m.lparam, last[m.wparam] + 1);
        last[m.wparam] = m.lparam;
    }
    for (auto& p : posters) p.join();
}

}  // namespace
}  // namespace vlx
