#pragma once

// Windows of the simulated machine, all in this process and all on the thread that drives them:
// posted messages wait in one queue until DispatchPending or a modal loop hands them to their
// windows' handlers; timers are message tasks of the virtual clock and reach their window's handler
// on the thread that advances the clock.
//
// A handler is never entered again while one of this windowing's handlers runs: a timer that falls
// due meanwhile (a handler that sleeps advances the clock) is held and delivered once the handler
// has returned, and further expirations of a held timer collapse into that one message, as the
// platform's timer messages do.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/sim/virtual_clock.h"
#include "platform/status.h"
#include "platform/windowing.h"

namespace zelk::sim {

class SimWindowing : public zelk::Windowing {
  public:
    // Posted messages a window may hold before Post fails, as a full message queue does.
    static constexpr size_t kDefaultQueueLimit = 10000;
    static constexpr size_t kMaxTitleLength = 64;

    explicit SimWindowing(VirtualClock& clock);
    ~SimWindowing() override;
    SimWindowing(const SimWindowing&) = delete;
    SimWindowing& operator=(const SimWindowing&) = delete;

    Status OpenWindow(const char* title, WindowHandler* handler, WindowHandle* window) override;
    void CloseWindow(WindowHandle window) override;
    WindowHandle FindWindowByTitle(const char* title) override;
    bool Post(WindowHandle window, uint32_t message, uint32_t wParam, int32_t lParam) override;
    // Dispatches the messages of every window (they share one thread here) until EndModal. When
    // no message is queued it advances the clock to the next due task; when nothing at all is
    // pending, or the window is closed or unknown, it returns -1.
    intptr_t RunModal(WindowHandle window) override;
    void EndModal(WindowHandle window, intptr_t result) override;
    bool SetTimer(WindowHandle window, uintptr_t id, uint32_t periodMs) override;
    void KillTimer(WindowHandle window, uintptr_t id) override;
    void EnableControl(WindowHandle window, int controlId, bool enable) override;
    // A control nobody has disabled is enabled; an unknown window has no enabled control.
    bool IsControlEnabled(WindowHandle window, int controlId) override;

    // Delivers the queued messages in the order they were posted, also those posted meanwhile by
    // the handlers, until the queue is empty. Returns how many were delivered.
    size_t DispatchPending();

    // For tests.
    size_t PendingCount() const;
    void SetQueueLimit(size_t limit);
    bool HasTimer(WindowHandle window, uintptr_t id) const;
    VirtualClock& clock() { return clock_; }

  private:
    struct Message {
        WindowHandle window;
        uint32_t message;
        uint32_t wParam;
        int32_t lParam;
    };
    struct Window {
        std::string title;
        WindowHandler* handler = nullptr;
        size_t queued = 0;
        std::map<uintptr_t, VirtualClock::TaskId> timers;
        // Virtual time of each timer's last message: expirations the clock catches up on at one
        // instant (after a handler advanced it) collapse into one message.
        std::map<uintptr_t, int64_t> lastTimerUs;
        std::map<int, bool> controls;
        bool inModal = false;
        bool endRequested = false;
        intptr_t modalResult = 0;
    };

    // Takes the oldest queued message; false when the queue is empty.
    bool PopMessage(Message* message, WindowHandler** handler);
    void DeliverTimer(WindowHandle window, uintptr_t id);
    void CallHandler(WindowHandler* handler, uint32_t message, uint32_t wParam, int32_t lParam);
    // Delivers the timers held while a handler ran, once none runs.
    void DeliverHeldTimers();

    VirtualClock& clock_;
    mutable std::mutex mutex_;
    std::map<WindowHandle, Window> windows_;
    std::deque<Message> queue_;
    int handlersRunning_ = 0;
    std::deque<std::pair<WindowHandle, uintptr_t>> heldTimers_;
    WindowHandle nextHandle_ = 1;
    size_t queueLimit_ = kDefaultQueueLimit;
};

}  // namespace zelk::sim
