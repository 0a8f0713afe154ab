#pragma once

// Windowing on Linux: every window is a datagram socket in the runtime folder (window_socket.h),
// messages are 12-byte datagrams, and the modal loop dispatches one window's datagrams and timers
// on the thread that runs it.
//
// Timers run on one of two clocks, chosen at construction:
// - real time: one timerfd per timer, whose first tick comes a period after SetTimer or up to
//   10 ms later, at 5 ms past a multiple of 10 ms of the monotonic clock (a 10 ms timer ticks at
//   5 ms past every 10 ms): whatever runs on that 10 ms grid, such as the simulated PC's audio
//   blocks in real time, falls between two ticks, never on one. As with
//   the platform's timer messages, at most one message per timer is pending: expirations missed
//   while the loop was busy are not replayed, and the timers that fell due meanwhile each get one
//   message, in the order they last fell due;
// - virtual time: timers are message tasks of a SteppedClock and reach the handler on the
//   thread that advances it. When the modal loop finds no datagram waiting it advances the clock
//   to its next due task, so a run goes as fast as the machine allows; with nothing due it waits
//   for a datagram. A handler is never entered again while one runs: a timer that falls due
//   meanwhile (a handler that sleeps advances the clock) is held until the handler has returned,
//   and expirations that the clock catches up on at one instant are one message, as the
//   platform's timer messages are.
//
// Timer messages come only from the window's own timers: a datagram carrying the timer message
// is dropped. Control states are recorded in memory and in the runtime folder
// (control_state_file.h), where another process reads them through IsControlEnabled on the
// window it found.
//
// Post and FindWindowByTitle may be called from any thread; the other calls belong to the thread
// that runs the window.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/posix/unique_fd.h"
#include "platform/status.h"
#include "platform/stepped_clock.h"
#include "platform/windowing.h"

namespace zelk::posix {

class PosixWindowing final : public Windowing {
  public:
    // Real-time timers, timerSpeed times as fast as the monotonic clock (a 10 ms timer of speed 2
    // ticks every 5 ms, on a grid of 5 ms). The folder must have passed PrepareRuntimeFolder.
    explicit PosixWindowing(std::string runtimeFolder, double timerSpeed = 1.0);
    // Virtual-time timers on clock, which must outlive this object.
    PosixWindowing(std::string runtimeFolder, SteppedClock* clock);
    ~PosixWindowing() override;
    PosixWindowing(const PosixWindowing&) = delete;
    PosixWindowing& operator=(const PosixWindowing&) = delete;

    // kInvalidArg for an invalid title, kTitleTaken when a live window holds it.
    Status OpenWindow(const char* title, WindowHandler* handler, WindowHandle* window) override;
    void CloseWindow(WindowHandle window) override;
    WindowHandle FindWindowByTitle(const char* title) override;
    bool Post(WindowHandle window, uint32_t message, uint32_t wParam, int32_t lParam) override;
    // -1 for a window that is not this process's own or is already in its modal loop, and when
    // the window is closed from inside the loop.
    intptr_t RunModal(WindowHandle window) override;
    void EndModal(WindowHandle window, intptr_t result) override;
    // Periods below 1 ms are taken as 1 ms.
    bool SetTimer(WindowHandle window, uintptr_t id, uint32_t periodMs) override;
    void KillTimer(WindowHandle window, uintptr_t id) override;
    // Only on the process's own windows.
    void EnableControl(WindowHandle window, int controlId, bool enable) override;
    // A control nobody has disabled is enabled; an unknown window has no enabled control. For a
    // window of another process the state is read from the runtime folder.
    bool IsControlEnabled(WindowHandle window, int controlId) override;

    const std::string& runtimeFolder() const { return folder_; }
    bool usesVirtualClock() const { return clock_ != nullptr; }
    // Why the last OpenWindow failed.
    std::string lastError() const;

  private:
    struct Timer;
    struct Window;

    Window* FindLocked(WindowHandle window);
    intptr_t RunModalRealTime(WindowHandle handle);
    intptr_t RunModalVirtualTime(WindowHandle handle);
    // Takes and delivers the waiting datagrams, at most limit of them; false when the socket
    // failed.
    bool DispatchDatagrams(WindowHandle handle, int socket, int limit);
    // Delivers one timer message unless the timer was killed or set anew (generation) or the
    // loop was ended meanwhile.
    void DeliverTimer(WindowHandle handle, uintptr_t id, uint64_t generation);
    void CallHandler(WindowHandler* handler, uint32_t message, uint32_t wParam, int32_t lParam);
    void DeliverHeldTimers();
    bool Ended(WindowHandle handle);
    void StopTimer(Timer& timer);

    const std::string folder_;
    SteppedClock* const clock_;
    const double timerSpeed_ = 1.0;  // real time only
    UniqueFd sender_;

    mutable std::mutex mutex_;
    std::map<WindowHandle, std::unique_ptr<Window>> windows_;
    WindowHandle nextHandle_ = 1;
    uint64_t nextGeneration_ = 1;
    struct HeldTimer {
        WindowHandle window = kNoWindow;
        uintptr_t id = 0;
        uint64_t generation = 0;
        bool operator==(const HeldTimer&) const = default;
    };
    int handlersRunning_ = 0;
    std::deque<HeldTimer> heldTimers_;
    std::string lastError_;
};

}  // namespace zelk::posix
