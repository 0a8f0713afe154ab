// Whole runs of the worker on the shipped scenarios: what the peer is told, what the results file
// holds and the levels left on the codec, each against what the scenario's room predicts; a stop
// and a close during a run, a layout that outlives the worker, and the documented failures.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/scenario_model.h"
#include "e2e/worker_on_pc.h"
#include "platform/sim/pc_state.h"
#include "platform/sim/scenario/scenario.h"

namespace zelk::testing {
namespace {

std::string ScenarioPath(const std::string& file) {
    return std::string(ZELK_SCENARIO_DIR) + "/" + file;
}

sim::SimPcOptions LoadScenario(const std::string& file) {
    sim::Scenario scenario;
    std::string message;
    EXPECT_TRUE(sim::LoadScenarioFile(ScenarioPath(file), &scenario, &message)) << message;
    return scenario.options;
}

// The shipped scenario `file` changed by `edit`, as a parsed scenario or the parser's message.
bool EditedScenario(const std::string& file, void (*edit)(nlohmann::json&), sim::Scenario* scenario,
                    std::string* message) {
    std::ifstream in(ScenarioPath(file));
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json json = nlohmann::json::parse(text.str(), nullptr, true, true);
    edit(json);
    return sim::ParseScenario(json.dump(2), scenario, message);
}

// The gain values the peer was told, by slot, from message *at on up to the first message that
// is not a gain; *at moves past them.
std::map<uint32_t, int32_t> GainsFrom(const std::vector<Message>& received, size_t* at) {
    std::map<uint32_t, int32_t> gains;
    for (; *at < received.size() && received[*at].message == WM_PEER_CHANNEL_VALUE; ++*at)
        gains[received[*at].wParam] = received[*at].lParam;
    return gains;
}

struct RunCase {
    const char* name;
    const char* scenario;
    uint16_t deviceId;
    uint32_t speakers;   // the layout a full run is given first
    int32_t singleSlot;  // a single-channel run of this slot instead (-1: a full run)

