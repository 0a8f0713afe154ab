#include "platform/sim/virtual_clock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelk::sim {
namespace {

using Kind = VirtualClock::Kind;

TEST(VirtualClockTest, RunsDueTasksInTimeThenScheduleOrder) {
    VirtualClock clock;
    std::vector<std::string> log;
    clock.Schedule(10'000, 10'000, Kind::kMessage,
                   [&] { log.push_back("timer@" + std::to_string(clock.NowUs())); });
    clock.Schedule(10'000, 10'000, Kind::kDevice,
                   [&] { log.push_back("block@" + std::to_string(clock.NowUs())); });
    clock.Schedule(15'000, 0, Kind::kDevice,
                   [&] { log.push_back("once@" + std::to_string(clock.NowUs())); });
    clock.AdvanceBy(25'000);
    EXPECT_EQ(log, (std::vector<std::string>{"timer@10000", "block@10000", "once@15000",
                                             "timer@20000", "block@20000"}));
    EXPECT_EQ(clock.NowUs(), 25'000);
    EXPECT_EQ(clock.NextDueUs(), 30'000);
}

TEST(VirtualClockTest, TaskMayCancelItselfAndSettleRunsAfterEach) {
    VirtualClock clock;
    int runs = 0, settles = 0;
    VirtualClock::TaskId id = 0;
    id = clock.Schedule(1'000, 1'000, Kind::kDevice, [&] {
        if (++runs == 3)
            clock.Cancel(id);
    });
    clock.SetSettleHook([&] { ++settles; });
    clock.AdvanceBy(10'000);
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(settles, 3);
    EXPECT_FALSE(clock.IsScheduled(id));
}

TEST(VirtualClockTest, NestedAdvanceRunsDevicesOnlyAndMessagesCatchUpInOrder) {
    VirtualClock clock;
    std::vector<std::string> log;
    clock.Schedule(10'000, 10'000, Kind::kMessage, [&] {
        log.push_back("tick@" + std::to_string(clock.NowUs()));
        if (clock.NowUs() == 10'000)
            clock.AdvanceBy(15'000);  // a long sleep inside a tick
    });
    clock.Schedule(5'000, 10'000, Kind::kDevice,
                   [&] { log.push_back("block@" + std::to_string(clock.NowUs())); });
    clock.AdvanceTo(30'000);
    EXPECT_EQ(log, (std::vector<std::string>{"block@5000", "tick@10000", "block@15000",
                                             "block@25000", "tick@25000", "tick@30000"}));
}

TEST(VirtualClockTest, DeviceTasksOfOneInstantRunBackToBackAndSettleBeforeAnythingElse) {
    VirtualClock clock;
    std::vector<std::string> log;
    auto note = [&](const char* what) { return [&log, what] { log.push_back(what); }; };
    clock.SetSettleHook(note("settle"));
    clock.Schedule(10'000, 0, Kind::kDevice, note("render"));
    clock.Schedule(10'000, 0, Kind::kDevice, note("capture"));
    clock.Schedule(10'000, 0, Kind::kMessage, note("timer"));
    clock.Schedule(10'000, 0, Kind::kDevice, note("late block"));
    clock.Schedule(20'000, 0, Kind::kDevice, note("next render"));
    clock.Schedule(20'000, 0, Kind::kDevice, note("next capture"));
    clock.AdvanceBy(30'000);
    EXPECT_EQ(log, (std::vector<std::string>{"render", "capture", "settle", "timer", "settle",
                                             "late block", "settle", "next render", "next capture",
                                             "settle"}));
    // Nothing ran since: an advance over nothing does not settle.
    clock.AdvanceBy(10'000);
    EXPECT_EQ(log.size(), 10u);
}

}  // namespace
}  // namespace zelk::sim
