#include "platform/sim/sim_sync.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace zelk::sim {

struct SimSync::Core {
    std::mutex mutex;
    // Notified when busy falls to what a settling thread waits for, and when live reaches 0.
    std::condition_variable changed;
    int32_t busy = 0;
    int32_t live = 0;
    int32_t timedOutWaits = 0;
    // Threads in Settle, by the busy count they wait for: 0, or 1 for a tracked thread itself.
    int32_t settlers[2] = {0, 0};

    // After busy or live fell, with mutex held: whether anyone waiting on changed is done now.
    bool SomeoneDone() const {
        return (busy == 0 && settlers[0] > 0) || (busy <= 1 && settlers[1] > 0) || live == 0;
    }
};

namespace {

using Core = SimSync::Core;

// One thread started by a SimSync. idle is guarded by the core's mutex.
struct TrackedThread {
    Core* core = nullptr;
    bool idle = false;
};

thread_local TrackedThread* tlsCurrent = nullptr;

TrackedThread* CurrentTracked(const Core* core) {
    return tlsCurrent != nullptr && tlsCurrent->core == core ? tlsCurrent : nullptr;
}

// What a thread blocked in Event::Wait sleeps on. Each thread has one for all its waits; the
// thread that sets the event holds a reference while it wakes the waiter outside the core's lock,
// so that the waiter, which may return as soon as it sees the grant, never takes it away under the
// notification.
struct Wake {
    std::mutex mutex;
    std::condition_variable cv;
    bool granted = false;
};

std::shared_ptr<Wake> ThreadWake() {
    thread_local std::shared_ptr<Wake> wake = std::make_shared<Wake>();
    return wake;
}

// A thread blocked in Event::Wait. Lives on the waiting thread's stack; guarded by the core's
// mutex.
struct Waiter {
    std::shared_ptr<Wake> wake;
    bool granted = false;
    TrackedThread* thread = nullptr;
};

void Deliver(const std::shared_ptr<Wake>& wake) {
    {
        std::lock_guard lock(wake->mutex);
        wake->granted = true;
    }
    wake->cv.notify_one();
}

class SimEvent : public zelk::Event {
  public:
    SimEvent(std::shared_ptr<Core> core, bool manualReset, bool initiallySet)
        : core_(std::move(core)), manual_(manualReset), signalled_(initiallySet) {}

    void Set() override {
        std::shared_ptr<Wake> one;
        std::vector<std::shared_ptr<Wake>> all;
        {
            std::lock_guard lock(core_->mutex);
            if (manual_) {
                signalled_ = true;
                for (Waiter* waiter : waiters_)
                    all.push_back(Grant(waiter));
                waiters_.clear();
            } else if (!waiters_.empty()) {
                // An auto-reset event releases one waiter and stays unsignalled.
                one = Grant(waiters_.front());
                waiters_.erase(waiters_.begin());
            } else {
                signalled_ = true;
            }
        }
        // The released threads already count as busy; they are woken outside the lock, so that
        // none of them runs into the lock its waker still holds.
        if (one)
            Deliver(one);
        for (const auto& wake : all)
            Deliver(wake);
    }

    void Reset() override {
        std::lock_guard lock(core_->mutex);
        signalled_ = false;
    }

    bool Wait(uint32_t timeoutMs) override {
        std::unique_lock lock(core_->mutex);
        if (signalled_) {
            if (!manual_)
                signalled_ = false;
            return true;
        }
        if (timeoutMs == 0) {
            ++core_->timedOutWaits;
            return false;
        }

        Waiter waiter;
        waiter.wake = ThreadWake();
        waiter.thread = CurrentTracked(core_.get());
        {
            // Nobody grants a thread that is in no event's waiters.
            std::lock_guard wakeLock(waiter.wake->mutex);
            waiter.wake->granted = false;
        }
        waiters_.push_back(&waiter);
        bool notify = false;
        if (waiter.thread != nullptr) {
            waiter.thread->idle = true;
            --core_->busy;
            notify = core_->SomeoneDone();
        }
        lock.unlock();
        if (notify)
            core_->changed.notify_all();

        Wake& wake = *waiter.wake;
        std::unique_lock wakeLock(wake.mutex);
        auto granted = [&wake] { return wake.granted; };
        if (timeoutMs == kWaitForever) {
            wake.cv.wait(wakeLock, granted);
            return true;  // Set has already counted the thread busy again
        }
        if (wake.cv.wait_for(wakeLock, std::chrono::milliseconds(timeoutMs), granted))
            return true;
        wakeLock.unlock();

        lock.lock();
        if (waiter.granted) {
            // Set took the waiter just now and is on its way to wake it.
            lock.unlock();
            wakeLock.lock();
            wake.cv.wait(wakeLock, granted);
            return true;
        }
        waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &waiter));
        if (waiter.thread != nullptr) {
            waiter.thread->idle = false;
            ++core_->busy;
        }
        ++core_->timedOutWaits;
        return false;
    }

  private:
    // Called with the core's mutex held: counts the waiter busy again and gives its wake to
    // deliver once the lock is let go.
    std::shared_ptr<Wake> Grant(Waiter* waiter) {
        waiter->granted = true;
        if (waiter->thread != nullptr && waiter->thread->idle) {
            waiter->thread->idle = false;
            ++core_->busy;
        }
        return waiter->wake;
    }

    std::shared_ptr<Core> core_;
    const bool manual_;
    bool signalled_;
    // In the order they came; rarely more than one, so a vector keeps its room between waits.
    std::vector<Waiter*> waiters_;
};

