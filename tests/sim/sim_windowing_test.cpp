#include "platform/sim/sim_windowing.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/sim/virtual_clock.h"

namespace zelk::sim {
namespace {

struct Received {
    uint32_t message;
    uint32_t wParam;
    int32_t lParam;
    int64_t atUs;
    bool operator==(const Received&) const = default;
    friend void PrintTo(const Received& r, std::ostream* os) {
        *os << "{" << r.message << ", " << r.wParam << ", " << r.lParam << ", @" << r.atUs << "}";
    }
};

// Records every message; an optional reaction runs after the record.
class RecordingHandler : public WindowHandler {
  public:
    explicit RecordingHandler(VirtualClock& clock) : clock_(clock) {}
    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t lParam) override {
        log.push_back({message, wParam, lParam, clock_.NowUs()});
        if (react)
            react(message, wParam, lParam);
        return 0;
    }
    std::vector<Received> log;
    std::function<void(uint32_t, uint32_t, int32_t)> react;

  private:
    VirtualClock& clock_;
};

class SimWindowingTest : public ::testing::Test {
  protected:
    WindowHandle Open(const char* title, RecordingHandler& handler) {
        WindowHandle window = kNoWindow;
        EXPECT_EQ(windowing.OpenWindow(title, &handler, &window), kOk) << title;
        EXPECT_NE(window, kNoWindow);
        return window;
    }

