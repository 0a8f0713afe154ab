#pragma once

// Scenario files: one simulated PC described in JSON (docs/simulator.md, "Scenarios"): its
// codecs with their topology shapes, controls, speaker layouts and formats, the endpoints that
// must not match, the room, the microphone, the clock and the seed.
//
// Reading never throws. A bad file gives one message naming the field by its path in the file
// ("codecs[0].controls.front.stepDb") and what is wrong with it; a key the format does not know is
// an error, so that a misspelt key is never silently ignored.

#include <string>
#include <string_view>

#include "platform/sim/sim_pc.h"

namespace zelk::sim {

struct Scenario {
    // The machine: its clock mode, endpoints, room and wave devices.
    SimPcOptions options;
    // The scenario with every default filled in, as JSON (what --print-scenario shows); reading it
    // back gives the same scenario.
    std::string effectiveJson;
};

// Reads a scenario from JSON text. On a bad one returns false and sets *message to
// "<path>: <problem>" (the path is "(file)" for the whole text); *scenario is then unchanged.
bool ParseScenario(std::string_view text, Scenario* scenario, std::string* message);

// Reads the scenario file at path; on failure *message is "<path>: <problem>".
bool LoadScenarioFile(const std::string& path, Scenario* scenario, std::string* message);

// The built-in default scenario: the text of scenarios/default.json, built into the program.
std::string_view DefaultScenarioText();
Scenario DefaultScenario();

}  // namespace zelk::sim