class SimThread : public zelk::Thread {
  public:
    explicit SimThread(std::thread thread) : thread_(std::move(thread)) {}
    ~SimThread() override { Join(); }

    void Join() override {
        if (!thread_.joinable())
            return;
        // A thread that lets go of its own handle cannot wait for itself; it runs on detached.
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }

  private:
    std::thread thread_;
};

// Takes one busy and one live thread off the count, as a thread ends or fails to start.
void Leave(const std::shared_ptr<Core>& core, TrackedThread* tracked) {
    bool notify;
    {
        std::lock_guard lock(core->mutex);
        if (tracked != nullptr)
            tracked->idle = true;
        --core->busy;
        --core->live;
        notify = core->SomeoneDone();
    }
    if (notify)
        core->changed.notify_all();
}

}  // namespace

SimSync::SimSync() : core_(std::make_shared<Core>()) {}

SimSync::SimSync(VirtualClock& clock) : clock_(&clock), core_(std::make_shared<Core>()) {
    clock_->SetSettleHook([this] { Settle(); });
}

SimSync::~SimSync() {
    if (clock_ != nullptr)
        clock_->SetSettleHook(nullptr);
    std::unique_lock lock(core_->mutex);
    core_->changed.wait(lock, [this] { return core_->live == 0; });
}

std::unique_ptr<zelk::Event> SimSync::NewEvent(bool manualReset, bool initiallySet) {
    return std::make_unique<SimEvent>(core_, manualReset, initiallySet);
}

std::unique_ptr<zelk::Thread> SimSync::StartThread(std::function<void()> body) {
    auto tracked = std::make_shared<TrackedThread>();
    tracked->core = core_.get();
    {
        // Busy from this moment, so that a settle right after the start waits for the body.
        std::lock_guard lock(core_->mutex);
        ++core_->busy;
        ++core_->live;
    }
    auto run = [core = core_, tracked, body = std::move(body)] {
        tlsCurrent = tracked.get();
        body();
        tlsCurrent = nullptr;
        Leave(core, tracked.get());
    };
    try {
        return std::make_unique<SimThread>(std::thread(std::move(run)));
    } catch (const std::system_error&) {
        Leave(core_, nullptr);
        return nullptr;
    }
}

void SimSync::Sleep(uint32_t milliseconds) {
    if (clock_ == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return;
    }
    const int64_t us = static_cast<int64_t>(milliseconds) * 1000;
    if (CurrentTracked(core_.get()) == nullptr) {
        clock_->AdvanceBy(us);
        return;
    }
    if (milliseconds == 0)
        return;
    // A tracked thread waits, idle, for a device task that wakes it at its time.
    auto wake = std::make_shared<SimEvent>(core_, false, false);
    clock_->Schedule(clock_->NowUs() + us, 0, VirtualClock::Kind::kDevice, [wake] { wake->Set(); });
    wake->Wait(kWaitForever);
}

void SimSync::Settle() {
    std::unique_lock lock(core_->mutex);
    const int32_t self = CurrentTracked(core_.get()) != nullptr ? 1 : 0;
    if (core_->busy <= self)
        return;
    ++core_->settlers[self];
    core_->changed.wait(lock, [this, self] { return core_->busy <= self; });
    --core_->settlers[self];
}

int32_t SimSync::BusyThreads() const {
    std::lock_guard lock(core_->mutex);
    return core_->busy;
}

int32_t SimSync::LiveThreads() const {
    std::lock_guard lock(core_->mutex);
    return core_->live;
}

int32_t SimSync::TimedOutWaits() const {
    std::lock_guard lock(core_->mutex);
    return core_->timedOutWaits;
}

}  // namespace zelk::sim
