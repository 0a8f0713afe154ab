#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/stepped_clock.h"

namespace zelk::sim {

// Time of the simulated machine, in microseconds from its start. Nothing moves it but AdvanceBy
// and AdvanceTo, so whatever is scheduled on it happens in one order, run after run.
//
// Tasks run on the thread that advances the clock, in time order; tasks due at the same moment run
// in the order they were scheduled. The settle hook (the simulated machine waits there until its
// device and worker threads have handled what the tasks set off) runs whenever something could
// observe those threads: before a message task and after it, before time moves on, and before an
// advance returns. Device tasks due at the same moment therefore run back to back, and what each
// sets off on other threads proceeds side by side; such a task must not look at what another
// thread does with the work of the one before it.
//
// The clock may be advanced again from inside a task (a Sleep of the thread that drives it). Such a
// nested advance runs device tasks only; message tasks (timer messages to a window) that fall due
// meanwhile wait for the outermost advance, as a window's messages wait for its loop.
class VirtualClock final : public SteppedClock {
  public:
    enum class Kind { kDevice, kMessage };

    int64_t NowUs() const override;

    // A task due at dueUs; with periodUs > 0 it repeats every periodUs after that.
    TaskId Schedule(int64_t dueUs, int64_t periodUs, Kind kind, std::function<void()> task);
    TaskId ScheduleMessage(int64_t dueUs, int64_t periodUs, std::function<void()> task) override {
        return Schedule(dueUs, periodUs, Kind::kMessage, std::move(task));
    }
    // Safe from inside a task, also for the task itself.
    void Cancel(TaskId id) override;
    bool IsScheduled(TaskId id) const;

    void AdvanceBy(int64_t us);
    void AdvanceTo(int64_t us) override;
    // Due time of the next task that an outermost advance would run, or -1 when none.
    int64_t NextDueUs() const override;

    void SetSettleHook(std::function<void()> hook);

  private:
    struct Task {
        int64_t dueUs;
        int64_t periodUs;
        Kind kind;
        uint64_t order;
        // Shared with a run in progress, so that a task may cancel itself.
        std::shared_ptr<const std::function<void()>> run;
    };

    // Runs the settle hook if a task ran since it last did; takes and gives back the lock.
    void SettleLocked(std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex_;
    std::map<TaskId, Task> tasks_;
    int64_t nowUs_ = 0;
    TaskId nextId_ = 1;
    uint64_t nextOrder_ = 0;
    int depth_ = 0;
    // A task has run since the last settle, and whether it (the latest) was a device task.
    bool unsettled_ = false;
    bool lastWasDevice_ = false;
    std::function<void()> settle_;
};

}  // namespace zelk::sim
