// Level and mute operations over the simulated codec: clamping, flooring and capping, the
// microphone set-up, and putting everything back.

#include <gtest/gtest.h>

#include <map>
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
using sim::SimAudioSystemBuilder;
using test::kInjected;

constexpr float kFloorDb = -65.25f;

// Every level and mute state of the codec, by part.
struct CodecState {
    std::map<std::string, std::vector<float>> levels;
    std::map<std::string, bool> mutes;

    friend bool operator==(const CodecState&, const CodecState&) = default;
};

CodecState Snapshot(const sim::SimAudioSystem& system) {
    CodecState state;
    for (DataFlow flow : {DataFlow::kRender, DataFlow::kCapture}) {
        for (int32_t i = 0; i < system.EndpointCount(flow); ++i) {
            for (const auto& part : system.Endpoint(flow, i)->topology().parts()) {
                if (part->level() != nullptr) {
                    sim::ChannelDesign channel;
                    for (uint32_t c = 0; part->level()->ReadChannel(c, &channel); ++c)
                        state.levels[part->name()].push_back(channel.levelDb);
                }
                if (part->mute() != nullptr)
                    state.mutes[part->name()] = part->mute()->Muted();
            }
        }
    }
    return state;
}

std::ostream& operator<<(std::ostream& os, const CodecState& state) {
    for (const auto& [name, levels] : state.levels) {
        os << name << ":";
        for (float level : levels)
            os << " " << level;
        os << "; ";
    }
    for (const auto& [name, muted] : state.mutes)
        os << name << (muted ? " muted; " : " on; ");
    return os;
}

class LevelOperationsTest : public ::testing::Test {
  protected:
    void Open(EndpointDesign render, EndpointDesign capture, uint16_t deviceId) {
        system_ = SimAudioSystemBuilder().Add(std::move(render)).Add(std::move(capture)).Build();
        control_ = std::make_unique<EndpointControl>(system_.get(), kNoWindow);
        int32_t renderKind = 0;
        int32_t captureKind = 0;
        ASSERT_EQ(control_->Open(0x10EC, deviceId, 1, &renderKind, &captureKind), kOk);
        initial_ = Snapshot(*system_);
    }
    void OpenEightChannel() {
        Open(sim::EightChannelRender(0x10EC, 0x0899), sim::MicrophoneCapture(0x10EC, 0x0899),
             0x0899);
    }
    void OpenSixChannel() {
        Open(sim::SixChannelRender(0x10EC, 0x0662), sim::MicrophoneCapture(0x10EC, 0x0662), 0x0662);
    }
    void TearDown() override {
        if (!control_)
            return;
        control_.reset();
        EXPECT_EQ(system_->TotalLiveRefs(), 0) << test::HeldText(*system_);
        EXPECT_EQ(system_->OverReleases(), 0);
    }
    float Level(const std::string& part, uint32_t channel) const {
        float db = 99.0f;
        EXPECT_TRUE(system_->PartLevel(part, channel, &db)) << part;
        return db;
    }
    bool Muted(const std::string& part) const {
        bool muted = false;
        EXPECT_TRUE(system_->PartMuted(part, &muted)) << part;
        return muted;
    }
    const EndpointRecord& Render() const { return *control_->FirstRenderRecord(); }
    const EndpointRecord& Capture() const { return *control_->FirstCaptureRecord(); }

    std::unique_ptr<sim::SimAudioSystem> system_;
    std::unique_ptr<EndpointControl> control_;
    CodecState initial_;
};

struct SetChannelCase {
    const char* name;
    int32_t channel;
    float requested;
    Status status;
    const char* part;  // null: nothing is set
    uint32_t partChannel;
    float set;
};

void PrintTo(const SetChannelCase& c, std::ostream* os) {
    *os << c.name;
}

class SetChannelLevelTest : public LevelOperationsTest,
                            public ::testing::WithParamInterface<SetChannelCase> {};

