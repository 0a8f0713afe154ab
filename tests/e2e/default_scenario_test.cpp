// The default simulated PC is the one every user's first run meets: its room must give results
// that mean something (each channel on its own steps and bands) and that no clock can change
// (every band of every channel clear of its threshold at each level a run visits, so the tone's
// phase, the noise and the timing of the blocks decide nothing).

#include <gtest/gtest.h>

#include <set>

#include "calibration/room_prediction.h"
#include "e2e/scenario_model.h"
#include "platform/sim/scenario/scenario.h"
#include "platform/sim/sim_pc.h"

namespace zelk::testing {
namespace {

TEST(DefaultScenarioTest, EveryBandIsMetAtOneCycleAndTheChannelsDiffer) {
    sim::SimPcOptions options = sim::DefaultScenario().options;
    options.clockMode = sim::SimPcOptions::ClockMode::kVirtual;
    sim::SimPc pc(options);
    const PcModel model = ModelOf(pc, 8);
    std::set<std::vector<int>> cyclesOfChannels;
    for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
        SCOPED_TRACE(CHANNEL_SLOT_NAMES[channel]);
        const std::array<BandWindow, kBands> windows = PredictBandWindows(
            model, channel, CycleLevels(model.channels[static_cast<size_t>(channel)]));
        std::vector<int> cycles;
        for (int32_t band = 0; band < kBands; ++band) {
            const BandWindow& window = windows[static_cast<size_t>(band)];
            EXPECT_GE(window.earliest, 0) << "band " << band << " is never met";
            EXPECT_EQ(window.earliest, window.latest) << "band " << band << " is left to chance";
            cycles.push_back(window.earliest);
        }
        cyclesOfChannels.insert(cycles);
    }
    EXPECT_GE(cyclesOfChannels.size(), 4u) << "the channels meet their bands too much alike";
}

}  // namespace
}  // namespace zelk::testing
