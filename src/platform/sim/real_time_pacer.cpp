#include "platform/sim/real_time_pacer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <system_error>

namespace zelk::sim {

namespace {

constexpr int64_t kLongestSleepUs = 10'000;

}  // namespace

RealTimePacer::RealTimePacer(VirtualClock& clock, double speed) : clock_(clock), speed_(speed) {}

RealTimePacer::~RealTimePacer() {
    Stop();
}

bool RealTimePacer::Start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable())
        return false;
    stop_ = false;
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void RealTimePacer::Stop() {
    std::thread ending;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        ending = std::move(thread_);
    }
    stopRequested_.notify_all();
    if (ending.joinable())
        ending.join();
}

bool RealTimePacer::IsRunning() const {
    std::lock_guard lock(mutex_);
    return thread_.joinable();
}

void RealTimePacer::Run() {
    using Clock = std::chrono::steady_clock;
    using Ns = std::chrono::nanoseconds;
    // The machine's 10 ms grid on the steady clock.
    const int64_t gridNs = std::llround(static_cast<double>(kRealTimeGridUs) * 1000.0 / speed_);
    const int64_t sinceEpochNs =
        std::chrono::duration_cast<Ns>(Clock::now().time_since_epoch()).count();
    const Clock::time_point realStart{Ns(sinceEpochNs - sinceEpochNs % gridNs)};
    const int64_t virtualStart = clock_.NowUs();
    auto machineUs = [&](Clock::time_point at) {
        const auto elapsedNs = std::chrono::duration_cast<Ns>(at - realStart).count();
        return virtualStart +
               static_cast<int64_t>(static_cast<double>(elapsedNs) * speed_ / 1000.0);
    };
    auto realAt = [&](int64_t us) {
        return realStart +
               Ns(std::llround(static_cast<double>(us - virtualStart) * 1000.0 / speed_));
    };

    std::unique_lock lock(mutex_);
    while (!stop_) {
        lock.unlock();
        const int64_t now = machineUs(Clock::now());
        clock_.AdvanceTo(now);
        const int64_t next = clock_.NextDueUs();
        const int64_t wake =
            next < 0 ? now + kLongestSleepUs : std::clamp(next, now, now + kLongestSleepUs);
        lock.lock();
        stopRequested_.wait_until(lock, realAt(wake), [this] { return stop_; });
    }
}

}  // namespace zelk::sim
