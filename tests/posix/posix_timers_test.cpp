#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/posix_windowing.h"
#include "platform/sim/virtual_clock.h"
#include "posix/recording_handler.h"
#include "posix/temp_runtime_folder.h"

namespace zelk::posix {
namespace {

using testing::RecordingHandler;
using testing::TempRuntimeFolder;

class VirtualTimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(windowing_.OpenWindow("zelk", &handler_, &window_), kOk);
        handler_.react = [this](const ChannelMessage& m) {
            if (m.message == kWmTimer)
                ticks_.emplace_back(clock_.NowUs(), m.wParam);
        };
    }

    TempRuntimeFolder folder_;
    sim::VirtualClock clock_;
    PosixWindowing windowing_{folder_.path(), &clock_};
    RecordingHandler handler_;
    WindowHandle window_ = kNoWindow;
    std::vector<std::pair<int64_t, uint32_t>> ticks_;  // (virtual time, timer id)
};

TEST_F(VirtualTimerTest, EveryExpirationIsDeliveredInOrder) {
    ASSERT_TRUE(windowing_.SetTimer(window_, 1, 10));
    ASSERT_TRUE(windowing_.SetTimer(window_, 2, 25));
    clock_.AdvanceBy(50000);
    EXPECT_EQ(
        ticks_,
        (std::vector<std::pair<int64_t, uint32_t>>{
            {10000, 1}, {20000, 1}, {25000, 2}, {30000, 1}, {40000, 1}, {50000, 2}, {50000, 1}}));
    for (const ChannelMessage& m : handler_.received)
        EXPECT_EQ(m.lParam, 0);
}

TEST_F(VirtualTimerTest, KillAndSetAgainTakeEffectAtOnce) {
    ASSERT_TRUE(windowing_.SetTimer(window_, 30309, 10));
    handler_.react = [this](const ChannelMessage& m) {
        ticks_.emplace_back(clock_.NowUs(), m.wParam);
        if (ticks_.size() == 2)
            windowing_.KillTimer(window_, 30309);  // from its own message
    };
    clock_.AdvanceBy(100000);
    EXPECT_EQ(ticks_.size(), 2u);

    ASSERT_TRUE(windowing_.SetTimer(window_, 7, 10));
    clock_.AdvanceBy(5000);
    ASSERT_TRUE(windowing_.SetTimer(window_, 7, 30));  // restarts with the new period
    ticks_.clear();
    handler_.react = [this](const ChannelMessage& m) {
        ticks_.emplace_back(clock_.NowUs(), m.wParam);
    };
    clock_.AdvanceBy(70000);
    EXPECT_EQ(ticks_, (std::vector<std::pair<int64_t, uint32_t>>{{135000, 7}, {165000, 7}}));

    windowing_.CloseWindow(window_);
    EXPECT_EQ(clock_.NextDueUs(), -1) << "a closed window's timers are gone";
}

TEST_F(VirtualTimerTest, ModalLoopRunsTimeAsFastAsItCan) {
    ASSERT_TRUE(windowing_.SetTimer(window_, 30309, 10));
    handler_.react = [this](const ChannelMessage& m) {
        ticks_.emplace_back(clock_.NowUs(), m.wParam);
        if (ticks_.size() == 600)
            windowing_.EndModal(window_, 5);
    };
    EXPECT_EQ(windowing_.RunModal(window_), 5);
    EXPECT_EQ(clock_.NowUs(), 6000000);
    EXPECT_EQ(ticks_.size(), 600u);
}

TEST_F(VirtualTimerTest, PostedMessagesGoBeforeTimeMovesOn) {
    ASSERT_TRUE(windowing_.SetTimer(window_, 30309, 10));
    PosixWindowing peer(folder_.path());
    const WindowHandle found = peer.FindWindowByTitle("zelk");
    ASSERT_TRUE(peer.Post(found, 9912, 3, 0));
    handler_.react = [this](const ChannelMessage& m) {
        ticks_.emplace_back(clock_.NowUs(), m.message);
        if (m.message == kWmTimer)
            windowing_.EndModal(window_, 0);
    };
    EXPECT_EQ(windowing_.RunModal(window_), 0);
    EXPECT_EQ(ticks_, (std::vector<std::pair<int64_t, uint32_t>>{{0, 9912}, {10000, kWmTimer}}));
}

