#pragma once

// The simulated PC the Linux worker runs on: the scenario file named by ZELK_SIM_SCENARIO when it
// is set and not empty, else the built-in default (scenarios/default.json). ZELK_CLOCK, when set
// and not empty, overrides the scenario's clock ("real" at speed 1, or "virtual").

#include <string>

#include "platform/sim/scenario/scenario.h"

namespace zelk::linux_worker {

// From the two settings' values (null or empty when unset). False with a message naming the file
// and the field, or the setting, when they cannot be used.
bool ResolveWorkerScenario(const char* scenarioPath, const char* clockValue,
                           sim::Scenario* scenario, std::string* message);
bool WorkerScenarioFromEnvironment(sim::Scenario* scenario, std::string* message);

}  // namespace zelk::linux_worker
