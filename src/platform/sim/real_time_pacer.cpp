#include "platform/sim/real_time_pacer.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace zelk::sim {

namespace {

constexpr int64_t kLongestSleepUs = 10'000;

}  // namespace

RealTimePacer::RealTimePacer(VirtualClock& clock) : clock_(clock) {}

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
    const Clock::duration sinceEpoch = Clock::now().time_since_epoch();
    const Clock::time_point realStart(sinceEpoch -
                                      sinceEpoch % std::chrono::microseconds(kRealTimeGridUs));
    const int64_t virtualStart = clock_.NowUs();
    auto elapsedUs = [&] {
        return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - realStart)
            .count();
    };

    std::unique_lock lock(mutex_);
    while (!stop_) {
        lock.unlock();
        const int64_t now = virtualStart + static_cast<int64_t>(elapsedUs());
        clock_.AdvanceTo(now);
        const int64_t next = clock_.NextDueUs();
        const int64_t wake =
            next < 0 ? now + kLongestSleepUs : std::clamp(next, now, now + kLongestSleepUs);
        lock.lock();
        stopRequested_.wait_until(lock, realStart + std::chrono::microseconds(wake - virtualStart),
                                  [this] { return stop_; });
    }
}

}  // namespace zelk::sim
