#pragma once

// A clock that moves only when it is advanced: the time of a simulated machine. A windowing layer
// runs its timers on it as message tasks and, when its loop has nothing else to do, advances it to
// the next task that is due, so a run goes as fast as the machine allows.

#include <cstdint>
#include <functional>

namespace zelk {

class SteppedClock {
  public:
    using TaskId = uint64_t;

    virtual ~SteppedClock() = default;

    // Microseconds since the clock's start.
    virtual int64_t NowUs() const = 0;
    // A message task (a timer message to a window) due at dueUs; with periodUs > 0 it repeats every
    // periodUs after that. It runs on the thread that advances the clock.
    virtual TaskId ScheduleMessage(int64_t dueUs, int64_t periodUs, std::function<void()> task) = 0;
    // Safe from inside a task, also for the task itself.
    virtual void Cancel(TaskId id) = 0;
    virtual void AdvanceTo(int64_t us) = 0;
    // Due time of the next task an advance would run, or -1 when none.
    virtual int64_t NextDueUs() const = 0;
};

}  // namespace zelk
