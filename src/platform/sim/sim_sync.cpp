#include "platform/sim/sim_sync.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <system_error>
#include <thread>
#include <utility>

namespace zelk::sim {

struct SimSync::Core {
    std::mutex mutex;
    // Notified whenever busy or live falls.
    std::condition_variable changed;
    int32_t busy = 0;
    int32_t live = 0;
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

// A thread blocked in Event::Wait. Lives on the waiting thread's stack.
struct Waiter {
    std::condition_variable wake;
    bool granted = false;
    TrackedThread* thread = nullptr;
};

class SimEvent : public zelk::Event {
  public:
    SimEvent(std::shared_ptr<Core> core, bool manualReset, bool initiallySet)
        : core_(std::move(core)), manual_(manualReset), signalled_(initiallySet) {}

    void Set() override {
        std::lock_guard lock(core_->mutex);
        if (manual_) {
            signalled_ = true;
            for (Waiter* waiter : waiters_)
                Grant(waiter);
            waiters_.clear();
        } else if (!waiters_.empty()) {
            // An auto-reset event releases one waiter and stays unsignalled.
            Grant(waiters_.front());
            waiters_.pop_front();
        } else {
            signalled_ = true;
        }
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
        if (timeoutMs == 0)
            return false;

        Waiter waiter;
        waiter.thread = CurrentTracked(core_.get());
        waiters_.push_back(&waiter);
        if (waiter.thread != nullptr) {
            waiter.thread->idle = true;
            --core_->busy;
            core_->changed.notify_all();
        }
        auto granted = [&waiter] { return waiter.granted; };
        if (timeoutMs == kWaitForever) {
            waiter.wake.wait(lock, granted);
        } else {
            waiter.wake.wait_for(lock, std::chrono::milliseconds(timeoutMs), granted);
        }
        if (waiter.granted)
            return true;  // Set has already counted the thread busy again

        waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &waiter));
        if (waiter.thread != nullptr) {
            waiter.thread->idle = false;
            ++core_->busy;
        }
        return false;
    }

  private:
    // Called with the core's mutex held.
    void Grant(Waiter* waiter) {
        waiter->granted = true;
        if (waiter->thread != nullptr && waiter->thread->idle) {
            waiter->thread->idle = false;
            ++core_->busy;
        }
        waiter->wake.notify_one();
    }

    std::shared_ptr<Core> core_;
    const bool manual_;
    bool signalled_;
    std::deque<Waiter*> waiters_;
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
        std::lock_guard lock(core->mutex);
        tracked->idle = true;
        --core->busy;
        --core->live;
        core->changed.notify_all();
    };
    try {
        return std::make_unique<SimThread>(std::thread(std::move(run)));
    } catch (const std::system_error&) {
        std::lock_guard lock(core_->mutex);
        --core_->busy;
        --core_->live;
        core_->changed.notify_all();
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
    core_->changed.wait(lock, [this, self] { return core_->busy <= self; });
}

int32_t SimSync::BusyThreads() const {
    std::lock_guard lock(core_->mutex);
    return core_->busy;
}

int32_t SimSync::LiveThreads() const {
    std::lock_guard lock(core_->mutex);
    return core_->live;
}

}  // namespace zelk::sim