TEST_F(VirtualTimerTest, WithNothingDueTheLoopWaitsForADatagram) {
    handler_.react = [this](const ChannelMessage& m) {
        if (m.message == kWmClose)
            windowing_.EndModal(window_, 2);
    };
    std::thread peer([this] {
        PosixWindowing windowing(folder_.path());
        windowing.Post(windowing.FindWindowByTitle("zelk"), kWmClose, 0, 0);
    });
    EXPECT_EQ(windowing_.RunModal(window_), 2);
    peer.join();
    EXPECT_EQ(clock_.NowUs(), 0);
}

TEST_F(VirtualTimerTest, EndingTheLoopStopsDeliveryOfTimersDueTogether) {
    ASSERT_TRUE(windowing_.SetTimer(window_, 1, 10));
    ASSERT_TRUE(windowing_.SetTimer(window_, 2, 10));
    handler_.react = [this](const ChannelMessage& m) {
        ticks_.emplace_back(clock_.NowUs(), m.wParam);
        windowing_.EndModal(window_, 9);
    };
    EXPECT_EQ(windowing_.RunModal(window_), 9);
    EXPECT_EQ(ticks_, (std::vector<std::pair<int64_t, uint32_t>>{{10000, 1}}));
}

TEST_F(VirtualTimerTest, TimersDueWhileAHandlerRunsWaitForItAndComeOnce) {
    ASSERT_TRUE(windowing_.SetTimer(window_, 30309, 10));
    int depth = 0;
    int deepest = 0;
    handler_.react = [&](const ChannelMessage& m) {
        ++depth;
        deepest = std::max(deepest, depth);
        if (m.message == 9912)
            clock_.AdvanceBy(35000);  // a command that sleeps 35 ms
        if (m.message == kWmTimer) {
            ticks_.emplace_back(clock_.NowUs(), m.wParam);
            if (ticks_.size() == 3)
                windowing_.EndModal(window_, 0);
        }
        --depth;
    };
    PosixWindowing peer(folder_.path());
    ASSERT_TRUE(peer.Post(peer.FindWindowByTitle("zelk"), 9912, 3, 0));
    EXPECT_EQ(windowing_.RunModal(window_), 0);
    EXPECT_EQ(deepest, 1) << "no handler ran inside another";
    EXPECT_EQ(ticks_, (std::vector<std::pair<int64_t, uint32_t>>{
                          {35000, 30309}, {40000, 30309}, {50000, 30309}}));
}

TEST_F(VirtualTimerTest, ExpirationsCaughtUpAtOneInstantAreOneMessage) {
    ASSERT_TRUE(windowing_.SetTimer(window_, 30309, 10));
    handler_.react = [&](const ChannelMessage& m) {
        ticks_.emplace_back(clock_.NowUs(), m.wParam);
        if (ticks_.size() == 1)
            clock_.AdvanceBy(25000);  // the first tick sleeps past two more expirations
        if (ticks_.size() == 3)
            windowing_.EndModal(window_, 0);
    };
    EXPECT_EQ(windowing_.RunModal(window_), 0);
    EXPECT_EQ(ticks_, (std::vector<std::pair<int64_t, uint32_t>>{
                          {10000, 30309}, {35000, 30309}, {40000, 30309}}));
}

TEST(RealTimerTest, TimerfdTimersReachTheLoopUntilKilled) {
    TempRuntimeFolder folder;
    PosixWindowing windowing(folder.path());
    RecordingHandler handler;
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing.OpenWindow("zelk", &handler, &window), kOk);
    ASSERT_TRUE(windowing.SetTimer(window, 3, 1));
    ASSERT_TRUE(windowing.SetTimer(window, 4, 2));
    int threes = 0;
    int fours = 0;
    handler.react = [&](const ChannelMessage& m) {
        ASSERT_EQ(m.message, kWmTimer);
        if (m.wParam == 3) {
            ++threes;
            windowing.KillTimer(window, 3);
        } else if (m.wParam == 4 && ++fours == 5) {
            windowing.EndModal(window, 1);
        }
    };
    EXPECT_EQ(windowing.RunModal(window), 1);
    EXPECT_LE(threes, 1);
    EXPECT_EQ(fours, 5);
    for (const ChannelMessage& m : handler.received)
        EXPECT_TRUE(m.wParam == 3 || m.wParam == 4) << m.wParam;
}

