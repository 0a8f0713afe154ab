// The topology walks on their own: which failures end a walk with their status, which end it with
// success and what it has, and how ReadPartLevels reads the kept controls.

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "endpoint/endpoint_enumerator.h"
#include "endpoint/endpoint_test_support.h"
#include "endpoint/topology_walks.h"
#include "platform/sim/sim_audio_system.h"
#include "platform/sim/sim_codec_builder.h"

namespace zelk {
namespace {

using sim::SimAudioSystemBuilder;
using test::kInjected;

enum class Walk { kEight, kSix, kMicrophone };

struct WalkFaultCase {
    const char* name;
    Walk walk;
    const char* object;
    const char* operation;
    uint32_t k;
    Status status;
    int64_t controlsKept;  // controls in the slots after the walk
};

void PrintTo(const WalkFaultCase& c, std::ostream* os) {
    *os << c.name;
}

// Controls of a full walk: eight-channel 6 levels + 7 mixer inputs of mute and level, plus the
// master mute; six-channel 5 levels + 4 mixer inputs, plus the master mute; microphone 3.
constexpr int64_t kEightChannelControls = 6 + 14 + 1;
constexpr int64_t kSixChannelControls = 5 + 8 + 1;

const WalkFaultCase kWalkFaultCases[] = {
    // The head of every walk passes its failures on.
    {"Item", Walk::kEight, "render.collection", "Item", 1, kInjected, 0},
    {"ActivateTopology", Walk::kEight, "render0", "ActivateTopology", 1, kInjected, 0},
    {"GetConnector", Walk::kEight, "render0.topology", "GetConnector", 1, kInjected, 0},
    {"GetDataFlow", Walk::kEight, "render0.connector", "GetDataFlow", 1, kInjected, 0},
    {"GetConnectedTo", Walk::kEight, "render0.connector", "GetConnectedTo", 1, kInjected, 0},
    {"AsPart", Walk::kEight, "render0.speaker", "AsPart", 1, kInjected, 0},
    {"GetSubType", Walk::kEight, "render0.speaker", "GetSubType", 1, kInjected, 0},
    {"SpeakerList", Walk::kEight, "render0.speaker", "EnumPartsIncoming", 1, kInjected, 0},
    {"SpeakerEntry", Walk::kEight, "render0.speaker.incoming", "GetPart", 1, kInjected, 0},
    {"MasterMuteType", Walk::kEight, "render0.master_mute", "GetPartType", 1, kInjected, 0},
    {"MasterType", Walk::kEight, "render0.master", "GetPartType", 1, kInjected, 1},
    {"MasterList", Walk::kEight, "render0.master", "EnumPartsIncoming", 1, kInjected, 2},
    {"MasterCount", Walk::kEight, "render0.master.incoming", "GetCount", 1, kInjected, 2},
    {"FrontEntry", Walk::kEight, "render0.master.incoming", "GetPart", 1, kInjected, 2},
    {"CenterType", Walk::kEight, "render0.center", "GetPartType", 1, kInjected, 5},
    {"EntryNMinus6", Walk::kEight, "render0.master.incoming", "GetPart", 6, kInjected, 7},
    // A control a part cannot give leaves its slot empty and the walk goes on.
    {"FrontActivation", Walk::kEight, "render0.front", "ActivateVolumeLevel", 1, kOk,
     kEightChannelControls - 1},
    // From entry n-6 on, the eight-channel walk ends with success and what it has.
    {"EntryNMinus6Type", Walk::kEight, "render0.in6_mute", "GetPartType", 1, kOk, 7},
    {"SecondInputEntry", Walk::kEight, "render0.master.incoming", "GetPart", 7, kOk, 9},
    {"ThirdInputList", Walk::kEight, "render0.in4_mute", "EnumPartsIncoming", 1, kOk, 12},
    {"LastInputVolumeType", Walk::kEight, "render0.in0_volume", "GetPartType", 1, kOk,
     kEightChannelControls - 1},
    // The six-channel walk tolerates nothing.
    {"SixCenterEntry", Walk::kSix, "render0.master.incoming", "GetPart", 4, kInjected, 5},
    {"SixFirstInputType", Walk::kSix, "render0.in4_mute", "GetPartType", 1, kInjected, 6},
    {"SixLastInputList", Walk::kSix, "render0.in1_mute", "EnumPartsIncoming", 1, kInjected,
     kSixChannelControls - 2 + 1},
    {"SixLastInputVolumeType", Walk::kSix, "render0.in1_volume", "GetPartType", 1, kInjected,
     kSixChannelControls - 1},
    {"SixComplete", Walk::kSix, "nothing", "Fails", 1, kOk, kSixChannelControls},
    // The microphone walk passes its failures on too.
    {"MicHead", Walk::kMicrophone, "capture0.microphone", "GetSubType", 1, kInjected, 0},
    {"MicGainList", Walk::kMicrophone, "capture0.microphone", "EnumPartsOutgoing", 1, kInjected, 0},
    {"MicMuteList", Walk::kMicrophone, "capture0.mic_volume", "EnumPartsOutgoing", 1, kInjected, 1},
    {"MicBoostList", Walk::kMicrophone, "capture0.mic_mute", "EnumPartsOutgoing", 1, kInjected, 2},
    {"MicComplete", Walk::kMicrophone, "nothing", "Fails", 1, kOk, 3},
};

class TopologyWalkFaultTest : public ::testing::TestWithParam<WalkFaultCase> {};

TEST_P(TopologyWalkFaultTest, EndsAsTheWalkAllows) {
    const WalkFaultCase& c = GetParam();
    auto system = SimAudioSystemBuilder()
                      .Add(c.walk == Walk::kSix ? sim::SixChannelRender(0x10EC, 0x0662)
                                                : sim::EightChannelRender(0x10EC, 0x0899))
                      .Add(sim::MicrophoneCapture(0x10EC, 0x0899))
                      .Build();
    auto enumerator = std::make_unique<EndpointEnumerator>(system.get(), kNoWindow);
    enumerator->EnumerateEndpoints(DataFlow::kRender);
    enumerator->EnumerateEndpoints(DataFlow::kCapture);
    system->Faults().FailAt(c.object, c.operation, c.k, kInjected);
    auto record = std::make_unique<EndpointRecord>();
    int32_t inputs = -1;
    Status status = kOk;
    switch (c.walk) {
        case Walk::kEight:
            status = WalkEightChannelTopology(enumerator.get(), 0, record->levelControl,
                                              record->muteControl, &inputs);
            break;
        case Walk::kSix:
            status = WalkSixChannelTopology(enumerator.get(), 0, record->levelControl,
                                            record->muteControl, &inputs);
            break;
        case Walk::kMicrophone:
            status = WalkMicrophoneTopology(enumerator.get(), 0, record->levelControl,
                                            record->muteControl);
            break;
    }
    EXPECT_EQ(status, c.status);
    int64_t kept = 0;
    for (int32_t slot = 0; slot < kPartSlots; ++slot)
        kept += (record->levelControl[slot] ? 1 : 0) + (record->muteControl[slot] ? 1 : 0);
    EXPECT_EQ(kept, c.controlsKept);
    // Everything but the kept controls was given back by the walk.
    EXPECT_EQ(test::EndpointSideRefs(*system), kept) << test::HeldText(*system);
    record.reset();
    enumerator.reset();
    EXPECT_EQ(system->TotalLiveRefs(), 0) << test::HeldText(*system);
    EXPECT_EQ(system->OverReleases(), 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, TopologyWalkFaultTest, ::testing::ValuesIn(kWalkFaultCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TopologyWalkTest, WrongDataFlowAndWrongSubtype) {
    sim::EndpointDesign capture = sim::MicrophoneCapture(0x10EC, 0x0899);
    sim::SetConnectorFlow(&capture, ConnectorFlow::kIn);
    sim::EndpointDesign render = sim::EightChannelRender(0x10EC, 0x0899);
    sim::SetConnectedSubType(&render, kNodeTypeMicrophone);
    sim::EndpointDesign microphoneAsSpeaker = sim::MicrophoneCapture(0x10EC, 0x0899);
    sim::SetConnectedSubType(&microphoneAsSpeaker, kNodeTypeSpeaker);
    auto system = SimAudioSystemBuilder().Add(render).Add(capture).Add(microphoneAsSpeaker).Build();
    EndpointEnumerator enumerator(system.get(), kNoWindow);
    enumerator.EnumerateEndpoints(DataFlow::kRender);
    enumerator.EnumerateEndpoints(DataFlow::kCapture);
    EndpointRecord record;
    int32_t inputs = 0;
    EXPECT_EQ(
        WalkEightChannelTopology(&enumerator, 0, record.levelControl, record.muteControl, &inputs),
        kFail);
    EXPECT_EQ(WalkMicrophoneTopology(&enumerator, 0, record.levelControl, record.muteControl),
              kWrongEndpointType);
    EXPECT_EQ(WalkMicrophoneTopology(&enumerator, 1, record.levelControl, record.muteControl),
              kFail);
    EXPECT_EQ(WalkMicrophoneTopology(&enumerator, 2, record.levelControl, record.muteControl),
              kInvalidArg);  // no such endpoint
    EXPECT_EQ(WalkSixChannelTopology(&enumerator, 0, nullptr, record.muteControl, &inputs), kFail);
    EXPECT_EQ(
        WalkEightChannelTopology(&enumerator, 0, record.levelControl, record.muteControl, nullptr),
        kFail);
    EXPECT_EQ(WalkMicrophoneTopology(nullptr, 0, record.levelControl, record.muteControl), kFail);
}

TEST(TopologyWalkTest, WalkEmptiesItsSlotsFirst) {
    auto system = sim::BuildDefaultPc();
    EndpointEnumerator enumerator(system.get(), kNoWindow);
    enumerator.EnumerateEndpoints(DataFlow::kRender);
    EndpointRecord record;
    int32_t inputs = 0;
    ASSERT_EQ(
        WalkEightChannelTopology(&enumerator, 0, record.levelControl, record.muteControl, &inputs),
        kOk);
    const int64_t held = test::EndpointSideRefs(*system);
    // A second walk into the same slots replaces, it does not add.
    ASSERT_EQ(
        WalkEightChannelTopology(&enumerator, 0, record.levelControl, record.muteControl, &inputs),
        kOk);
    EXPECT_EQ(test::EndpointSideRefs(*system), held);
    EXPECT_EQ(held, kEightChannelControls);
}

struct ReadCase {
    const char* name;
    const char* object;
    const char* operation;
    uint32_t k;
    int32_t frontChannels;
    int32_t masterMuteRead;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadPartLevelsTest : public ::testing::TestWithParam<ReadCase> {};

// Slot 0 is read first (master), then slot 1 (front): the front's calls are the second.
TEST_P(ReadPartLevelsTest, CountsTheLeadingReadableChannels) {
    const ReadCase& c = GetParam();
    auto system = sim::BuildDefaultPc();
    ASSERT_TRUE(system->SetPartMuted("render0.master_mute", true));
    EndpointEnumerator enumerator(system.get(), kNoWindow);
    enumerator.EnumerateEndpoints(DataFlow::kRender);
    auto record = std::make_unique<EndpointRecord>();
    int32_t inputs = 0;
    ASSERT_EQ(WalkEightChannelTopology(&enumerator, 0, record->levelControl, record->muteControl,
                                       &inputs),
              kOk);
    system->Faults().FailAt(c.object, c.operation, c.k, kInjected);
    ReadPartLevels(record.get());
    EXPECT_EQ(record->channelCount[1], c.frontChannels);
    EXPECT_EQ(record->channelCount[0], 2);
    EXPECT_EQ(record->initialMute[0], c.masterMuteRead);
    EXPECT_EQ(system->OverReleases(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, ReadPartLevelsTest,
    ::testing::Values(ReadCase{"AllRead", "nothing", "Fails", 1, 2, 1},
                      ReadCase{"FirstRangeFails", "render0.front", "GetLevelRange", 1, 0, 1},
                      ReadCase{"SecondRangeFails", "render0.front", "GetLevelRange", 2, 1, 1},
                      ReadCase{"SecondLevelFails", "render0.front", "GetLevel", 2, 1, 1},
                      ReadCase{"MuteReadFails", "render0.master_mute", "GetMute", 1, 2, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelk
