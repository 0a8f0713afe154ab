// The windowing the Linux worker hands its dialog: a function runs after every message a window's
// handler took, once the handler has returned.

#include "app/linux/after_each_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim_windowing.h"
#include "platform/sim/virtual_clock.h"

namespace zelk::linux_worker {
namespace {

class Recorder : public WindowHandler {
  public:
    explicit Recorder(std::vector<std::string>* log) : log_(log) {}
    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t) override {
        log_->push_back("message " + std::to_string(message) + " " + std::to_string(wParam));
        return 0;
    }

  private:
    std::vector<std::string>* log_;
};

TEST(AfterEachMessageTest, RunsAfterEveryMessageOfEveryWindow) {
    sim::VirtualClock clock;
    sim::SimWindowing inner(clock);
    std::vector<std::string> log;
    AfterEachMessage windowing(&inner, [&log] { log.push_back("after"); });
    Recorder first(&log);
    Recorder second(&log);
    WindowHandle a = kNoWindow;
    WindowHandle b = kNoWindow;
    ASSERT_EQ(windowing.OpenWindow("a", &first, &a), kOk);
    ASSERT_EQ(windowing.OpenWindow("b", &second, &b), kOk);
    EXPECT_EQ(windowing.FindWindowByTitle("b"), b);

    EXPECT_TRUE(windowing.Post(a, kWmUser, 1, 0));
    EXPECT_TRUE(windowing.Post(b, kWmUser, 2, 0));
    EXPECT_TRUE(windowing.Post(a, kWmCommand, 3, 0));
    EXPECT_EQ(inner.DispatchPending(), 3u);
    EXPECT_EQ(log, (std::vector<std::string>{"message 1024 1", "after", "message 1024 2", "after",
                                             "message 273 3", "after"}));
    windowing.CloseWindow(a);
    windowing.CloseWindow(b);
}

}  // namespace
}  // namespace zelk::linux_worker