// A timer's expirations missed while a handler was busy are not replayed: the loop gets one
// message for them, and every later one needs an expiration of its own.
TEST(RealTimerTest, ExpirationsMissedWhileBusyComeAsOneMessage) {
    TempRuntimeFolder folder;
    PosixWindowing windowing(folder.path());
    RecordingHandler handler;
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing.OpenWindow("zelk", &handler, &window), kOk);
    constexpr auto kPeriod = std::chrono::milliseconds(1);
    constexpr auto kBusy = std::chrono::milliseconds(60);
    ASSERT_TRUE(windowing.SetTimer(window, 7, 1));
    int ticks = 0;
    std::chrono::steady_clock::time_point busyEnded;
    handler.react = [&](const ChannelMessage&) {
        if (++ticks == 1) {
            std::this_thread::sleep_for(kBusy);  // some 60 expirations fall due meanwhile
            busyEnded = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - busyEnded >= 5 * kPeriod) {
            windowing.EndModal(window, 1);
        }
    };
    EXPECT_EQ(windowing.RunModal(window), 1);
    const auto after = std::chrono::steady_clock::now() - busyEnded;
    // One message for the busy time, then at most one per period that passed after it.
    EXPECT_LE(ticks, 2 + static_cast<int>(after / kPeriod) + 1) << "after " << after.count();
    EXPECT_GE(ticks, 2);
}

// A real-time timer ticks half a step off the monotonic clock's 10 ms grid, so that what runs on
// that grid (the simulated PC's blocks) falls between two ticks.
TEST(RealTimerTest, TicksFallHalfWayBetweenTheGridLines) {
    TempRuntimeFolder folder;
    PosixWindowing windowing(folder.path());
    RecordingHandler handler;
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing.OpenWindow("zelk", &handler, &window), kOk);
    constexpr int64_t kGridNs = 10'000'000;
    auto monotonicNs = [] {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    };
    std::vector<int64_t> phases;
    int64_t firstTickNs = 0;
    handler.react = [&](const ChannelMessage&) {
        const int64_t now = monotonicNs();
        if (phases.empty())
            firstTickNs = now;
        phases.push_back(now % kGridNs);
        if (phases.size() == 21)
            windowing.EndModal(window, 1);
    };
    const int64_t setNs = monotonicNs();
    ASSERT_TRUE(windowing.SetTimer(window, 1, 30));
    EXPECT_EQ(windowing.RunModal(window), 1);
    // Never before its period.
    EXPECT_GE(firstTickNs - setNs, 30'000'000);
    // Each tick comes at or a little after its time; the median is close to it on a busy machine.
    std::sort(phases.begin(), phases.end());
    const int64_t median = phases[phases.size() / 2];
    EXPECT_GE(median, kGridNs / 2);
    EXPECT_LT(median, kGridNs / 2 + 3'000'000) << "ticks " << median << " ns past the grid";
}

// A windowing whose timers run four times as fast: a 10 ms timer ticks every 2.5 ms.
TEST(RealTimerTest, TimersRunAtTheWindowingsSpeed) {
    TempRuntimeFolder folder;
    PosixWindowing windowing(folder.path(), 4.0);
    RecordingHandler handler;
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing.OpenWindow("zelk", &handler, &window), kOk);
    int ticks = 0;
    std::chrono::steady_clock::time_point first;
    handler.react = [&](const ChannelMessage&) {
        if (++ticks == 1)
            first = std::chrono::steady_clock::now();
        else if (ticks == 41)
            windowing.EndModal(window, 1);
    };
    ASSERT_TRUE(windowing.SetTimer(window, 1, 10));
    EXPECT_EQ(windowing.RunModal(window), 1);
    const auto forty = std::chrono::steady_clock::now() - first;
    // Never early; and far from the 400 ms the same ticks take at the steady clock's speed.
    EXPECT_GE(forty, std::chrono::milliseconds(99));
    EXPECT_LT(forty, std::chrono::milliseconds(300));
}

}  // namespace
}  // namespace zelk::posix
