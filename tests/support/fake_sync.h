#pragma once

// Threads and events for tests that drive workers by hand. The threads and events are the
// simulated machine's (SimSync in real time), so WaitUntilIdle is its Settle: it returns once every
// thread started here has ended or waits on an event that is not set, that is, once the workers
// have handled everything handed to them. On top the fake lets a test fail thread starts, hook
// Sleep (which never sleeps) and count what the workers asked for. No test sleeps to wait for a
// thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/sim/sim_sync.h"
#include "platform/sync.h"

namespace zelk::testing {

class FakeSync : public Sync {
  public:
    std::unique_ptr<Event> NewEvent(bool manualReset, bool initiallySet) override {
        return sync_.NewEvent(manualReset, initiallySet);
    }

    std::unique_ptr<Thread> StartThread(std::function<void()> body) override {
        {
            std::lock_guard lock(mutex_);
            ++threadsAsked_;
            if (failThreads_)
                return nullptr;
        }
        return sync_.StartThread(std::move(body));
    }

    // Each sleep only runs the hook (a device double returns a block there).
    void Sleep(uint32_t) override {
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex_);
            ++sleeps_;
            hook = onSleep_;
        }
        if (hook)
            hook();
    }

    void WaitUntilIdle() { sync_.Settle(); }

    void SetOnSleep(std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        onSleep_ = std::move(hook);
    }
    void SetFailThreads(bool fail) {
        std::lock_guard lock(mutex_);
        failThreads_ = fail;
    }
    int Sleeps() {
        std::lock_guard lock(mutex_);
        return sleeps_;
    }
    int ThreadsAsked() {
        std::lock_guard lock(mutex_);
        return threadsAsked_;
    }
    // Timed waits that ran out instead of seeing their event set.
    int TimedOutWaits() const { return sync_.TimedOutWaits(); }
    int LiveThreads() const { return sync_.LiveThreads(); }

  private:
    sim::SimSync sync_;
    std::mutex mutex_;
    std::function<void()> onSleep_;
    bool failThreads_ = false;
    int sleeps_ = 0;
    int threadsAsked_ = 0;
};

}  // namespace zelk::testing
