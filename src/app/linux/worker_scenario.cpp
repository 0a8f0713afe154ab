#include "app/linux/worker_scenario.h"

#include <cstdlib>
#include <optional>

#include "app/linux/worker_clock.h"

namespace zelk::linux_worker {

bool ResolveWorkerScenario(const char* scenarioPath, const char* clockValue,
                           sim::Scenario* scenario, std::string* message) {
    const std::optional<WorkerClock> clock = ParseWorkerClock(clockValue);
    if (!clock) {
        *message = "ZELK_CLOCK must be \"real\" or \"virtual\"";
        return false;
    }
    sim::Scenario chosen;
    if (scenarioPath == nullptr || scenarioPath[0] == '\0') {
        chosen = sim::DefaultScenario();
    } else if (!sim::LoadScenarioFile(scenarioPath, &chosen, message)) {
        *message = "scenario " + *message;
        return false;
    }
    if (clockValue != nullptr && clockValue[0] != '\0') {
        chosen.options.clockMode = *clock == WorkerClock::kVirtual
                                       ? sim::SimPcOptions::ClockMode::kVirtual
                                       : sim::SimPcOptions::ClockMode::kRealTime;
        chosen.options.realTimeSpeed = 1.0;
    }
    *scenario = std::move(chosen);
    return true;
}

bool WorkerScenarioFromEnvironment(sim::Scenario* scenario, std::string* message) {
    return ResolveWorkerScenario(std::getenv("ZELK_SIM_SCENARIO"), std::getenv("ZELK_CLOCK"),
                                 scenario, message);
}

}  // namespace zelk::linux_worker
