#include "app/linux/worker_clock.h"

#include <cstdlib>
#include <cstring>

namespace zelk::linux_worker {

std::optional<WorkerClock> ParseWorkerClock(const char* value) {
    if (value == nullptr || value[0] == '\0' || std::strcmp(value, "real") == 0)
        return WorkerClock::kReal;
    if (std::strcmp(value, "virtual") == 0)
        return WorkerClock::kVirtual;
    return std::nullopt;
}

std::optional<WorkerClock> WorkerClockFromEnvironment() {
    return ParseWorkerClock(std::getenv("ZELK_CLOCK"));
}

}  // namespace zelk::linux_worker
