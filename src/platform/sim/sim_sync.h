#pragma once

// Threads, events and sleeping of the simulated machine.
//
// Every thread started here is tracked, in both modes. A tracked thread is idle while it waits in
// Event::Wait on an event that is not signalled, and once its body has returned; it is busy
// otherwise. Settle() returns when every tracked thread is idle. Event::Set marks the waiters it
// releases busy at once, under the same lock, so a wake-up in flight always counts; it wakes them
// once it has let go of that lock. A settling thread is woken only when the count it waits for is
// reached.
//
// Real time: Sleep sleeps, and only whoever drives the threads (a test) settles them.
//
// Virtual time (constructed with the machine's VirtualClock): Settle is installed as the clock's
// settle hook, so that each step of the clock completes only once the device and worker threads
// have dealt with what the step set off.
//
// Event::Wait's timeout is real time in both modes. Sleep in virtual time advances the clock when
// called from a thread that is not tracked (the thread that drives the clock); a tracked thread
// that sleeps waits, idle, until the clock has been advanced past its wake-up time.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/sim/virtual_clock.h"
#include "platform/sync.h"

namespace zelk::sim {

class SimSync : public zelk::Sync {
  public:
    // Real time.
    SimSync();
    // Virtual time on clock; installs Settle as the clock's settle hook (removed again on
    // destruction).
    explicit SimSync(VirtualClock& clock);
    // Waits until every thread started here has ended.
    ~SimSync() override;
    SimSync(const SimSync&) = delete;
    SimSync& operator=(const SimSync&) = delete;

    std::unique_ptr<zelk::Event> NewEvent(bool manualReset, bool initiallySet) override;
    std::unique_ptr<zelk::Thread> StartThread(std::function<void()> body) override;
    void Sleep(uint32_t milliseconds) override;

    // Waits until every tracked thread is idle (the calling thread itself excepted, should it be
    // one of them).
    void Settle();

    bool IsVirtual() const { return clock_ != nullptr; }
    // Tracked threads now busy, and tracked threads whose body has not yet returned.
    int32_t BusyThreads() const;
    int32_t LiveThreads() const;
    // Waits with a timeout, of any thread, that ran out instead of seeing their event signalled.
    int32_t TimedOutWaits() const;

    // The state shared by the events, threads and waits of one SimSync.
    struct Core;

  private:
    VirtualClock* clock_ = nullptr;
    std::shared_ptr<Core> core_;
};

}  // namespace zelk::sim
