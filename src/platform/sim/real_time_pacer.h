#pragma once

// Runs the simulated machine in real time: a thread of its own advances the virtual clock so that
// it follows the steady clock from the moment Start is called, `speed` times as fast (1: in real
// time), on the steady clock's grid of kRealTimeGridUs / speed: the clock's time at Start stands
// for the grid line at or before Start, so what falls due on the machine's 10 ms grid (the
// devices' blocks) happens on that grid of the steady clock. It
// sleeps until the next task is due (at most 10 ms, so that tasks scheduled meanwhile are not
// missed for longer), then advances the clock to the time elapsed. All clock tasks then run on this
// thread. The clock's settle hook is not used: device and worker threads run freely, as on a real
// machine.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/sim/virtual_clock.h"

namespace zelk::sim {

inline constexpr int64_t kRealTimeGridUs = 10'000;

class RealTimePacer {
  public:
    // speed must be above 0.
    explicit RealTimePacer(VirtualClock& clock, double speed = 1.0);
    ~RealTimePacer();
    RealTimePacer(const RealTimePacer&) = delete;
    RealTimePacer& operator=(const RealTimePacer&) = delete;

    // False when the pacing thread cannot be started (or already runs).
    bool Start();
    // Returns once the pacing thread has ended; the clock stays where it is.
    void Stop();
    bool IsRunning() const;

  private:
    void Run();

    VirtualClock& clock_;
    const double speed_;
    mutable std::mutex mutex_;
    std::condition_variable stopRequested_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace zelk::sim
