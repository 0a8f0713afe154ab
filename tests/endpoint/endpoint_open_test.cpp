// Finding the codec's endpoints: matching, the records Open fills, the topology each walk finds,
// and the references held afterwards.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "endpoint/endpoint_control.h"
#include "endpoint/endpoint_test_support.h"
#include "platform/sim/sim_audio_system.h"
#include "platform/sim/sim_codec_builder.h"

namespace zelk {
namespace {

using sim::EndpointDesign;
using sim::SimAudioSystem;
using sim::SimAudioSystemBuilder;
using sim::SimKind;
using test::LevelSlotParts;
using test::MuteSlotParts;
using test::Slots;

constexpr WindowHandle kWindow = 0x1234;

// After the control lets go of its records only the enumerator and the collections it scanned
// stay held; after its destruction nothing is held and nothing was released twice.
void ExpectReleasesEverything(SimAudioSystem& system, std::unique_ptr<EndpointControl> control) {
    control->ReleaseControls();
    EXPECT_EQ(test::EndpointSideRefs(system), 0) << test::HeldText(system);
    EXPECT_EQ(test::SlotsHeld(*control), 0);
    control.reset();
    EXPECT_EQ(system.TotalLiveRefs(), 0) << test::HeldText(system);
    EXPECT_EQ(system.OverReleases(), 0);
}

// While opened, the records hold exactly one reference per kept control and nothing else below the
// collections.
void ExpectOnlyControlsHeld(const SimAudioSystem& system, const EndpointControl& control) {
    EXPECT_EQ(system.LiveRefs(SimKind::kVolumeLevel) + system.LiveRefs(SimKind::kMute),
              test::SlotsHeld(control));
    EXPECT_EQ(test::EndpointSideRefs(system), test::SlotsHeld(control)) << test::HeldText(system);
    EXPECT_EQ(test::StraySlots(control), 0);
    EXPECT_EQ(system.OverReleases(), 0);
}

struct MatchCase {
    const char* name;
    std::u16string hardwarePath;
    bool matches;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
    *os << c.name;
}

class EndpointMatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(EndpointMatchTest, UpperCasedHardwarePathContainsTheCodec) {
    const MatchCase& c = GetParam();
    EndpointDesign render = sim::EightChannelRender(0x10EC, 0x0899);
    render.hardwarePath = c.hardwarePath;
    auto system = SimAudioSystemBuilder().Add(render).Build();
    auto control = std::make_unique<EndpointControl>(system.get(), kWindow);
    int32_t renderKind = 0;
    int32_t captureKind = 0;
    EXPECT_EQ(control->Open(0x10EC, 0x0899, 0, &renderKind, &captureKind), c.matches ? kOk : kFail);
    EXPECT_EQ(control->RecordCount(DataFlow::kRender), c.matches ? 1 : 0);
    EXPECT_EQ(control->opened(), c.matches);
    ExpectReleasesEverything(*system, std::move(control));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, EndpointMatchTest,
    ::testing::Values(
        MatchCase{"MixedCase", sim::CodecHardwarePath(0x10EC, 0x0899), true},
        MatchCase{"LowerCase", u"{1}.hdaudio\\func_01&ven_10ec&dev_0899&subsys_10438445", true},
        MatchCase{"FollowedByMoreDigits", u"HDAUDIO\\FUNC_01&VEN_10EC&DEV_08991234", true},
        MatchCase{"OtherVendor", sim::CodecHardwarePath(0x8086, 0x0899), false},
        MatchCase{"OtherDevice", sim::CodecHardwarePath(0x10EC, 0x0892), false},
        MatchCase{"CutShort", u"HDAUDIO\\FUNC_01&VEN_10EC&DEV_089", false},
        MatchCase{"Empty", u"", false},
        // Only the first 259 units of the path are read.
        MatchCase{"BeyondTheTextLength", std::u16string(250, u'x') + u"VEN_10EC&DEV_0899", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct TopologyCase {
    const char* name;
    uint16_t deviceId;
    std::function<EndpointDesign()> render;
    Status status;
    int32_t kind;  // 0: not written
    int32_t masterInputCount;
    std::vector<std::string> levels;
    std::vector<std::string> mutes;
};

EndpointDesign Edited(EndpointDesign design, const std::function<bool(EndpointDesign*)>& edit) {
    EXPECT_TRUE(edit(&design));
    return design;
}

const std::vector<std::string> kEightChannelLevels = Slots({{0, "render0.master"},
                                                            {1, "render0.front"},
                                                            {2, "render0.rear"},
                                                            {3, "render0.subwoofer"},
                                                            {4, "render0.center"},
                                                            {5, "render0.side"},
                                                            {6, "render0.in6_volume"},
                                                            {7, "render0.in5_volume"},
                                                            {8, "render0.in4_volume"},
                                                            {9, "render0.in3_volume"},
                                                            {10, "render0.in2_volume"},
                                                            {11, "render0.in1_volume"},
                                                            {12, "render0.in0_volume"}});
const std::vector<std::string> kEightChannelMutes = Slots({{0, "render0.master_mute"},
                                                           {6, "render0.in6_mute"},
                                                           {7, "render0.in5_mute"},
                                                           {8, "render0.in4_mute"},
                                                           {9, "render0.in3_mute"},
                                                           {10, "render0.in2_mute"},
                                                           {11, "render0.in1_mute"},
                                                           {12, "render0.in0_mute"}});
const std::vector<std::string> kSixChannelLevels = Slots({{0, "render0.master"},
                                                          {1, "render0.front"},
                                                          {2, "render0.rear"},
                                                          {3, "render0.subwoofer"},
                                                          {4, "render0.center"},
                                                          {5, "render0.in4_volume"},
                                                          {6, "render0.in3_volume"},
                                                          {7, "render0.in2_volume"},
                                                          {8, "render0.in1_volume"}});
const std::vector<std::string> kSixChannelMutes = Slots({{0, "render0.master_mute"},
                                                         {5, "render0.in4_mute"},
                                                         {6, "render0.in3_mute"},
                                                         {7, "render0.in2_mute"},
                                                         {8, "render0.in1_mute"}});

std::vector<std::string> Without(std::vector<std::string> names, std::vector<int32_t> slots) {
    for (int32_t slot : slots)
        names[static_cast<size_t>(slot)].clear();
    return names;
}

const TopologyCase kTopologyCases[] = {
    {"EightChannelTwelveEntries", 0x0899, [] { return sim::EightChannelRender(0x10EC, 0x0899); },
     kOk, 8, 12, kEightChannelLevels, kEightChannelMutes},
    {"EightChannelSevenEntries", 0x0899, [] { return sim::EightChannelRender(0x10EC, 0x0899, 7); },
     kOk, 8, 7,
     Slots({{0, "render0.master"},
            {1, "render0.front"},
            {2, "render0.rear"},
            {3, "render0.subwoofer"},
            {4, "render0.center"},
            {5, "render0.side"},
            {6, "render0.in1_volume"},
            {7, "render0.in0_volume"}}),
     Slots({{0, "render0.master_mute"}, {6, "render0.in1_mute"}, {7, "render0.in0_mute"}})},
    {"EightChannelNineEntries", 0x0899, [] { return sim::EightChannelRender(0x10EC, 0x0899, 9); },
     kOk, 8, 9,
     Slots({{0, "render0.master"},
            {1, "render0.front"},
            {2, "render0.rear"},
            {3, "render0.subwoofer"},
            {4, "render0.center"},
            {5, "render0.side"},
            {6, "render0.in3_volume"},
            {7, "render0.in2_volume"},
            {8, "render0.in1_volume"},
            {9, "render0.in0_volume"}}),
     Slots({{0, "render0.master_mute"},
            {6, "render0.in3_mute"},
            {7, "render0.in2_mute"},
            {8, "render0.in1_mute"},
            {9, "render0.in0_mute"}})},
    {"EightChannelTooFewEntries", 0x0899, [] { return sim::EightChannelRender(0x10EC, 0x0899, 6); },
     kFail, 0, 6, Slots({}), Slots({})},
    {"SixChannelCodec", 0x0662, [] { return sim::SixChannelRender(0x10EC, 0x0662); }, kOk, 6, 9,
     kSixChannelLevels, kSixChannelMutes},
    {"SixChannelCodecWithTwelveEntries", 0x0662,
     [] { return sim::EightChannelRender(0x10EC, 0x0662); }, kFail, 0, 12, Slots({}), Slots({})},
    {"SixOrEightAsSix", 0x0892, [] { return sim::SixChannelRender(0x10EC, 0x0892); }, kOk, 6, 9,
     kSixChannelLevels, kSixChannelMutes},
    {"SixOrEightFallsBackToEight", 0x0892, [] { return sim::EightChannelRender(0x10EC, 0x0892); },
     kOk, 8, 12, kEightChannelLevels, kEightChannelMutes},
    {"ConnectorInsteadOfCenter", 0x0899,
     [] {
         return Edited(sim::EightChannelRender(0x10EC, 0x0899),
                       [](EndpointDesign* s) { return sim::MakeConnector(s, "center"); });
     },
     kOk, 8, 12, Without(kEightChannelLevels, {4, 5, 6, 7, 8, 9, 10, 11, 12}),
     Slots({{0, "render0.master_mute"}})},
    {"ConnectorInsteadOfMasterMute", 0x0899,
     [] {
         return Edited(sim::EightChannelRender(0x10EC, 0x0899),
                       [](EndpointDesign* s) { return sim::MakeConnector(s, "master_mute"); });
     },
     kOk, 8, 0, Slots({}), Slots({})},
    {"ConnectorInsteadOfAMixerInput", 0x0899,
     [] {
         return Edited(sim::EightChannelRender(0x10EC, 0x0899),
                       [](EndpointDesign* s) { return sim::MakeConnector(s, "in4_mute"); });
     },
     kOk, 8, 12, Without(kEightChannelLevels, {8, 9, 10, 11, 12}),
     Without(kEightChannelMutes, {8, 9, 10, 11, 12})},
    {"ConnectorBehindAMixerInput", 0x0662,
     [] {
         return Edited(sim::SixChannelRender(0x10EC, 0x0662),
                       [](EndpointDesign* s) { return sim::MakeConnector(s, "in3_volume"); });
     },
     kOk, 6, 9, Without(kSixChannelLevels, {6, 7, 8}), Without(kSixChannelMutes, {7, 8})},
    {"PartWithoutControl", 0x0899,
     [] {
         return Edited(sim::EightChannelRender(0x10EC, 0x0899),
                       [](EndpointDesign* s) { return sim::RemoveControls(s, "rear"); });
     },
     kOk, 8, 12, Without(kEightChannelLevels, {2}), kEightChannelMutes},
    {"MuteWithoutLevel", 0x0899,
     [] {
         return Edited(sim::EightChannelRender(0x10EC, 0x0899),
                       [](EndpointDesign* s) { return sim::RemoveLevel(s, "in6_volume"); });
     },
     kOk, 8, 12, Without(kEightChannelLevels, {6}), kEightChannelMutes},
    {"WrongDataFlow", 0x0899,
     [] {
         EndpointDesign design = sim::EightChannelRender(0x10EC, 0x0899);
         sim::SetConnectorFlow(&design, ConnectorFlow::kOut);
         return design;
     },
     kFail, 0, 0, Slots({}), Slots({})},
    {"NotASpeaker", 0x0899,
     [] {
         EndpointDesign design = sim::EightChannelRender(0x10EC, 0x0899);
         sim::SetConnectedSubType(&design, kNodeTypeMicrophone);
         return design;
     },
     kFail, 0, 0, Slots({}), Slots({})},
    {"NotConnected", 0x0899,
     [] {
         EndpointDesign design = sim::EightChannelRender(0x10EC, 0x0899);
         design.connected = false;
         return design;
     },
     kFail, 0, 0, Slots({}), Slots({})},
};

void PrintTo(const TopologyCase& c, std::ostream* os) {
    *os << c.name;
}

class EndpointTopologyTest : public ::testing::TestWithParam<TopologyCase> {};

TEST_P(EndpointTopologyTest, WalkFillsTheSlots) {
    const TopologyCase& c = GetParam();
    auto system = SimAudioSystemBuilder().Add(c.render()).Build();
    auto control = std::make_unique<EndpointControl>(system.get(), kWindow);
    int32_t renderKind = 0;
    int32_t captureKind = 0;
    ASSERT_EQ(control->Open(0x10EC, c.deviceId, 0, &renderKind, &captureKind), c.status);
    EXPECT_EQ(renderKind, c.kind);
    EXPECT_EQ(captureKind, 0);
    EXPECT_EQ(control->masterInputCount(), c.masterInputCount);
    EXPECT_EQ(control->RecordCount(DataFlow::kRender), c.status == kOk ? 1 : 0);
    const EndpointRecord& record = control->Record(DataFlow::kRender, 0);
    EXPECT_EQ(LevelSlotParts(*system, record), c.levels);
    EXPECT_EQ(MuteSlotParts(*system, record), c.mutes);
    ExpectOnlyControlsHeld(*system, *control);
    ExpectReleasesEverything(*system, std::move(control));
}

INSTANTIATE_TEST_SUITE_P(Shapes, EndpointTopologyTest, ::testing::ValuesIn(kTopologyCases),
                         [](const auto& info) { return std::string(info.param.name); });

class EndpointOpenTest : public ::testing::Test {
  protected:
    void Build(SimAudioSystemBuilder builder) {
        system_ = builder.Build();
        control_ = std::make_unique<EndpointControl>(system_.get(), kWindow);
    }
    Status Open(uint16_t deviceId, int32_t includeCapture) {
        return control_->Open(0x10EC, deviceId, includeCapture, &renderKind_, &captureKind_);
    }
    void TearDown() override {
        if (control_)
            ExpectReleasesEverything(*system_, std::move(control_));
    }

    std::unique_ptr<SimAudioSystem> system_;
    std::unique_ptr<EndpointControl> control_;
    int32_t renderKind_ = -1;
    int32_t captureKind_ = -1;
};

TEST_F(EndpointOpenTest, RecordsIdentityMasksFormatAndLevels) {
    EndpointDesign render = sim::EightChannelRender(0x10EC, 0x0899);
    ASSERT_TRUE(sim::SetChannelCount(&render, "master", 9));
    sim::FindPart(&render, "in6_mute")->muted = true;
    ASSERT_TRUE(sim::RemoveLevel(&render, "in6_volume"));
    Build(SimAudioSystemBuilder()
              .Add(sim::EightChannelRender(0x10EC, 0x0662))
              .Add(render)
              .Add(sim::MicrophoneCapture(0x10EC, 0x0899)));
    ASSERT_EQ(Open(0x0899, 1), kOk);
    EXPECT_EQ(renderKind_, 8);
    EXPECT_EQ(captureKind_, 2);
    ASSERT_NE(control_->FirstRenderRecord(), nullptr);
    const EndpointRecord& record = *control_->FirstRenderRecord();
    EXPECT_EQ(record.deviceIndex, 1);
    EXPECT_EQ(test::Narrow(record.endpointId),
              "{0.0.0.00000000}.{5c1a10ec-0899-4d2e-9b1f-0a7e3c5d6f01}");
    EXPECT_EQ(test::Narrow(record.friendlyName), "Speakers (Onboard HD Audio)");
    EXPECT_EQ(test::Narrow(record.description), "Speakers");
    EXPECT_EQ(record.physicalSpeakers, 0x63Fu);
    EXPECT_EQ(record.fullRangeSpeakers, 0x63Fu);
    EXPECT_EQ(record.deviceFormat.nChannels, 8);
    EXPECT_EQ(record.deviceFormat.nSamplesPerSec, 48000u);
    EXPECT_EQ(record.deviceFormat.dwChannelMask, 0x63Fu);
    EXPECT_EQ(record.deviceFormat.SubFormat, kSubtypePcm);

    // A control of nine channels is read up to eight; two channels give two; one gives one.
    EXPECT_EQ(record.channelCount[0], 8);
    EXPECT_EQ(record.channelCount[1], 2);
    EXPECT_EQ(record.channelCount[3], 1);
    EXPECT_EQ(record.channelCount[13], 0);
    EXPECT_FLOAT_EQ(record.minDb[1][1], -46.5f);
    EXPECT_FLOAT_EQ(record.maxDb[1][1], 0.0f);
    EXPECT_FLOAT_EQ(record.stepDb[1][1], 1.5f);
    EXPECT_FLOAT_EQ(record.currentDb[1][0], -3.0f);
    EXPECT_FLOAT_EQ(record.currentDb[1][1], -4.5f);
    for (int32_t slot = 0; slot < kPartSlots; ++slot) {
        for (int32_t channel = 0; channel < kSlotChannels; ++channel)
            EXPECT_EQ(record.initialDb[slot][channel], record.currentDb[slot][channel]);
    }
    // A mute without a level keeps no channels but its mute state is read.
    EXPECT_EQ(record.channelCount[6], 0);
    EXPECT_EQ(record.initialMute[6], 1);
    EXPECT_EQ(record.initialMute[7], 0);
    EXPECT_EQ(record.initialMute[8], 1);

    const EndpointRecord* capture = control_->FirstCaptureRecord();
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(LevelSlotParts(*system_, *capture),
              Slots({{0, "capture0.mic_volume"}, {1, "capture0.boost"}}));
    EXPECT_EQ(MuteSlotParts(*system_, *capture), Slots({{0, "capture0.mic_mute"}}));
    EXPECT_EQ(capture->channelCount[0], 2);
    EXPECT_FLOAT_EQ(capture->initialDb[1][0], 10.0f);
    EXPECT_EQ(capture->deviceFormat.nChannels, 2);
    ExpectOnlyControlsHeld(*system_, *control_);
}

TEST_F(EndpointOpenTest, SecondOpenIsANoOpUntilReleased) {
    Build(sim::DefaultPcBuilder());
    ASSERT_EQ(Open(0x0899, 1), kOk);
    const int64_t held = system_->TotalLiveRefs();
    renderKind_ = -1;
    captureKind_ = -1;
    EXPECT_EQ(control_->Open(0x10EC, 0x0662, 1, &renderKind_, &captureKind_), kOk);
    EXPECT_EQ(renderKind_, -1);
    EXPECT_EQ(captureKind_, -1);
    EXPECT_EQ(control_->deviceId(), 0x0899);
    EXPECT_EQ(system_->TotalLiveRefs(), held);

    control_->ReleaseControls();
    EXPECT_FALSE(control_->opened());
    EXPECT_EQ(control_->RecordCount(DataFlow::kRender), 0);
    EXPECT_EQ(control_->FirstRenderRecord(), nullptr);
    ASSERT_EQ(Open(0x0899, 1), kOk);
    EXPECT_EQ(renderKind_, 8);
    EXPECT_EQ(captureKind_, 2);
    ExpectOnlyControlsHeld(*system_, *control_);
}

TEST_F(EndpointOpenTest, OpenWithoutCaptureLeavesCaptureEmpty) {
    Build(sim::DefaultPcBuilder());
    ASSERT_EQ(Open(0x0899, 0), kOk);
    EXPECT_EQ(control_->RecordCount(DataFlow::kCapture), 0);
    EXPECT_EQ(control_->FirstCaptureRecord(), nullptr);
    EXPECT_EQ(captureKind_, -1);
    EXPECT_EQ(system_->RefsOf("capture.collection", SimKind::kCollection), 0u);
}

TEST_F(EndpointOpenTest, MissingCaptureFailsButKeepsTheRenderRecords) {
    Build(SimAudioSystemBuilder()
              .Add(sim::EightChannelRender(0x10EC, 0x0899))
              .Add(sim::MicrophoneCapture(0x10EC, 0x0662)));
    EXPECT_EQ(Open(0x0899, 1), kFail);
    EXPECT_FALSE(control_->opened());
    EXPECT_EQ(control_->RecordCount(DataFlow::kRender), 1);
    EXPECT_EQ(control_->RecordCount(DataFlow::kCapture), 0);
    EXPECT_EQ(renderKind_, 8);
    ExpectOnlyControlsHeld(*system_, *control_);
}

TEST_F(EndpointOpenTest, EndpointFailingItsWalkIsSkipped) {
    EndpointDesign notSpeaker = sim::SixChannelRender(0x10EC, 0x0662);
    sim::SetConnectedSubType(&notSpeaker, Guid{});
    Build(SimAudioSystemBuilder()
              .Add(sim::SixChannelRender(0x10EC, 0x0662))
              .Add(notSpeaker)
              .Add(sim::SixChannelRender(0x10EC, 0x0662)));
    // The first endpoint fails late in its walk, after its controls were collected.
    system_->Faults().FailAt("render0.in1_mute", "EnumPartsIncoming", 1, test::kInjected);
    ASSERT_EQ(Open(0x0662, 0), kOk);
    EXPECT_EQ(control_->RecordCount(DataFlow::kRender), 1);
    const EndpointRecord& record = control_->Record(DataFlow::kRender, 0);
    EXPECT_EQ(record.deviceIndex, 2);
    EXPECT_EQ(LevelSlotParts(*system_, record)[1], "render2.front");
    EXPECT_EQ(system_->RefsOf("render0.master", SimKind::kVolumeLevel), 0u);
    ExpectOnlyControlsHeld(*system_, *control_);
}

TEST_F(EndpointOpenTest, UnreadableHardwarePathNeverMatches) {
    // Another maker's endpoint whose path cannot be read, after the codec's has matched.
    Build(SimAudioSystemBuilder()
              .Add(sim::EightChannelRender(0x10EC, 0x0899))
              .Add(sim::EightChannelRender(0x1002, 0xAA01)));
    system_->Faults().FailAt("render1.store", "GetValue", 1, test::kInjected);
    ASSERT_EQ(Open(0x0899, 0), kOk);
    EXPECT_EQ(control_->RecordCount(DataFlow::kRender), 1);
    EXPECT_EQ(system_->RefsOf("render1.master", SimKind::kVolumeLevel), 0u);
    ExpectOnlyControlsHeld(*system_, *control_);
}

TEST_F(EndpointOpenTest, EndpointTakingOverASkippedRecordStartsFromNothing) {
    EndpointDesign notSpeaker = sim::EightChannelRender(0x10EC, 0x0899);
    sim::SetConnectedSubType(&notSpeaker, Guid{});
    Build(SimAudioSystemBuilder().Add(notSpeaker).Add(sim::EightChannelRender(0x10EC, 0x0899)));
    // Reads of the second endpoint: hardware path, friendly name, description, physical speakers.
    system_->Faults().FailAt("render1.store", "GetValue", 2, test::kInjected);
    system_->Faults().FailAt("render1.store", "GetValue", 4, test::kInjected);
    ASSERT_EQ(Open(0x0899, 0), kOk);
    ASSERT_EQ(control_->RecordCount(DataFlow::kRender), 1);
    const EndpointRecord& record = control_->Record(DataFlow::kRender, 0);
    EXPECT_EQ(record.deviceIndex, 1);
    // Nothing of the skipped endpoint is left where the reads failed.
    EXPECT_EQ(test::Narrow(record.friendlyName), "");
    EXPECT_EQ(record.physicalSpeakers, 0u);
    EXPECT_EQ(test::Narrow(record.description), "Speakers");
    EXPECT_EQ(record.fullRangeSpeakers, 0x63Fu);
    ExpectOnlyControlsHeld(*system_, *control_);
}

TEST_F(EndpointOpenTest, FallbackToEightChannelsKeepsNothingOfTheSixChannelWalk) {
    // The six-channel walk collects the mixer inputs in slots 5 to 7, then fails at slot 8.
    Build(SimAudioSystemBuilder().Add(sim::SixChannelRender(0x10EC, 0x0892)));
    system_->Faults().FailAt("render0.in1_mute", "EnumPartsIncoming", 1, test::kInjected);
    ASSERT_EQ(Open(0x0892, 0), kOk);
    EXPECT_EQ(renderKind_, 8);
    EXPECT_EQ(control_->masterInputCount(), 9);
    const EndpointRecord& record = control_->Record(DataFlow::kRender, 0);
    // Entry 4 (a mixer input's mute) stands where the eight-channel walk expects Side.
    EXPECT_EQ(LevelSlotParts(*system_, record), Slots({{0, "render0.master"},
                                                       {1, "render0.front"},
                                                       {2, "render0.rear"},
                                                       {3, "render0.subwoofer"},
                                                       {4, "render0.center"},
                                                       {6, "render0.in3_volume"},
                                                       {7, "render0.in2_volume"},
                                                       {8, "render0.in1_volume"}}));
    EXPECT_EQ(MuteSlotParts(*system_, record), Slots({{0, "render0.master_mute"},
                                                      {6, "render0.in3_mute"},
                                                      {7, "render0.in2_mute"},
                                                      {8, "render0.in1_mute"}}));
    EXPECT_EQ(system_->RefsOf("render0.in4_mute", SimKind::kMute), 0u);
    ExpectOnlyControlsHeld(*system_, *control_);
}

TEST_F(EndpointOpenTest, SeventeenthMatchingEndpointIsIgnored) {
    SimAudioSystemBuilder builder;
    for (int i = 0; i < 17; ++i)
        builder.Add(sim::EightChannelRender(0x10EC, 0x0899, 7));
    Build(std::move(builder));
    ASSERT_EQ(Open(0x0899, 0), kOk);
    EXPECT_EQ(control_->RecordCount(DataFlow::kRender), kMaxEndpointRecords);
    EXPECT_EQ(control_->Record(DataFlow::kRender, 15).deviceIndex, 15);
    EXPECT_EQ(system_->RefsOf("render16.master", SimKind::kVolumeLevel), 0u);
    EXPECT_EQ(system_->RefsOf("render15.master", SimKind::kVolumeLevel), 1u);
    ExpectOnlyControlsHeld(*system_, *control_);
}

TEST_F(EndpointOpenTest, KindAndInputCountDescribeTheFirstRenderRecord) {
    Build(SimAudioSystemBuilder()
              .Add(sim::SixChannelRender(0x10EC, 0x0892))
              .Add(sim::EightChannelRender(0x10EC, 0x0892)));
    ASSERT_EQ(Open(0x0892, 0), kOk);
    EXPECT_EQ(control_->RecordCount(DataFlow::kRender), 2);
    EXPECT_EQ(renderKind_, 6);
    EXPECT_EQ(control_->masterInputCount(), 9);
    EXPECT_EQ(LevelSlotParts(*system_, control_->Record(DataFlow::kRender, 1))[5], "render1.side");
}

TEST_F(EndpointOpenTest, RefusesAbsentKindSlots) {
    Build(sim::DefaultPcBuilder());
    EXPECT_EQ(control_->Open(0x10EC, 0x0899, 0, &renderKind_, nullptr), kFail);
    EXPECT_EQ(control_->Open(0x10EC, 0x0899, 0, nullptr, &captureKind_), kFail);
    EXPECT_FALSE(control_->opened());
    EXPECT_EQ(test::EndpointSideRefs(*system_), 0);
}

TEST(EndpointOpenWithoutAudioTest, FailsWithoutADeviceEnumerator) {
    EndpointControl noPlatform(nullptr, kWindow);
    int32_t renderKind = 0;
    int32_t captureKind = 0;
    EXPECT_FALSE(noPlatform.enumerator()->HasDeviceEnumerator());
    EXPECT_EQ(noPlatform.Open(0x10EC, 0x0899, 0, &renderKind, &captureKind), kFail);
    EXPECT_EQ(noPlatform.enumerator()->GetEndpointCount(DataFlow::kRender), 0);

    auto system = sim::BuildDefaultPc();
    system->Faults().FailAt("system", "CreateDeviceEnumerator", 1, test::kInjected);
    auto control = std::make_unique<EndpointControl>(system.get(), kWindow);
    EXPECT_EQ(control->Open(0x10EC, 0x0899, 0, &renderKind, &captureKind), kFail);
    EXPECT_EQ(system->TotalLiveRefs(), 0);
}

TEST_F(EndpointOpenTest, NoCollectionFindsNothing) {
    Build(sim::DefaultPcBuilder());
    system_->Faults().FailAt("enumerator", "EnumActiveEndpoints", 1, test::kInjected);
    EXPECT_EQ(Open(0x0899, 0), kFail);
    EXPECT_EQ(control_->enumerator()->GetEndpointCount(DataFlow::kRender), 0);
    // The collections are asked for afresh by the next scan.
    EXPECT_EQ(Open(0x0899, 0), kOk);
}

}  // namespace
}  // namespace zelk