    VirtualClock clock;
    SimWindowing windowing{clock};
    RecordingHandler dialog{clock};
    RecordingHandler speaker{clock};
};

TEST_F(SimWindowingTest, TitlesAreCheckedAndHeldByOneWindow) {
    struct Case {
        std::string title;
        Status expected;
    };
    const Case cases[] = {
        {"zelk", kOk},
        {"Speaker", kOk},
        {std::string(64, 'x'), kOk},
        {std::string(65, 'x'), kInvalidArg},
        {"", kInvalidArg},
        {"a/b", kInvalidArg},
        {".", kInvalidArg},
        {"..", kInvalidArg},
        {"zelk", kFail},  // held by the first window
    };
    for (const Case& c : cases) {
        WindowHandle window = kNoWindow;
        EXPECT_EQ(windowing.OpenWindow(c.title.c_str(), &dialog, &window), c.expected) << c.title;
    }
    WindowHandle window = kNoWindow;
    EXPECT_EQ(windowing.OpenWindow(nullptr, &dialog, &window), kInvalidArg);
    EXPECT_EQ(windowing.OpenWindow("other", nullptr, &window), kInvalidArg);
    EXPECT_EQ(windowing.OpenWindow("other", &dialog, nullptr), kPointer);

    const WindowHandle zelk = windowing.FindWindowByTitle("zelk");
    EXPECT_NE(zelk, kNoWindow);
    EXPECT_NE(windowing.FindWindowByTitle("Speaker"), zelk);
    EXPECT_EQ(windowing.FindWindowByTitle("speaker"), kNoWindow);
    EXPECT_EQ(windowing.FindWindowByTitle(nullptr), kNoWindow);

    // A closed window frees its title.
    windowing.CloseWindow(zelk);
    EXPECT_EQ(windowing.FindWindowByTitle("zelk"), kNoWindow);
    EXPECT_EQ(windowing.OpenWindow("zelk", &dialog, &window), kOk);
    EXPECT_NE(window, zelk);
}

TEST_F(SimWindowingTest, PostedMessagesArriveInOrderOnlyWhenDispatched) {
    const WindowHandle zelk = Open("zelk", dialog);
    const WindowHandle peer = Open("Speaker", speaker);
    // The dialog answers every message by posting to the peer, found by title.
    dialog.react = [&](uint32_t message, uint32_t wParam, int32_t lParam) {
        windowing.Post(windowing.FindWindowByTitle("Speaker"), message + 1, wParam, lParam);
    };
    EXPECT_TRUE(windowing.Post(zelk, 9912, 1, 0));
    EXPECT_TRUE(windowing.Post(peer, 7, 0, -1));
    EXPECT_TRUE(windowing.Post(zelk, 9912, 0xFFFFFFFFu, INT32_MIN));
    EXPECT_TRUE(dialog.log.empty());
    EXPECT_EQ(windowing.PendingCount(), 3u);

    EXPECT_EQ(windowing.DispatchPending(), 5u);  // three posted, two answers posted meanwhile
    EXPECT_EQ(dialog.log,
              (std::vector<Received>{{9912, 1, 0, 0}, {9912, 0xFFFFFFFFu, INT32_MIN, 0}}));
    EXPECT_EQ(speaker.log, (std::vector<Received>{
                               {7, 0, -1, 0}, {9913, 1, 0, 0}, {9913, 0xFFFFFFFFu, INT32_MIN, 0}}));
    EXPECT_EQ(windowing.DispatchPending(), 0u);
}

TEST_F(SimWindowingTest, PostFailsForUnknownWindowFullQueueAndClosedWindow) {
    const WindowHandle zelk = Open("zelk", dialog);
    const WindowHandle peer = Open("Speaker", speaker);
    EXPECT_FALSE(windowing.Post(kNoWindow, 1, 0, 0));
    EXPECT_FALSE(windowing.Post(zelk + 100, 1, 0, 0));

    windowing.SetQueueLimit(2);
    EXPECT_TRUE(windowing.Post(zelk, 1, 0, 0));
    EXPECT_TRUE(windowing.Post(zelk, 2, 0, 0));
    EXPECT_FALSE(windowing.Post(zelk, 3, 0, 0));  // full
    EXPECT_TRUE(windowing.Post(peer, 4, 0, 0));   // each window has its own queue
    windowing.DispatchPending();
    EXPECT_TRUE(windowing.Post(zelk, 5, 0, 0));  // room again
    windowing.CloseWindow(zelk);                 // drops what it had queued
    EXPECT_FALSE(windowing.Post(zelk, 6, 0, 0));
    EXPECT_EQ(windowing.DispatchPending(), 0u);
    ASSERT_EQ(dialog.log.size(), 2u);
    EXPECT_EQ(dialog.log[1].message, 2u);
    ASSERT_EQ(speaker.log.size(), 1u);
}

TEST_F(SimWindowingTest, TimersAreClockMessagesDeliveredSynchronously) {
    const WindowHandle zelk = Open("zelk", dialog);
    EXPECT_TRUE(windowing.SetTimer(zelk, 30309, 10));
    EXPECT_TRUE(windowing.SetTimer(zelk, 7, 25));
    EXPECT_FALSE(windowing.SetTimer(kNoWindow, 1, 10));
    clock.AdvanceBy(50'000);
    // At 50 ms both are due: the one whose last tick came first comes first.
    EXPECT_EQ(dialog.log, (std::vector<Received>{{kWmTimer, 30309, 0, 10'000},
                                                 {kWmTimer, 30309, 0, 20'000},
                                                 {kWmTimer, 7, 0, 25'000},
                                                 {kWmTimer, 30309, 0, 30'000},
                                                 {kWmTimer, 30309, 0, 40'000},
                                                 {kWmTimer, 7, 0, 50'000},
                                                 {kWmTimer, 30309, 0, 50'000}}));
    EXPECT_EQ(windowing.PendingCount(), 0u);  // timers do not go through the post queue
}

TEST_F(SimWindowingTest, SetTimerAgainRestartsAndKillTimerWorksFromItsOwnMessage) {
    const WindowHandle zelk = Open("zelk", dialog);
    int ticks = 0;
    dialog.react = [&](uint32_t message, uint32_t wParam, int32_t) {
        if (message == kWmTimer && wParam == 30309 && ++ticks == 3)
            windowing.KillTimer(zelk, 30309);
    };
    windowing.SetTimer(zelk, 30309, 10);
    clock.AdvanceBy(5'000);
    windowing.SetTimer(zelk, 30309, 10);  // restarts: next at 15 ms, not 10 ms
    clock.AdvanceBy(100'000);
    ASSERT_EQ(dialog.log.size(), 3u);
    EXPECT_EQ(dialog.log[0].atUs, 15'000);
    EXPECT_EQ(dialog.log[2].atUs, 35'000);
    EXPECT_FALSE(windowing.HasTimer(zelk, 30309));
    windowing.KillTimer(zelk, 30309);  // again: harmless
    windowing.KillTimer(zelk, 99);     // never set
    EXPECT_EQ(clock.NextDueUs(), -1);
}

TEST_F(SimWindowingTest, TimersFallingDueInsideAHandlerWaitForItAndCollapse) {
    const WindowHandle zelk = Open("zelk", dialog);
    const WindowHandle peer = Open("Speaker", speaker);
    bool inside = false;
    int reentered = 0;
    // A command handler that sleeps for 35 ms of simulated time, as a player's drain does.
    dialog.react = [&](uint32_t message, uint32_t, int32_t) {
        if (inside)
            ++reentered;
        if (message == 9912) {
            inside = true;
            clock.AdvanceBy(35'000);
            inside = false;
        }
    };
    windowing.SetTimer(zelk, 30309, 10);
    windowing.SetTimer(zelk, 5, 10);
    windowing.Post(zelk, 9912, 10000, 0);
    windowing.DispatchPending();
    EXPECT_EQ(reentered, 0);
    // Three expirations of each timer fell into the handler: one message each, after it.
    EXPECT_EQ(dialog.log,
              (std::vector<Received>{
                  {9912, 10000, 0, 0}, {kWmTimer, 30309, 0, 35'000}, {kWmTimer, 5, 0, 35'000}}));
    // Killed while held: never delivered. The other timer goes on as before.
    dialog.log.clear();
    windowing.Post(zelk, 9912, 0, 0);
    dialog.react = [&](uint32_t message, uint32_t, int32_t) {
        if (message == 9912) {
            clock.AdvanceBy(10'000);
            windowing.KillTimer(zelk, 5);
        }
    };
    windowing.DispatchPending();
    clock.AdvanceBy(10'000);
    EXPECT_EQ(dialog.log, (std::vector<Received>{{9912, 0, 0, 35'000},
                                                 {kWmTimer, 30309, 0, 45'000},
                                                 {kWmTimer, 30309, 0, 50'000}}));
    // A timer of another window waits for the handler as well.
    dialog.log.clear();
    windowing.KillTimer(zelk, 30309);
    windowing.SetTimer(peer, 1, 10);
    dialog.react = [&](uint32_t, uint32_t, int32_t) {
        clock.AdvanceBy(10'000);
        EXPECT_TRUE(speaker.log.empty());
    };
    windowing.Post(zelk, 1, 0, 0);
    windowing.DispatchPending();
    EXPECT_EQ(speaker.log, (std::vector<Received>{{kWmTimer, 1, 0, 65'000}}));
}

TEST_F(SimWindowingTest, ClosingAWindowCancelsItsTimers) {
    const WindowHandle zelk = Open("zelk", dialog);
    windowing.SetTimer(zelk, 1, 10);
    windowing.CloseWindow(zelk);
    EXPECT_EQ(clock.NextDueUs(), -1);
    clock.AdvanceBy(100'000);
    EXPECT_TRUE(dialog.log.empty());
}

TEST_F(SimWindowingTest, RunModalDispatchesAdvancesTimeAndEndsWithTheResult) {
    const WindowHandle zelk = Open("zelk", dialog);
    const WindowHandle peer = Open("Speaker", speaker);
    dialog.react = [&](uint32_t message, uint32_t wParam, int32_t) {
        if (message == kWmTimer && wParam == 5) {
            windowing.Post(peer, 100, 0, 0);
            if (clock.NowUs() == 30'000)
                windowing.EndModal(zelk, 2);
        }
    };
    windowing.Post(zelk, 9912, 3, 0);
    windowing.SetTimer(zelk, 5, 10);
    EXPECT_EQ(windowing.RunModal(zelk), 2);
    EXPECT_EQ(clock.NowUs(), 30'000);
    ASSERT_EQ(dialog.log.size(), 4u);
    EXPECT_EQ(dialog.log[0], (Received{9912, 3, 0, 0}));
    // The peer's messages are dispatched by the same loop, except the one posted by the last tick.
    EXPECT_EQ(speaker.log.size(), 2u);
    EXPECT_EQ(windowing.PendingCount(), 1u);
    // The loop can run again after it ended.
    windowing.KillTimer(zelk, 5);
    windowing.EndModal(zelk, 1);
    EXPECT_EQ(windowing.RunModal(zelk), 1);
}

TEST_F(SimWindowingTest, RunModalReturnsMinusOneWhenNothingCanHappen) {
    const WindowHandle zelk = Open("zelk", dialog);
    windowing.Post(zelk, 1, 0, 0);
    EXPECT_EQ(windowing.RunModal(zelk), -1);
    EXPECT_EQ(dialog.log.size(), 1u);  // what was queued was still delivered
    EXPECT_EQ(windowing.RunModal(kNoWindow), -1);

    // A window that closes itself from inside its loop ends the loop.
    dialog.react = [&](uint32_t, uint32_t, int32_t) { windowing.CloseWindow(zelk); };
    windowing.SetTimer(zelk, 1, 10);
    EXPECT_EQ(windowing.RunModal(zelk), -1);
    EXPECT_EQ(clock.NowUs(), 10'000);
}

TEST_F(SimWindowingTest, RunModalInsideAClockTaskCannotSpinOnHeldTimers) {
    const WindowHandle zelk = Open("zelk", dialog);
    const WindowHandle other = Open("other", speaker);
    windowing.SetTimer(zelk, 1, 10);
    intptr_t nested = 0;
    clock.Schedule(5'000, 0, VirtualClock::Kind::kMessage,
                   [&] { nested = windowing.RunModal(other); });
    clock.AdvanceBy(5'000);
    // Inside a clock task the timer messages wait for the outer advance: the loop gives up.
    EXPECT_EQ(nested, -1);
}

TEST_F(SimWindowingTest, ControlStateIsRecordedPerWindow) {
    const WindowHandle zelk = Open("zelk", dialog);
    const WindowHandle peer = Open("Speaker", speaker);
    EXPECT_TRUE(windowing.IsControlEnabled(zelk, 1001));  // dialog controls start enabled
    windowing.EnableControl(zelk, 1001, false);
    windowing.EnableControl(zelk, 1002, true);
    EXPECT_FALSE(windowing.IsControlEnabled(zelk, 1001));
    EXPECT_TRUE(windowing.IsControlEnabled(zelk, 1002));
    EXPECT_TRUE(windowing.IsControlEnabled(peer, 1001));
    windowing.EnableControl(zelk, 1001, true);
    EXPECT_TRUE(windowing.IsControlEnabled(zelk, 1001));
    EXPECT_FALSE(windowing.IsControlEnabled(kNoWindow, 1001));
    windowing.EnableControl(kNoWindow, 1001, false);  // ignored
}

}  // namespace
}  // namespace zelk::sim
