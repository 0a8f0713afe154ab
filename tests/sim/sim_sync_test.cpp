#include "platform/sim/sim_sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/virtual_clock.h"

namespace zelk::sim {
namespace {

// Counters below are plain ints on purpose: what a settled thread wrote must be visible to the
// thread that settled, without atomics (ThreadSanitizer checks the ordering).

TEST(SimSyncTest, SettleWaitsForAChainOfWorkersWokenByEvents) {
    VirtualClock clock;
    SimSync sync(clock);
    auto first = sync.NewEvent(false, false);
    auto second = sync.NewEvent(false, false);
    std::atomic<bool> run{true};
    int handledByFirst = 0;
    int handledBySecond = 0;
    auto a = sync.StartThread([&] {
        while (first->Wait(kWaitForever) && run.load()) {
            ++handledByFirst;
            second->Set();
        }
    });
    auto b = sync.StartThread([&] {
        while (second->Wait(kWaitForever) && run.load())
            ++handledBySecond;
    });
    ASSERT_TRUE(a && b);
    for (int i = 1; i <= 200; ++i) {
        first->Set();
        sync.Settle();
        ASSERT_EQ(handledByFirst, i);
        ASSERT_EQ(handledBySecond, i);
        ASSERT_EQ(sync.BusyThreads(), 0);
    }
    run.store(false);
    first->Set();
    second->Set();
    a->Join();
    b->Join();
    EXPECT_EQ(sync.LiveThreads(), 0);
}

TEST(SimSyncTest, SettleCoversANewThreadUntilItEnds) {
    VirtualClock clock;
    SimSync sync(clock);
    std::vector<int> written;
    auto thread = sync.StartThread([&] {
        for (int i = 0; i < 1000; ++i)
            written.push_back(i);
    });
    ASSERT_TRUE(thread);
    sync.Settle();
    EXPECT_EQ(written.size(), 1000u);
    EXPECT_EQ(sync.LiveThreads(), 0);
    thread->Join();
    thread->Join();  // a second join does nothing
}

TEST(SimSyncTest, EachClockStepSettlesWhatItsTaskSetOff) {
    VirtualClock clock;
    SimSync sync(clock);
    auto wake = sync.NewEvent(false, false);
    std::atomic<bool> run{true};
    std::vector<int64_t> seen;
    auto worker = sync.StartThread([&] {
        while (wake->Wait(kWaitForever) && run.load())
            seen.push_back(clock.NowUs());
    });
    clock.Schedule(10'000, 10'000, VirtualClock::Kind::kDevice, [&] { wake->Set(); });
    clock.AdvanceBy(35'000);
    EXPECT_EQ(seen, (std::vector<int64_t>{10'000, 20'000, 30'000}));
    run.store(false);
    wake->Set();
}

TEST(SimSyncTest, SleepAdvancesTheClockFromTheDrivingThread) {
    VirtualClock clock;
    SimSync sync(clock);
    int ticks = 0;
    clock.Schedule(1'000, 1'000, VirtualClock::Kind::kDevice, [&] { ++ticks; });
    sync.Sleep(5);
    EXPECT_EQ(clock.NowUs(), 5'000);
    EXPECT_EQ(ticks, 5);
}

TEST(SimSyncTest, ATrackedThreadSleepsIdleUntilTheClockReachesItsTime) {
    VirtualClock clock;
    SimSync sync(clock);
    std::vector<int64_t> wokeAt;
    auto sleeper = sync.StartThread([&] {
        sync.Sleep(30);
        wokeAt.push_back(clock.NowUs());
    });
    sync.Settle();  // asleep, hence idle
    EXPECT_TRUE(wokeAt.empty());
    clock.AdvanceBy(29'000);
    EXPECT_TRUE(wokeAt.empty());
    clock.AdvanceBy(1'000);
    EXPECT_EQ(wokeAt, (std::vector<int64_t>{30'000}));
}

struct EventCase {
    const char* name;
    bool manualReset;
    bool initiallySet;
    bool setBefore;
    bool resetBefore;
    bool firstWait;
    bool secondWait;
};

class SimSyncEventTest : public ::testing::TestWithParam<EventCase> {};

TEST_P(SimSyncEventTest, SignalsAsTheModeSays) {
    const EventCase& c = GetParam();
    for (bool virtualTime : {false, true}) {
        VirtualClock clock;
        std::unique_ptr<SimSync> sync =
            virtualTime ? std::make_unique<SimSync>(clock) : std::make_unique<SimSync>();
        auto event = sync->NewEvent(c.manualReset, c.initiallySet);
        if (c.setBefore)
            event->Set();
        if (c.resetBefore)
            event->Reset();
        EXPECT_EQ(event->Wait(0), c.firstWait) << c.name;
        EXPECT_EQ(event->Wait(1), c.secondWait) << c.name;
        EXPECT_EQ(sync->TimedOutWaits(), (c.firstWait ? 0 : 1) + (c.secondWait ? 0 : 1)) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SimSyncEventTest,
    ::testing::Values(EventCase{"auto, unset", false, false, false, false, false, false},
                      EventCase{"auto, initially set", false, true, false, false, true, false},
                      EventCase{"auto, set", false, false, true, false, true, false},
                      EventCase{"manual, initially set", true, true, false, false, true, true},
                      EventCase{"manual, set", true, false, true, false, true, true},
                      EventCase{"manual, set then reset", true, false, true, true, false, false}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        }
        return name;
    });

TEST(SimSyncTest, ManualEventReleasesEveryWaiterAndAutoEventOne) {
    VirtualClock clock;
    SimSync sync(clock);
    auto gate = sync.NewEvent(true, false);
    auto turnstile = sync.NewEvent(false, false);
    std::atomic<int> passedGate{0};
    std::atomic<int> passedTurnstile{0};
    std::vector<std::unique_ptr<Thread>> threads;
    for (int i = 0; i < 3; ++i) {
        threads.push_back(sync.StartThread([&] {
            gate->Wait(kWaitForever);
            ++passedGate;
            turnstile->Wait(kWaitForever);
            ++passedTurnstile;
        }));
    }
    sync.Settle();
    EXPECT_EQ(passedGate, 0);
    gate->Set();
    sync.Settle();
    EXPECT_EQ(passedGate, 3);
    EXPECT_EQ(passedTurnstile, 0);
    for (int i = 1; i <= 3; ++i) {
        turnstile->Set();
        sync.Settle();
        EXPECT_EQ(passedTurnstile, i);
    }
}

TEST(SimSyncTest, RealTimeThreadsAndEventsWork) {
    SimSync sync;
    EXPECT_FALSE(sync.IsVirtual());
    auto ping = sync.NewEvent(false, false);
    auto pong = sync.NewEvent(false, false);
    std::atomic<int> answered{0};
    auto thread = sync.StartThread([&] {
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(ping->Wait(5000));
            answered.fetch_add(1);
            pong->Set();
        }
    });
    ASSERT_TRUE(thread);
    for (int i = 1; i <= 5; ++i) {
        ping->Set();
        ASSERT_TRUE(pong->Wait(5000));
        EXPECT_EQ(answered.load(), i);
    }
    thread->Join();
    sync.Sleep(1);
}

TEST(SimSyncTest, SettleInRealTimeWaitsForAWorkerOnATimedWait) {
    SimSync sync;
    auto work = sync.NewEvent(false, false);
    std::atomic<bool> run{true};
    int handled = 0;
    auto worker = sync.StartThread([&] {
        while (run.load()) {
            if (work->Wait(60'000))
                ++handled;
        }
    });
    ASSERT_TRUE(worker);
    for (int i = 1; i <= 200; ++i) {
        work->Set();
        sync.Settle();
        ASSERT_EQ(handled, i);
        ASSERT_EQ(sync.BusyThreads(), 0);
    }
    EXPECT_EQ(sync.TimedOutWaits(), 0);
    run.store(false);
    work->Set();
    worker->Join();
    EXPECT_EQ(sync.LiveThreads(), 0);
}

TEST(SimSyncTest, AThreadMayLetGoOfItsOwnHandle) {
    VirtualClock clock;
    SimSync sync(clock);
    std::unique_ptr<Thread> handle;
    auto start = sync.NewEvent(true, false);
    int ran = 0;
    handle = sync.StartThread([&] {
        start->Wait(kWaitForever);
        ++ran;
        handle.reset();  // as a worker that forgets itself when its source runs dry
    });
    start->Set();
    sync.Settle();
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(handle, nullptr);
    // The destructor waits for the detached thread to have ended.
}

}  // namespace
}  // namespace zelk::sim
