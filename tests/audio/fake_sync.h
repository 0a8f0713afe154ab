#pragma once

// Threads and events for tests of the player and the recorder. The test drives the device doubles
// itself and then calls WaitUntilIdle, which returns once every thread started here has ended or is
// blocked on an event that is not set: the workers have handled everything handed to them. No test
// sleeps to wait for a thread.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sync.h"

namespace zelk::testing {

class FakeSync : public Sync {
  public:
    std::unique_ptr<Event> NewEvent(bool manualReset, bool initiallySet) override {
        return std::make_unique<FakeEvent>(*this, manualReset, initiallySet);
    }

    std::unique_ptr<Thread> StartThread(std::function<void()> body) override {
        std::lock_guard lock(mutex_);
        ++threadsAsked_;
        if (failThreads_)
            return nullptr;
        auto state = std::make_shared<ThreadState>();
        threads_.push_back(state);
        return std::make_unique<FakeThread>(*this, state, std::move(body));
    }

    // Each sleep first runs the hook (a device double returns a block there).
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

    void WaitUntilIdle() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return IdleLocked(); });
    }

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
    int TimedOutWaits() {
        std::lock_guard lock(mutex_);
        return timedOutWaits_;
    }
    int LiveThreads() {
        std::lock_guard lock(mutex_);
        int live = 0;
        for (const auto& state : threads_)
            live += state->ended ? 0 : 1;
        return live;
    }

  private:
    class FakeEvent;
    struct ThreadState {
        const FakeEvent* waitingOn = nullptr;
        bool ended = false;
    };

    class FakeEvent : public Event {
      public:
        FakeEvent(FakeSync& sync, bool manual, bool set)
            : sync_(sync), manual_(manual), set_(set) {}
        void Set() override {
            std::lock_guard lock(sync_.mutex_);
            set_ = true;
            sync_.changed_.notify_all();
        }
        void Reset() override {
            std::lock_guard lock(sync_.mutex_);
            set_ = false;
        }
        bool Wait(uint32_t timeoutMs) override {
            std::unique_lock lock(sync_.mutex_);
            ThreadState* self = current_;
            if (self != nullptr)
                self->waitingOn = this;
            sync_.changed_.notify_all();
            bool signalled;
            if (timeoutMs == kWaitForever) {
                sync_.changed_.wait(lock, [this] { return set_; });
                signalled = true;
            } else {
                signalled = sync_.changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                    [this] { return set_; });
                if (!signalled)
                    ++sync_.timedOutWaits_;
            }
            if (self != nullptr)
                self->waitingOn = nullptr;
            if (signalled && !manual_)
                set_ = false;
            return signalled;
        }
        bool IsSetLocked() const { return set_; }

      private:
        FakeSync& sync_;
        bool manual_;
        bool set_;
    };

    class FakeThread : public Thread {
      public:
        FakeThread(FakeSync& sync, std::shared_ptr<ThreadState> state, std::function<void()> body)
            : thread_([&sync, state, body = std::move(body)] {
                  current_ = state.get();
                  body();
                  std::lock_guard lock(sync.mutex_);
                  state->ended = true;
                  sync.changed_.notify_all();
              }) {}
        ~FakeThread() override { Join(); }
        void Join() override {
            if (thread_.joinable())
                thread_.join();
        }

      private:
        std::thread thread_;
    };

    bool IdleLocked() const {
        for (const auto& state : threads_) {
            if (!state->ended && (state->waitingOn == nullptr || state->waitingOn->IsSetLocked()))
                return false;
        }
        return true;
    }

    static inline thread_local ThreadState* current_ = nullptr;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<ThreadState>> threads_;
    std::function<void()> onSleep_;
    bool failThreads_ = false;
    int sleeps_ = 0;
    int threadsAsked_ = 0;
    int timedOutWaits_ = 0;
};

}  // namespace zelk::testing