TEST_P(SetChannelLevelTest, ClampsIntoTheCachedRange) {
    const SetChannelCase& c = GetParam();
    OpenEightChannel();
    EXPECT_EQ(control_->SetChannelLevel(c.channel, c.requested), c.status);
    CodecState expected = initial_;
    if (c.part != nullptr)
        expected.levels[c.part][c.partChannel] = c.set;
    EXPECT_EQ(Snapshot(*system_), expected);
    if (c.part != nullptr) {
        float current = 0.0f;
        ASSERT_EQ(control_->GetChannelLevel(c.channel, &current), kOk);
        EXPECT_FLOAT_EQ(current, c.set);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, SetChannelLevelTest,
    ::testing::Values(SetChannelCase{"BelowTheRange", 0, -80.0f, kOk, "render0.front", 0, -46.5f},
                      SetChannelCase{"AboveTheRange", 0, 6.0f, kOk, "render0.front", 0, 0.0f},
                      SetChannelCase{"InRange", 1, -19.5f, kOk, "render0.front", 1, -19.5f},
                      // The control holds a step; the record keeps what it holds.
                      SetChannelCase{"HalfWayGoesUp", 1, -20.25f, kOk, "render0.front", 1, -19.5f},
                      SetChannelCase{"NearerTheLowerStep", 1, -20.4f, kOk, "render0.front", 1,
                                     -21.0f},
                      SetChannelCase{"RearRight", 3, -1.5f, kOk, "render0.rear", 1, -1.5f},
                      SetChannelCase{"Subwoofer", 4, -100.0f, kOk, "render0.subwoofer", 0, -46.5f},
                      SetChannelCase{"Center", 5, -30.0f, kOk, "render0.center", 0, -30.0f},
                      SetChannelCase{"SideRight", 7, -3.0f, kOk, "render0.side", 1, -3.0f},
                      SetChannelCase{"NoSuchChannel", 8, -3.0f, kFail, nullptr, 0, 0},
                      SetChannelCase{"Negative", -1, -3.0f, kFail, nullptr, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LevelOperationsTest, FailedSetKeepsTheCurrentLevel) {
    OpenEightChannel();
    system_->Faults().FailAt("render0.front", "SetLevel", 1, kInjected);
    EXPECT_EQ(control_->SetChannelLevel(0, -30.0f), kOk);
    EXPECT_FLOAT_EQ(Render().currentDb[1][0], -3.0f);
    // The live range decides, not the cached one.
    sim::ChannelDesign narrowed{-20.0f, 0.0f, 1.5f, -3.0f};
    ASSERT_TRUE(system_->SetPartChannel("render0.front", 0, narrowed));
    EXPECT_EQ(control_->SetChannelLevel(0, -30.0f), kOk);
    EXPECT_FLOAT_EQ(Render().currentDb[1][0], -3.0f);
    EXPECT_FLOAT_EQ(Level("render0.front", 0), -3.0f);
}

TEST_F(LevelOperationsTest, SetLevelInRangeSetsOnlyWhatTheLiveRangeHolds) {
    OpenEightChannel();
    VolumeLevelControl* front = Render().levelControl[1].Get();
    EXPECT_EQ(control_->SetLevelInRange(front, 0, -12.0f), kOk);
    EXPECT_FLOAT_EQ(Level("render0.front", 0), -12.0f);
    EXPECT_FLOAT_EQ(Render().currentDb[1][0], -3.0f);  // the record is the caller's business
    EXPECT_EQ(control_->SetLevelInRange(front, 0, 0.5f), kFail);
    EXPECT_EQ(control_->SetLevelInRange(front, 0, -47.0f), kFail);
    EXPECT_FLOAT_EQ(Level("render0.front", 0), -12.0f);
    EXPECT_EQ(control_->SetLevelInRange(front, 2, -12.0f), kInvalidArg);  // no such channel
    system_->Faults().FailAt("render0.front", "SetLevel", 1, kInjected);
    EXPECT_EQ(control_->SetLevelInRange(front, 0, -6.0f), kInjected);
    EXPECT_EQ(control_->SetLevelInRange(nullptr, 0, -6.0f), kFail);
}

TEST_F(LevelOperationsTest, PrepareRenderLevelsFloorsEachChannelAndMutesTheInputs) {
    EndpointDesign render = sim::EightChannelRender(0x10EC, 0x0899);
    sim::FindPart(&render, "master_mute")->muted = true;
    ASSERT_TRUE(
        sim::SetChannel(&render, "master", 1, sim::ChannelDesign{-30.0f, 0.0f, 1.5f, -7.5f}));
    Open(render, sim::MicrophoneCapture(0x10EC, 0x0899), 0x0899);

    EXPECT_EQ(control_->PrepareRenderLevels(kFloorDb, kFloorDb), kOk);
    CodecState expected = initial_;
    expected.levels["render0.master"] = {-46.5f, -30.0f};
    for (const char* part : {"render0.front", "render0.rear", "render0.side"})
        expected.levels[part] = {-46.5f, -46.5f};
    expected.levels["render0.subwoofer"] = {-46.5f};
    expected.levels["render0.center"] = {-46.5f};
    expected.mutes["render0.master_mute"] = false;
    for (int entry = 0; entry <= 6; ++entry)
        expected.mutes["render0.in" + std::to_string(entry) + "_mute"] = true;
    EXPECT_EQ(Snapshot(*system_), expected);
    EXPECT_FLOAT_EQ(Render().currentDb[0][1], -30.0f);
    EXPECT_FLOAT_EQ(Render().currentDb[5][1], -46.5f);
}

TEST_F(LevelOperationsTest, PrepareRenderLevelsDoesNotCapAboveTheRange) {
    OpenEightChannel();
    EXPECT_EQ(control_->PrepareRenderLevels(10.0f, 10.0f), kOk);
    CodecState expected = initial_;
    for (int entry = 0; entry <= 6; ++entry)
        expected.mutes["render0.in" + std::to_string(entry) + "_mute"] = true;
    EXPECT_EQ(Snapshot(*system_), expected);
    EXPECT_FLOAT_EQ(Render().currentDb[0][0], -6.0f);
}

TEST_F(LevelOperationsTest, SixChannelTopologyTreatsSlotFiveAsAnInput) {
    OpenSixChannel();
    ASSERT_EQ(control_->masterInputCount(), 9);
    EXPECT_EQ(control_->PrepareRenderLevels(kFloorDb, kFloorDb), kOk);
    CodecState expected = initial_;
    expected.levels["render0.master"] = {-46.5f, -46.5f};
    expected.levels["render0.front"] = {-46.5f, -46.5f};
    expected.levels["render0.rear"] = {-46.5f, -46.5f};
    expected.levels["render0.subwoofer"] = {-46.5f};
    expected.levels["render0.center"] = {-46.5f};
    for (int entry = 1; entry <= 4; ++entry)
        expected.mutes["render0.in" + std::to_string(entry) + "_mute"] = true;
    EXPECT_EQ(Snapshot(*system_), expected);

    // Channel 7 reads slot 5, channel 1: an input slot in this topology.
    float level = 0.0f;
    EXPECT_EQ(control_->GetChannelLevel(7, &level), kOk);
    EXPECT_FLOAT_EQ(level, Level("render0.in4_volume", 1));

    control_->RestoreInputs();
    expected.levels["render0.in4_volume"] = initial_.levels["render0.in4_volume"];
    for (int entry = 1; entry <= 4; ++entry)
        expected.mutes["render0.in" + std::to_string(entry) + "_mute"] =
            initial_.mutes["render0.in" + std::to_string(entry) + "_mute"];
    EXPECT_EQ(Snapshot(*system_), expected);
}

TEST_F(LevelOperationsTest, RaiseChannelLevelStepsTwentyStepsUpToTheMaximum) {
    OpenEightChannel();
    // -40 dB lies between two steps of 1.5 dB: the control holds -40.5, and the raise starts
    // from there.
    ASSERT_EQ(control_->SetChannelLevel(2, -40.0f), kOk);
    EXPECT_FLOAT_EQ(Render().currentDb[2][0], -40.5f);
    float raised = 99.0f;
    EXPECT_EQ(control_->RaiseChannelLevel(2, &raised), kOk);
    EXPECT_FLOAT_EQ(raised, -10.5f);
    EXPECT_FLOAT_EQ(Level("render0.rear", 0), -10.5f);
    EXPECT_FLOAT_EQ(Render().currentDb[2][0], -10.5f);

    ASSERT_EQ(control_->SetChannelLevel(2, -5.0f), kOk);
    EXPECT_EQ(control_->RaiseChannelLevel(2, &raised), kOk);
    EXPECT_FLOAT_EQ(raised, 0.0f);
    EXPECT_FLOAT_EQ(Level("render0.rear", 0), 0.0f);

    // A refused set reports success but changes neither the slot nor the record.
    raised = 99.0f;
    ASSERT_EQ(control_->SetChannelLevel(2, -40.0f), kOk);
    system_->Faults().FailAt("render0.rear", "SetLevel", 1, kInjected);
    EXPECT_EQ(control_->RaiseChannelLevel(2, &raised), kOk);
    EXPECT_EQ(raised, 99.0f);
    EXPECT_FLOAT_EQ(Render().currentDb[2][0], -40.5f);

    EXPECT_EQ(control_->RaiseChannelLevel(8, &raised), kFail);
    EXPECT_EQ(control_->RaiseChannelLevel(0, nullptr), kFail);
}

TEST_F(LevelOperationsTest, ChannelsWithoutALevelControl) {
    EndpointDesign render = sim::EightChannelRender(0x10EC, 0x0899);
    ASSERT_TRUE(sim::RemoveLevel(&render, "subwoofer"));
    ASSERT_TRUE(sim::SetChannelCount(&render, "side", 1));
    Open(render, sim::MicrophoneCapture(0x10EC, 0x0899), 0x0899);

    float level = 99.0f;
    EXPECT_EQ(control_->RaiseChannelLevel(4, &level), kOk);
    EXPECT_EQ(level, 99.0f);
    EXPECT_EQ(control_->GetChannelLevel(4, &level), kFail);
    EXPECT_EQ(control_->SetChannelLevel(4, -10.0f), kOk);
    EXPECT_EQ(control_->RestoreChannelLevel(4), kOk);
    // Side right is beyond a one-channel side control: read leaves the slot alone.
    EXPECT_EQ(control_->GetChannelLevel(7, &level), kOk);
    EXPECT_EQ(level, 99.0f);
    EXPECT_EQ(control_->SetChannelLevel(7, -10.0f), kOk);
    EXPECT_EQ(control_->RaiseChannelLevel(7, &level), kOk);
    EXPECT_EQ(level, 99.0f);
    EXPECT_EQ(Snapshot(*system_), initial_);
    EXPECT_EQ(control_->GetChannelLevel(8, &level), kFail);
    EXPECT_EQ(control_->GetChannelLevel(0, nullptr), kFail);
}

TEST_F(LevelOperationsTest, MasterLevelsAreClampedPerChannel) {
    OpenEightChannel();
    EXPECT_EQ(control_->SetMasterLevels(-80.0f, 5.0f), kOk);
    EXPECT_FLOAT_EQ(Level("render0.master", 0), -46.5f);
    EXPECT_FLOAT_EQ(Level("render0.master", 1), 0.0f);
    float left = 0.0f;
    float right = 0.0f;
    ASSERT_EQ(control_->GetMasterLevels(&left, &right), kOk);
    EXPECT_FLOAT_EQ(left, -46.5f);
    EXPECT_FLOAT_EQ(right, 0.0f);
    EXPECT_EQ(control_->GetMasterLevels(&left, nullptr), kFail);
    EXPECT_EQ(control_->GetMasterLevels(nullptr, &right), kFail);

    EXPECT_EQ(control_->RestoreMasterChannelLevel(1), kOk);
    EXPECT_FLOAT_EQ(Level("render0.master", 1), -7.5f);
    EXPECT_FLOAT_EQ(Level("render0.master", 0), -46.5f);
    EXPECT_EQ(control_->RestoreMasterChannelLevel(2), kOk);  // nothing there
    EXPECT_EQ(control_->RestoreMasterChannelLevel(0), kOk);
    EXPECT_EQ(Snapshot(*system_), initial_);
}

TEST_F(LevelOperationsTest, OneChannelMasterSetsOnlyItsLeft) {
    EndpointDesign render = sim::EightChannelRender(0x10EC, 0x0899);
    ASSERT_TRUE(sim::SetChannelCount(&render, "master", 1));
    Open(render, sim::MicrophoneCapture(0x10EC, 0x0899), 0x0899);
    EXPECT_EQ(control_->SetMasterLevels(-19.5f, -19.5f), kOk);
    EXPECT_FLOAT_EQ(Level("render0.master", 0), -19.5f);
    float left = 0.0f;
    float right = 1.0f;
    ASSERT_EQ(control_->GetMasterLevels(&left, &right), kOk);
    EXPECT_FLOAT_EQ(left, -19.5f);
    EXPECT_FLOAT_EQ(right, 0.0f);  // never read, never set
}

TEST_F(LevelOperationsTest, RestoreChannelLevelPutsBackTheOpeningLevel) {
    OpenEightChannel();
    for (int32_t channel = 0; channel < 8; ++channel)
        ASSERT_EQ(control_->SetChannelLevel(channel, -40.0f), kOk);
    for (int32_t channel = 0; channel < 8; ++channel)
        EXPECT_EQ(control_->RestoreChannelLevel(channel), kOk);
    EXPECT_EQ(Snapshot(*system_), initial_);
    EXPECT_FLOAT_EQ(Render().currentDb[5][1], Render().initialDb[5][1]);
    EXPECT_EQ(control_->RestoreChannelLevel(8), kFail);
}

TEST_F(LevelOperationsTest, SetUpMicrophoneSetsGainsTheLiveRangeHolds) {
    EndpointDesign capture = sim::MicrophoneCapture(0x10EC, 0x0899);
    sim::FindPart(&capture, "mic_mute")->muted = true;
    Open(sim::EightChannelRender(0x10EC, 0x0899), capture, 0x0899);
    EXPECT_EQ(control_->SetUpMicrophone(), kOk);
    CodecState expected = initial_;
    expected.levels["capture0.mic_volume"] = {12.0f, 12.0f};
    expected.levels["capture0.boost"] = {30.0f, 30.0f};
    expected.mutes["capture0.mic_mute"] = false;
    EXPECT_EQ(Snapshot(*system_), expected);
    EXPECT_FLOAT_EQ(Capture().currentDb[0][0], 0.0f);  // the record is not changed

    control_->RestoreMicrophone();
    EXPECT_EQ(Snapshot(*system_), initial_);
}

TEST_F(LevelOperationsTest, SetUpMicrophoneLeavesAGainOutsideTheLiveRange) {
    OpenEightChannel();
    for (uint32_t channel = 0; channel < 2; ++channel)
        ASSERT_TRUE(system_->SetPartChannel("capture0.mic_volume", channel,
                                            sim::ChannelDesign{0.0f, 10.0f, 0.75f, 0.0f}));
    system_->Faults().FailFrom("capture0.boost", "SetLevel", 1, kInjected);
    EXPECT_EQ(control_->SetUpMicrophone(), kOk);
    EXPECT_EQ(Snapshot(*system_), initial_);
}

TEST_F(LevelOperationsTest, RestoreAllPutsEveryLevelAndMuteBack) {
    OpenEightChannel();
    ASSERT_EQ(control_->SetUpMicrophone(), kOk);
    ASSERT_EQ(control_->PrepareRenderLevels(kFloorDb, kFloorDb), kOk);
    ASSERT_EQ(control_->SetMasterLevels(-3.0f, -4.5f), kOk);
    float level = 0.0f;
    ASSERT_EQ(control_->RaiseChannelLevel(5, &level), kOk);
    // Mutes that no operation touched come back as well.
    ASSERT_TRUE(system_->SetPartMuted("render0.master_mute", true));
    ASSERT_TRUE(system_->SetPartMuted("render0.in3_mute", false));
    ASSERT_TRUE(system_->SetPartLevel("render0.in2_volume", 1, 6.0f));
    ASSERT_NE(Snapshot(*system_), initial_);

    control_->RestoreAll();
    EXPECT_EQ(Snapshot(*system_), initial_);
    for (int32_t slot = 0; slot < kPartSlots; ++slot) {
        for (int32_t channel = 0; channel < Render().channelCount[slot]; ++channel)
            EXPECT_EQ(Render().currentDb[slot][channel], Render().initialDb[slot][channel]);
    }
}

TEST_F(LevelOperationsTest, RestoreInputsLeavesTheCalibratedLevels) {
    OpenEightChannel();
    ASSERT_EQ(control_->PrepareRenderLevels(kFloorDb, kFloorDb), kOk);
    ASSERT_EQ(control_->SetChannelLevel(0, -12.0f), kOk);
    ASSERT_EQ(control_->SetUpMicrophone(), kOk);
    const CodecState calibrated = Snapshot(*system_);
    control_->RestoreInputs();
    control_->RestoreMicrophone();
    CodecState expected = calibrated;
    for (const auto& [name, levels] : initial_.levels) {
        if (name.find(".in") != std::string::npos || name.find("capture0.") == 0)
            expected.levels[name] = levels;
    }
    for (const auto& [name, muted] : initial_.mutes) {
        if (name.find(".in") != std::string::npos || name.find("capture0.") == 0)
            expected.mutes[name] = muted;
    }
    EXPECT_EQ(Snapshot(*system_), expected);
    EXPECT_FLOAT_EQ(Level("render0.front", 0), -12.0f);
}

TEST(LevelOperationsWithoutRecordsTest, RefuseOrDoNothing) {
    auto system = SimAudioSystemBuilder().Add(sim::EightChannelRender(0x10EC, 0x0899)).Build();
    EndpointControl control(system.get(), kNoWindow);
    int32_t renderKind = 0;
    int32_t captureKind = 0;
    ASSERT_EQ(control.Open(0x10EC, 0x0899, 0, &renderKind, &captureKind), kOk);
    // Rendering works; there is no microphone.
    EXPECT_EQ(control.SetUpMicrophone(), kFail);
    control.RestoreMicrophone();
    control.ReleaseControls();

    float level = 0.0f;
    float right = 0.0f;
    EXPECT_EQ(control.SetUpMicrophone(), kFail);
    EXPECT_EQ(control.PrepareRenderLevels(kFloorDb, kFloorDb), kFail);
    EXPECT_EQ(control.RaiseChannelLevel(0, &level), kFail);
    EXPECT_EQ(control.GetChannelLevel(0, &level), kFail);
    EXPECT_EQ(control.SetChannelLevel(0, -10.0f), kFail);
    EXPECT_EQ(control.GetMasterLevels(&level, &right), kFail);
    EXPECT_EQ(control.SetMasterLevels(-10.0f, -10.0f), kFail);
    EXPECT_EQ(control.RestoreChannelLevel(0), kFail);
    EXPECT_EQ(control.RestoreMasterChannelLevel(0), kFail);
    const uint64_t calls = system->Faults().Calls();
    control.RestoreInputs();
    control.RestoreMicrophone();
    control.RestoreAll();
    EXPECT_EQ(system->Faults().Calls(), calls);
}

}  // namespace
}  // namespace zelk
