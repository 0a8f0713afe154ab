#include "platform/sim/virtual_clock.h"

#include <utility>

namespace zelk::sim {

int64_t VirtualClock::NowUs() const {
    std::lock_guard lock(mutex_);
    return nowUs_;
}

VirtualClock::TaskId VirtualClock::Schedule(int64_t dueUs, int64_t periodUs, Kind kind,
                                            std::function<void()> task) {
    auto run = std::make_shared<const std::function<void()>>(std::move(task));
    std::lock_guard lock(mutex_);
    TaskId id = nextId_++;
    tasks_.emplace(id, Task{dueUs, periodUs, kind, nextOrder_++, std::move(run)});
    return id;
}

void VirtualClock::Cancel(TaskId id) {
    std::lock_guard lock(mutex_);
    tasks_.erase(id);
}

bool VirtualClock::IsScheduled(TaskId id) const {
    std::lock_guard lock(mutex_);
    return tasks_.count(id) != 0;
}

int64_t VirtualClock::NextDueUs() const {
    std::lock_guard lock(mutex_);
    int64_t next = -1;
    for (const auto& [id, task] : tasks_) {
        if (next < 0 || task.dueUs < next)
            next = task.dueUs;
    }
    return next;
}

void VirtualClock::SetSettleHook(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    settle_ = std::move(hook);
}

void VirtualClock::AdvanceBy(int64_t us) {
    int64_t target;
    {
        std::lock_guard lock(mutex_);
        target = nowUs_ + us;
    }
    AdvanceTo(target);
}

void VirtualClock::SettleLocked(std::unique_lock<std::mutex>& lock) {
    if (!unsettled_)
        return;
    unsettled_ = false;
    if (!settle_)
        return;
    const std::function<void()> settle = settle_;
    lock.unlock();
    settle();
    lock.lock();
}

void VirtualClock::AdvanceTo(int64_t targetUs) {
    std::unique_lock lock(mutex_);
    ++depth_;
    const bool nested = depth_ > 1;
    for (;;) {
        // The earliest eligible task due by the target; ties go to the one scheduled first.
        auto next = tasks_.end();
        for (auto it = tasks_.begin(); it != tasks_.end(); ++it) {
            const Task& task = it->second;
            if (task.dueUs > targetUs || (nested && task.kind == Kind::kMessage))
                continue;
            if (next == tasks_.end() || task.dueUs < next->second.dueUs ||
                (task.dueUs == next->second.dueUs && task.order < next->second.order)) {
                next = it;
            }
        }
        if (next == tasks_.end())
            break;

        // Only device tasks of one instant run without a settle between them.
        const bool device = next->second.kind == Kind::kDevice;
        if (unsettled_ && !(device && lastWasDevice_ && next->second.dueUs <= nowUs_)) {
            SettleLocked(lock);
            continue;  // the settle may have scheduled or cancelled tasks
        }

        Task& task = next->second;
        if (task.dueUs > nowUs_)
            nowUs_ = task.dueUs;
        std::shared_ptr<const std::function<void()>> run;
        if (task.periodUs > 0) {
            run = task.run;
            task.dueUs += task.periodUs;
            task.order = nextOrder_++;
        } else {
            run = std::move(task.run);
            tasks_.erase(next);
        }
        // Marked before the task runs as well, for a nested advance inside it.
        unsettled_ = true;
        lastWasDevice_ = device;
        lock.unlock();
        (*run)();
        lock.lock();
        unsettled_ = true;
        lastWasDevice_ = device;
    }
    SettleLocked(lock);
    if (targetUs > nowUs_)
        nowUs_ = targetUs;
    --depth_;
}

}  // namespace zelk::sim
