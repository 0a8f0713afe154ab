#pragma once

// The clock behind the worker's timers, chosen by the platform layer from ZELK_CLOCK: "real"
// (the default, also when unset or empty) or "virtual", where the simulated machine's time runs
// as fast as this machine allows.

#include <optional>

namespace zelk::linux_worker {

enum class WorkerClock { kReal, kVirtual };

// Nothing for a value that names no clock.
std::optional<WorkerClock> ParseWorkerClock(const char* value);
std::optional<WorkerClock> WorkerClockFromEnvironment();

}  // namespace zelk::linux_worker