    friend void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }
};

class ScenarioRunTest : public ::testing::TestWithParam<RunCase> {};

// The peer selects the codec, sets the layout (full runs), queries the gains, calibrates and
// queries the gains again.
TEST_P(ScenarioRunTest, MessagesResultsAndLevelsFollowTheRoom) {
    const RunCase& c = GetParam();
    const bool single = c.singleSlot >= 0;
    const int32_t mode = single ? 1 : ChannelCountOfMask(c.speakers);
    WorkerOnPc worker(LoadScenario(c.scenario));
    sim::SimPc& pc = worker.pc;
    ASSERT_GE(pc.renderEndpoint(), 0);

    std::vector<PeerStep> steps = {Command(CMD_SELECT_CODEC, c.deviceId)};
    if (!single)
        steps.push_back(Command(CMD_SET_SPEAKERS, static_cast<int32_t>(c.speakers)));
    steps.push_back(Command(CMD_QUERY_GAINS, 0));
    steps.push_back(single ? Command(CMD_CALIBRATE_CHANNEL, c.singleSlot)
                           : Command(CMD_CALIBRATE, 0));
    steps.push_back(Command(CMD_QUERY_GAINS, 0));

    // The state before the run: after the layout change (a first, short worker does it).
    if (!single) {
        EXPECT_EQ(worker.Run({steps[0], steps[1]}), IDC_OK);
        ASSERT_EQ(worker.peer.received, (std::vector<Message>{{WM_PEER_COMMAND, REPLY_SPEAKERS,
                                                               static_cast<int32_t>(c.speakers)}}));
        worker.peer.received.clear();
        steps.erase(steps.begin() + 1);
    }
    const std::string stateBefore = sim::PcStateText(pc.audio());
    const PcModel model = ModelOf(pc, mode);
    const ExpectedResults results = PredictResults(model, mode, c.singleSlot);
    std::map<ControlChannel, float> levelsBefore;
    for (int32_t k = 0; k < kSpeakerChannels; ++k) {
        ControlChannel control;
        if (SpeakerControl(pc, k, &control))
            levelsBefore[control] = LevelOf(pc, control);
    }
    for (int32_t side = 0; side < kMasterSides; ++side)
        levelsBefore[MasterControl(pc, side)] = LevelOf(pc, MasterControl(pc, side));

    EXPECT_EQ(worker.Run(steps), IDC_OK);
    EXPECT_EQ(worker.finalState, ENGINE_DONE);

    // Messages: the gains, the progress pairs, the reply of a full run, the gains again.
    const std::vector<Message>& received = worker.peer.received;
    size_t at = 0;
    const std::map<uint32_t, int32_t> gainsBefore = GainsFrom(received, &at);
    std::vector<Message> progress;
    for (; at < received.size() && received[at].message == WM_PEER_COMMAND; ++at)
        progress.push_back(received[at]);
    const std::map<uint32_t, int32_t> gainsAfter = GainsFrom(received, &at);
    EXPECT_EQ(at, received.size());
    std::vector<Message> expectedProgress = ExpectedProgress(mode, c.singleSlot);
    if (!single)
        expectedProgress.push_back({WM_PEER_COMMAND, REPLY_CALIBRATED, 1});
    EXPECT_EQ(progress, expectedProgress);

    // The results file: the keys the run writes, each with a level the room allows for it, the
    // bands of a channel met in order.
    EXPECT_EQ(worker.ResultsValue(kResultsDoneKey), kResultsDone);
    for (const char* key : kResultsLevelKeys) {
        const std::string stored = worker.ResultsValue(key);
        const auto allowed = results.keys.find(key);
        if (allowed == results.keys.end()) {
            EXPECT_EQ(stored, "") << key;
            continue;
        }
        std::string texts;
        bool found = false;
        for (float level : allowed->second) {
            texts.append(" ").append(ResultsText(level));  // not `" " + ...`: GCC 12 -Wrestrict
            found = found || stored == ResultsText(level);
        }
        EXPECT_TRUE(found) << key << " holds \"" << stored << "\", the room allows" << texts;
    }
    for (const auto& [channel, cycles] : results.cycleLevels) {
        float below = -1000.0f;
        for (int32_t band = 0; band < kBands; ++band) {
            const float level = StoredLevel(worker.ResultsValue(ResultsChannelKey(channel, band)));
            EXPECT_GE(level, below) << "channel " << channel << " band " << band;
            below = level;
        }
    }

    // The levels left on the codec: the Medium results the run stored. A full run applies them
    // to the masters and channels 0 to 5 (six-channel topology) or 7; a single-channel run sets
    // its channel and the master of its side and puts the other master back.
    std::map<ControlChannel, float> levelsAfter = levelsBefore;
    const bool sixChannelTopology =
        pc.audio().FindPart(RenderPrefix(pc) + sim::kPartSide) == nullptr;
    for (int32_t side = 0; side < kMasterSides; ++side) {
        if (single && side != MasterSideOf(c.singleSlot))
            continue;
        levelsAfter[MasterControl(pc, side)] = AppliedLevel(
            worker.ResultsValue(ResultsMasterKey(side, kBandMedium)), model.master[side]);
    }
    for (int32_t k = 0; k <= LastServedChannel(c.deviceId, sixChannelTopology); ++k) {
        ControlChannel control;
        if ((!single || k == c.singleSlot) && SpeakerControl(pc, k, &control)) {
            levelsAfter[control] =
                AppliedLevel(worker.ResultsValue(ResultsChannelKey(k, kBandMedium)),
                             model.channels[static_cast<size_t>(k)]);
        }
    }
    for (const auto& [control, level] : levelsAfter) {
        EXPECT_FLOAT_EQ(LevelOf(pc, control), level) << control.part << " " << control.channel;
        ASSERT_TRUE(
            pc.audio().SetPartLevel(control.part, control.channel, levelsBefore.at(control)));
    }
    // Nothing else changed: every other level, every mute, the microphone, the formats.
    EXPECT_EQ(sim::PcStateText(pc.audio()), stateBefore);

    // The gains: each speaker channel's level as the peer's value; slots without a channel of
    // their own (on a six-channel topology) as before.
    for (int32_t k = 0; k < kSpeakerChannels; ++k) {
        const uint32_t slot = static_cast<uint32_t>(k);
        ControlChannel control;
        if (SpeakerControl(pc, k, &control)) {
            EXPECT_EQ(gainsBefore.at(slot), GainOf(levelsBefore.at(control))) << "slot " << k;
            EXPECT_EQ(gainsAfter.at(slot), GainOf(levelsAfter.at(control))) << "slot " << k;
        } else {
            EXPECT_EQ(gainsAfter.count(slot), gainsBefore.count(slot)) << "slot " << k;
            if (gainsAfter.count(slot) != 0) {
                EXPECT_EQ(gainsAfter.at(slot), gainsBefore.at(slot)) << "slot " << k;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, ScenarioRunTest,
    ::testing::Values(
        RunCase{"Default0899Mode8", "default.json", 0x0899, 0x63F, -1},
        RunCase{"Default0899Mode6", "default.json", 0x0899, 0x3F, -1},
        RunCase{"Default0899Mode4", "default.json", 0x0899, 0x33, -1},
        RunCase{"Default0899Mode2", "default.json", 0x0899, 0x3, -1},
        RunCase{"Default0899RearRightAlone", "default.json", 0x0899, 0, 3},
        RunCase{"EightChannel0892Mode8", "codec-0892-eight-channel.json", 0x0892, 0x63F, -1},
        RunCase{"EightChannel0892Mode2", "codec-0892-eight-channel.json", 0x0892, 0x3, -1},
        RunCase{"EightChannel0892SubwooferAlone", "codec-0892-eight-channel.json", 0x0892, 0, 4},
        RunCase{"SixChannel0892Mode6", "codec-0892-six-channel.json", 0x0892, 0x3F, -1},
        RunCase{"SixChannel0892Mode4", "codec-0892-six-channel.json", 0x0892, 0x33, -1},
        RunCase{"SixChannel0662Mode6", "codec-0662-six-channel.json", 0x0662, 0x3F, -1},
        RunCase{"SixChannel0662Mode2", "codec-0662-six-channel.json", 0x0662, 0x3, -1},
        RunCase{"SixChannel0662CenterAlone", "codec-0662-six-channel.json", 0x0662, 0, 5}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return info.param.name; });

// A stop during the first measuring pass puts every level and mute back; the peer hears the
// progress so far and nothing at the end, and no results are written. A close during a run ends
// the worker with the devices released, nothing more told and the levels put back as well.
TEST(ScenarioInterruptTest, AStopPutsEverythingBackAndACloseReleasesTheDevices) {
    struct Case {
        const char* name;
        PeerStep interrupt;
        intptr_t dialogResult;
        int32_t state;
    };
    // 6.5 s: the 6 s warm-up is over and the first pass is measuring.
    const Case cases[] = {
        {"stop", CommandAfter(6500, CMD_STOP, 0), IDC_OK, ENGINE_STOPPED},
        {"close", {{kWmClose, 0, 0}, 6500}, IDC_CANCEL, ENGINE_RUNNING},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WorkerOnPc worker(LoadScenario("codec-0892-eight-channel.json"));
        const std::string before = sim::PcStateText(worker.pc.audio());
        int64_t refsDuringRun = 0;
        std::string stateDuringRun;
        worker.pc.clock().Schedule(6'400'000, 0, sim::VirtualClock::Kind::kDevice, [&] {
            refsDuringRun = worker.pc.audio().TotalLiveRefs();
            stateDuringRun = sim::PcStateText(worker.pc.audio());
        });
        EXPECT_EQ(
            worker.Run({Command(CMD_SELECT_CODEC, 0x0892), Command(CMD_CALIBRATE, 0), c.interrupt}),
            c.dialogResult);
        EXPECT_EQ(worker.finalState, c.state);
        EXPECT_GT(refsDuringRun, 0);
        EXPECT_NE(stateDuringRun, before);  // the run had changed levels and mutes
        EXPECT_EQ(worker.pc.audio().TotalLiveRefs(), 0)
            << ::testing::PrintToString(worker.pc.audio().HeldObjects());
        EXPECT_EQ(worker.pc.clock().NextDueUs(), -1);  // no timer, no device left stepping
        // The progress of the first pass so far, and nothing after it.
        const std::vector<Message> full = ExpectedProgress(8, -1);
        const std::vector<Message>& received = worker.peer.received;
        ASSERT_GE(received.size(), 2u);
        ASSERT_LT(received.size(), full.size());
        EXPECT_TRUE(std::equal(received.begin(), received.end(), full.begin()));
        EXPECT_EQ(received.back().wParam, 1u);
        EXPECT_TRUE(worker.files.ini.empty());
        EXPECT_EQ(sim::PcStateText(worker.pc.audio()), before);
    }
}

// The machine's state outlives the worker: a later worker on the same PC finds the layout the
// first one set and the levels its run applied.
TEST(ScenarioRestartTest, ALayoutAndCalibratedLevelsSurviveARestart) {
    std::string state;
    std::vector<Message> firstGains;
    {
        WorkerOnPc first(LoadScenario("default.json"));
        EXPECT_EQ(first.Run({Command(CMD_SELECT_CODEC, 0x0899), Command(CMD_SET_SPEAKERS, 0x3F),
                             Command(CMD_CALIBRATE, 0), Command(CMD_QUERY_GAINS, 0)}),
                  IDC_OK);
        firstGains = first.Received(WM_PEER_CHANNEL_VALUE);
        state = sim::PcStateText(first.pc.audio());
    }
    WorkerOnPc fresh(LoadScenario("default.json"));
    WorkerOnPc second(LoadScenario("default.json"));
    const sim::PcStateLoad load = sim::ApplyPcStateText(state, &second.pc.audio());
    EXPECT_TRUE(load.readable) << load.problem;
    EXPECT_EQ(load.ignored, 0);
    for (WorkerOnPc* worker : {&fresh, &second})
        EXPECT_EQ(worker->Run({Command(CMD_QUERY_SPEAKERS, 0), Command(CMD_QUERY_GAINS, 0)}),
                  IDC_OK);
    EXPECT_EQ(second.Received(WM_PEER_COMMAND),
              (std::vector<Message>{{WM_PEER_COMMAND, REPLY_SPEAKERS, 0x3F}}));
    EXPECT_EQ(second.Received(WM_PEER_CHANNEL_VALUE), firstGains);
    // Without the state the machine is the scenario's again: 7.1 at its own levels.
    EXPECT_EQ(fresh.Received(WM_PEER_COMMAND),
              (std::vector<Message>{{WM_PEER_COMMAND, REPLY_SPEAKERS, 0x63F}}));
    EXPECT_NE(fresh.Received(WM_PEER_CHANNEL_VALUE), firstGains);
}

// The documented failures: a codec that is not on the machine fails the speaker query and starts
// no run; a codec without its microphone starts no run; neither tells the peer about the run,
// changes a level or writes results. The gains are read either way where the codec is there.
TEST(ScenarioFailureTest, AnAbsentCodecOrMicrophoneStartsNoRunAndChangesNothing) {
    struct Case {
        const char* name;
        const char* scenario;
        void (*edit)(nlohmann::json&);
        uint16_t deviceId;
        std::vector<Message> expected;
    };
    auto noMicrophone = [](nlohmann::json& json) {
        nlohmann::json& codec = json["codecs"][0];
        codec["microphone"] = false;
        codec["controls"].erase("mic");
        codec["controls"].erase("boost");
    };
    const Case cases[] = {
        // The 0x0662 PC has no codec 0x0899 (the device the worker uses until told otherwise).
        {"codec absent",
         "codec-0662-six-channel.json",
         nullptr,
         0x0899,
         {{WM_PEER_COMMAND, REPLY_SPEAKERS_FAILED, 0}}},
        {"codec 0x0892 absent",
         "codec-0662-six-channel.json",
         nullptr,
         0x0892,
         {{WM_PEER_COMMAND, REPLY_SPEAKERS_FAILED, 0}}},
        {"microphone missing",
         "codec-0892-six-channel.json",
         noMicrophone,
         0x0892,
         {{WM_PEER_COMMAND, REPLY_SPEAKERS, 0x3F}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Scenario scenario;
        std::string message;
        if (c.edit != nullptr) {
            ASSERT_TRUE(EditedScenario(c.scenario, c.edit, &scenario, &message)) << message;
        } else {
            scenario.options = LoadScenario(c.scenario);
        }
        WorkerOnPc worker(scenario.options);
        const std::string before = sim::PcStateText(worker.pc.audio());
        EXPECT_EQ(worker.Run({Command(CMD_SELECT_CODEC, c.deviceId), Command(CMD_QUERY_SPEAKERS, 0),
                              Command(CMD_CALIBRATE, 0), Command(CMD_CALIBRATE_CHANNEL, 1)}),
                  IDC_OK);
        EXPECT_EQ(worker.finalState, ENGINE_FAILED);
        EXPECT_EQ(worker.peer.received, c.expected);
        EXPECT_EQ(sim::PcStateText(worker.pc.audio()), before);
        EXPECT_TRUE(worker.files.ini.empty());
        EXPECT_EQ(worker.pc.audio().TotalLiveRefs(), 0);
    }
}

// A bad scenario is refused with one message naming the field; no machine is built from it.
TEST(ScenarioFailureTest, ABadScenarioIsRefusedNamingTheField) {
    struct Case {
        const char* scenario;
        void (*edit)(nlohmann::json&);
        const char* message;
    };
    const Case cases[] = {
        {"codec-0892-six-channel.json",
         [](nlohmann::json& json) { json["codecs"][0]["controls"]["front"]["stepDb"] = 1.4; },
         "codecs[0].controls.front.stepDb: 1.4 dB does not divide the range -46.5..0 dB into "
         "whole steps"},
        {"codec-0662-six-channel.json",
         [](nlohmann::json& json) { json["codecs"][0]["controls"]["rear"]["levelDb"][1] = -50; },
         "codecs[0].controls.rear.levelDb[1]: -50 dB is outside -46.5..0 dB"},
        {"default.json", [](nlohmann::json& json) { json["codecs"][0].erase("device"); },
         "codecs[0].device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        sim::Scenario scenario;
        const std::string untouched = scenario.effectiveJson;
        std::string message;
        EXPECT_FALSE(EditedScenario(c.scenario, c.edit, &scenario, &message));
        EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
        EXPECT_EQ(scenario.effectiveJson, untouched);
    }
}

}  // namespace
}  // namespace zelk::testing
