// The simulated codec itself: shapes, reference ledger, fault rules and the room model's paths.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "endpoint/endpoint_test_support.h"
#include "platform/sim/room.h"
#include "platform/sim/sim_audio_system.h"
#include "platform/sim/sim_codec_builder.h"
#include "platform/wave_format.h"

namespace zelk::sim {
namespace {

using test::kInjected;

TEST(SimCodecTest, DefaultPcHasTheCodecsSpeakersAndMicrophone) {
    auto system = BuildDefaultPc();
    ASSERT_EQ(system->EndpointCount(DataFlow::kRender), 1);
    ASSERT_EQ(system->EndpointCount(DataFlow::kCapture), 1);
    EXPECT_EQ(system->FindRenderEndpoint(0x10EC, 0x0899), 0);
    EXPECT_EQ(system->FindCaptureEndpoint(0x10EC, 0x0899), 0);
    EXPECT_EQ(system->FindRenderEndpoint(0x10EC, 0x0662), -1);

    PropertyValue path = system->EndpointProperty(DataFlow::kRender, 0, kKeyHardwarePath);
    ASSERT_EQ(path.type, PropertyValue::Type::kText);
    EXPECT_NE(path.text.find(u"Ven_10ec&DEV_0899"), std::u16string::npos);

    EXPECT_EQ(system->EndpointProperty(DataFlow::kRender, 0, kKeyPhysicalSpeakers).number, 0x63Fu);
    EXPECT_EQ(system->EndpointProperty(DataFlow::kRender, 0, kKeyFullRangeSpeakers).number, 0x63Fu);
    PropertyValue format = system->EndpointProperty(DataFlow::kRender, 0, kKeyDeviceFormat);
    ASSERT_EQ(format.blob.size(), sizeof(WaveFormatExtensible));
    WaveFormatExtensible device;
    std::memcpy(&device, format.blob.data(), sizeof(device));
    EXPECT_EQ(device.wFormatTag, kWaveFormatExtensible);
    EXPECT_EQ(device.nChannels, 8);
    EXPECT_EQ(device.nSamplesPerSec, 48000u);
    EXPECT_EQ(device.wBitsPerSample, 16);
    EXPECT_EQ(device.nBlockAlign, 16);
    EXPECT_EQ(device.dwChannelMask, 0x63Fu);
    EXPECT_EQ(device.SubFormat, kSubtypePcm);
    EXPECT_EQ(system->TotalLiveRefs(), 0);
}

TEST(SimCodecTest, LedgerCountsLiveReferencesAndOverReleases) {
    auto system = BuildDefaultPc();
    SimPart* front = system->FindPart("render0.front");
    ASSERT_NE(front, nullptr);
    {
        Ref<VolumeLevelControl> first;
        ASSERT_EQ(front->ActivateVolumeLevel(&first), kOk);
        Ref<VolumeLevelControl> second = first;
        EXPECT_EQ(system->LiveRefs(SimKind::kVolumeLevel), 2);
        EXPECT_EQ(system->RefsOf("render0.front", SimKind::kVolumeLevel), 2u);
        EXPECT_EQ(system->TotalLiveRefs(), 2);
    }
    EXPECT_EQ(system->TotalLiveRefs(), 0);
    EXPECT_EQ(system->OverReleases(), 0);

    // A Release with nothing to give back is caught and changes no count.
    front->Release();
    EXPECT_EQ(system->OverReleases(), 1);
    EXPECT_EQ(system->TotalLiveRefs(), 0);
}

TEST(SimCodecTest, FaultRulesFailTheChosenCall) {
    auto system = BuildDefaultPc();
    SimPart* master = system->FindPart("render0.master");
    ASSERT_NE(master, nullptr);
    Ref<VolumeLevelControl> level;
    ASSERT_EQ(master->ActivateVolumeLevel(&level), kOk);

    system->Faults().FailAt("render0.master", "GetLevel", 2, kInjected);
    system->Faults().FailFrom("render0.master", "SetLevel", 3, kWrongEndpointType);
    float db = 0.0f;
    EXPECT_EQ(level->GetLevel(0, &db), kOk);
    EXPECT_EQ(level->GetLevel(0, &db), kInjected);
    EXPECT_EQ(level->GetLevel(0, &db), kOk);  // FailAt fires once
    EXPECT_EQ(level->SetLevel(0, -3.0f), kOk);
    EXPECT_EQ(level->SetLevel(0, -3.0f), kOk);
    EXPECT_EQ(level->SetLevel(0, -3.0f), kWrongEndpointType);
    EXPECT_EQ(level->SetLevel(1, -3.0f), kWrongEndpointType);  // FailFrom keeps failing
    EXPECT_EQ(system->Faults().Fired(), 3u);

    system->Faults().Clear();
    EXPECT_EQ(level->SetLevel(0, -3.0f), kOk);

    // Wildcards match every object or operation; a failed activation leaves the reference empty.
    system->Faults().FailAt(kAnyName, kAnyName, 1, kInjected);
    Ref<MuteControl> mute;
    EXPECT_EQ(system->FindPart("render0.master_mute")->ActivateMute(&mute), kInjected);
    EXPECT_FALSE(mute);
}

TEST(SimCodecTest, RecordsCallsInOrder) {
    auto system = BuildDefaultPc();
    system->Faults().StartRecording();
    Ref<AudioDeviceEnumerator> enumerator;
    ASSERT_EQ(system->CreateDeviceEnumerator(&enumerator), kOk);
    Ref<AudioEndpointCollection> endpoints;
    ASSERT_EQ(enumerator->EnumActiveEndpoints(DataFlow::kCapture, &endpoints), kOk);
    uint32_t count = 0;
    ASSERT_EQ(endpoints->GetCount(&count), kOk);
    system->Faults().StopRecording();
    endpoints->GetCount(&count);
    EXPECT_EQ(system->Faults().Recorded(),
              (std::vector<SimCall>{{"system", "CreateDeviceEnumerator"},
                                    {"enumerator", "EnumActiveEndpoints"},
                                    {"capture.collection", "GetCount"}}));
    EXPECT_EQ(system->Faults().Calls(), 4u);
}

TEST(SimCodecTest, ControlsKeepTheirRangeAndStoresTheirAccess) {
    auto system = BuildDefaultPc();
    Ref<VolumeLevelControl> level;
    ASSERT_EQ(system->FindPart("render0.front")->ActivateVolumeLevel(&level), kOk);
    float db = 1.0f;
    EXPECT_EQ(level->SetLevel(0, 0.5f), kOk);  // above the range: the maximum
    ASSERT_TRUE(system->PartLevel("render0.front", 0, &db));
    EXPECT_EQ(db, 0.0f);
    EXPECT_EQ(level->SetLevel(2, -3.0f), kInvalidArg);  // no third channel
    EXPECT_EQ(level->SetLevel(1, -30.0f), kOk);
    ASSERT_TRUE(system->PartLevel("render0.front", 1, &db));
    EXPECT_EQ(db, -30.0f);
    ChannelDesign range;
    ASSERT_TRUE(system->PartChannel("render0.front", 1, &range));
    EXPECT_EQ(range.minDb, -46.5f);
    EXPECT_EQ(range.maxDb, 0.0f);
    EXPECT_EQ(range.stepDb, 1.5f);
    Ref<MuteControl> mute;
    EXPECT_EQ(system->FindPart("render0.front")->ActivateMute(&mute), kNoInterface);

    SimEndpoint* endpoint = system->Endpoint(DataFlow::kRender, 0);
    PropertyValue value;
    value.type = PropertyValue::Type::kUInt32;
    value.number = 0x3;
    Ref<PropertyStore> store;
    ASSERT_EQ(endpoint->OpenPropertyStore(StoreAccess::kRead, &store), kOk);
    EXPECT_EQ(store->SetValue(kKeyPhysicalSpeakers, value), kStoreAccessDenied);
    ASSERT_EQ(endpoint->OpenPropertyStore(StoreAccess::kReadWrite, &store), kOk);
    EXPECT_EQ(store->SetValue(kKeyPhysicalSpeakers, value), kOk);
    EXPECT_EQ(system->EndpointProperty(DataFlow::kRender, 0, kKeyPhysicalSpeakers).number, 0x3u);
    // A key without a value reads as empty.
    ASSERT_EQ(store->GetValue(PropertyKey{{}, 99}, &value), kOk);
    EXPECT_EQ(value.type, PropertyValue::Type::kEmpty);
}

// A volume-level control as the platform documents it: a level outside the range is clamped to it,
// a level between two steps is set to the nearer step (a tie goes up), and the call succeeds;
// only a channel the control does not have is refused.
struct LevelCase {
    const char* name;
    ChannelDesign channel;
    uint32_t index;
    float asked;
    Status status;
    float held;
};

void PrintTo(const LevelCase& c, std::ostream* os) {
    *os << c.name;
}

class VolumeLevelTest : public ::testing::TestWithParam<LevelCase> {};

TEST_P(VolumeLevelTest, HoldsTheStepTheLevelComesTo) {
    const LevelCase& c = GetParam();
    EndpointDesign render = EightChannelRender(0x10EC, 0x0899);
    ASSERT_TRUE(SetChannel(&render, kPartFront, 0, c.channel));
    auto system = SimAudioSystemBuilder().Add(render).Build();
    Ref<VolumeLevelControl> level;
    ASSERT_EQ(system->FindPart("render0.front")->ActivateVolumeLevel(&level), kOk);
    EXPECT_EQ(level->SetLevel(c.index, c.asked), c.status);
    float held = 99.0f;
    ASSERT_EQ(level->GetLevel(0, &held), kOk);
    EXPECT_EQ(held, c.held);
    float model = 99.0f;
    ASSERT_TRUE(system->PartLevel("render0.front", 0, &model));
    EXPECT_EQ(model, c.held);
}

constexpr ChannelDesign kStepped{-46.5f, 0.0f, 1.5f, -3.0f};
// Steps of 3 dB from -10 dB: -10, -7, -4, -1, and the maximum 0 as the top step.
constexpr ChannelDesign kNoWholeSteps{-10.0f, 0.0f, 3.0f, -10.0f};
constexpr ChannelDesign kUnstepped{-20.0f, 10.0f, 0.0f, 0.0f};

INSTANTIATE_TEST_SUITE_P(
    Controls, VolumeLevelTest,
    ::testing::Values(LevelCase{"OnAStep", kStepped, 0, -12.0f, kOk, -12.0f},
                      LevelCase{"TheMinimum", kStepped, 0, -46.5f, kOk, -46.5f},
                      LevelCase{"BelowTheRange", kStepped, 0, -80.0f, kOk, -46.5f},
                      LevelCase{"AboveTheRange", kStepped, 0, 6.0f, kOk, 0.0f},
                      LevelCase{"NearerTheLowerStep", kStepped, 0, -13.0f, kOk, -13.5f},
                      LevelCase{"NearerTheUpperStep", kStepped, 0, -12.3f, kOk, -12.0f},
                      LevelCase{"HalfWayGoesUp", kStepped, 0, -12.75f, kOk, -12.0f},
                      LevelCase{"StartLevelBetweenSteps", kStepped, 0, -40.0f, kOk, -40.5f},
                      LevelCase{"NotANumberIsTheMinimum", kStepped, 0, std::nanf(""), kOk, -46.5f},
                      LevelCase{"NoSuchChannel", kStepped, 2, -12.0f, kInvalidArg, -3.0f},
                      LevelCase{"BelowTheLastStep", kNoWholeSteps, 0, -2.0f, kOk, -1.0f},
                      LevelCase{"TheMaximumIsTheTopStep", kNoWholeSteps, 0, -0.4f, kOk, 0.0f},
                      LevelCase{"UnsteppedKeepsTheLevel", kUnstepped, 0, 3.3f, kOk, 3.3f},
                      LevelCase{"UnsteppedClamps", kUnstepped, 0, 12.0f, kOk, 10.0f}),
    [](const ::testing::TestParamInfo<LevelCase>& info) { return std::string(info.param.name); });

TEST(SimCodecTest, ALevelAtStartBetweenStepsIsHeldOnAStep) {
    EndpointDesign render = EightChannelRender(0x10EC, 0x0899);
    ASSERT_TRUE(SetChannel(&render, kPartFront, 1, {-46.5f, 0.0f, 1.5f, -20.0f}));
    auto system = SimAudioSystemBuilder().Add(render).Build();
    float held = 0.0f;
    ASSERT_TRUE(system->PartLevel("render0.front", 1, &held));
    EXPECT_EQ(held, -19.5f);
}

struct PathCase {
    const char* name;
    int32_t speaker;
    bool audible;
    float db;
};

void PrintTo(const PathCase& c, std::ostream* os) {
    *os << c.name;
}

class RenderPathTest : public ::testing::TestWithParam<PathCase> {};

// Default levels: master -6.0 / -7.5, front -3.0 / -4.5, rear -9.0 / -10.5, subwoofer -12.0,
// center -13.5, side -15.0 / -16.5.
TEST_P(RenderPathTest, SpeakerLevelPlusItsMasterSide) {
    const PathCase& c = GetParam();
    auto system = BuildDefaultPc();
    float db = 99.0f;
    ASSERT_EQ(system->RenderPathDb(0, c.speaker, &db), c.audible);
    if (c.audible) {
        EXPECT_FLOAT_EQ(db, c.db);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Speakers, RenderPathTest,
    ::testing::Values(PathCase{"FrontLeft", 0, true, -9.0f},
                      PathCase{"FrontRight", 1, true, -12.0f},
                      PathCase{"RearLeft", 2, true, -15.0f}, PathCase{"RearRight", 3, true, -18.0f},
                      PathCase{"Subwoofer", 4, true, -18.0f}, PathCase{"Center", 5, true, -19.5f},
                      PathCase{"SideLeft", 6, true, -21.0f}, PathCase{"SideRight", 7, true, -24.0f},
                      PathCase{"NoSpeaker", 8, false, 0}, PathCase{"Negative", -1, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimCodecTest, SilentPaths) {
    auto system = SimAudioSystemBuilder()
                      .Add(SixChannelRender(0x10EC, 0x0662))
                      .Add(MicrophoneCapture(0x10EC, 0x0662))
                      .Build();
    float db = 0.0f;
    EXPECT_TRUE(system->RenderPathDb(0, 5, &db));
    EXPECT_FALSE(system->RenderPathDb(0, 6, &db));  // no side volume in the six-channel shape
    EXPECT_FALSE(system->RenderPathDb(1, 0, &db));  // no such endpoint
    ASSERT_TRUE(system->SetPartMuted("render0.master_mute", true));
    EXPECT_FALSE(system->RenderPathDb(0, 0, &db));

    ASSERT_TRUE(system->CapturePathDb(0, &db));
    EXPECT_FLOAT_EQ(db, 10.0f);  // gain 0 dB, boost 10 dB
    ASSERT_TRUE(system->SetPartLevel("capture0.mic_volume", 0, 12.0f));
    ASSERT_TRUE(system->CapturePathDb(0, &db));
    EXPECT_FLOAT_EQ(db, 22.0f);
    ASSERT_TRUE(system->SetPartMuted("capture0.mic_mute", true));
    EXPECT_FALSE(system->CapturePathDb(0, &db));
}

// Mixer input e's path to the front pair: in<e>_volume's channel of the side plus the master of the
// side; silent while the input or the master is muted, or where the input does not exist.
// Default levels: in<e>_volume -1.5·e / -1.5·e - 1.5, in<e>_mute set for even e, master -6.0 /
// -7.5.
TEST(SimCodecTest, MixerPathsRunThroughTheInputVolumeAndTheMaster) {
    auto system = SimAudioSystemBuilder()
                      .Add(EightChannelRender(0x10EC, 0x0899))
                      .Add(SixChannelRender(0x10EC, 0x0662))
                      .Build();
    float db = 0.0f;
    ASSERT_TRUE(system->MixerPathDb(0, 3, 0, &db));
    EXPECT_EQ(db, -4.5f - 6.0f);
    ASSERT_TRUE(system->MixerPathDb(0, 3, 1, &db));
    EXPECT_EQ(db, -6.0f - 7.5f);
    EXPECT_FALSE(system->MixerPathDb(0, 2, 0, &db));  // muted at start
    ASSERT_TRUE(system->SetPartMuted("render0.in2_mute", false));
    ASSERT_TRUE(system->MixerPathDb(0, 2, 0, &db));
    EXPECT_EQ(db, -3.0f - 6.0f);
    EXPECT_FALSE(system->MixerPathDb(0, 7, 0, &db));  // entries 0 to 6 only
    EXPECT_FALSE(system->MixerPathDb(0, 3, 2, &db));  // the front pair only
    EXPECT_FALSE(system->MixerPathDb(2, 3, 0, &db));  // no such endpoint
    // The six-channel shape: inputs 1 to 4; entry 0 is a bare connector.
    EXPECT_TRUE(system->MixerPathDb(1, 1, 0, &db));
    EXPECT_FALSE(system->MixerPathDb(1, 0, 0, &db));
    // A mute without a volume passes at 0 dB.
    ASSERT_TRUE(system->SetPartMuted("render0.master_mute", true));
    EXPECT_FALSE(system->MixerPathDb(0, 3, 0, &db));
    EndpointDesign render = EightChannelRender(0x10EC, 0x0899);
    ASSERT_TRUE(RemoveLevel(&render, "in3_volume"));
    auto bare = SimAudioSystemBuilder().Add(render).Build();
    ASSERT_TRUE(bare->MixerPathDb(0, 3, 1, &db));
    EXPECT_EQ(db, -7.5f);
}

// The speakers a stream can reach: the channel mask of the endpoint's current device format.
TEST(SimCodecTest, TheLayoutIsTheDeviceFormatsChannelMask) {
    auto system = SimAudioSystemBuilder()
                      .Add(EightChannelRender(0x10EC, 0x0899))
                      .Add(SixChannelRender(0x10EC, 0x0662))
                      .Build();
    EXPECT_EQ(system->RenderLayoutMask(0), 0x63Fu);
    EXPECT_EQ(system->RenderLayoutMask(1), 0x3Fu);
    EXPECT_EQ(system->RenderLayoutMask(2), CodecLevels::kEverySpeaker);  // no such endpoint
    auto format = [](uint16_t tag, uint16_t channels, uint32_t mask, size_t size) {
        WaveFormatExtensible wave;
        wave.wFormatTag = tag;
        wave.nChannels = channels;
        wave.dwChannelMask = mask;
        PropertyValue value;
        value.type = PropertyValue::Type::kBlob;
        value.blob.resize(size);
        std::memcpy(value.blob.data(), &wave, size);
        return value;
    };
    struct Case {
        PropertyValue value;
        uint32_t mask;
    };
    const Case cases[] = {
        {format(kWaveFormatExtensible, 2, 0x3, 40), 0x3},
        {format(kWaveFormatExtensible, 4, 0x33, 40), 0x33},
        {format(kWaveFormatPcm, 6, 0, 18), 0x3F},  // a plain format: its count's default
        {format(kWaveFormatPcm, 1, 0, 16), 0x4},
        {format(kWaveFormatExtensible, 2, 0x3, 20), 0x3},  // cut before its mask: plain
        {format(kWaveFormatPcm, 2, 0, 8), CodecLevels::kEverySpeaker},  // too short to be one
        {PropertyValue{}, CodecLevels::kEverySpeaker},                  // none
    };
    for (const Case& c : cases) {
        system->SetEndpointProperty(DataFlow::kRender, 0, kKeyDeviceFormat, c.value);
        EXPECT_EQ(system->RenderLayoutMask(0), c.mask) << c.value.blob.size();
    }
}

TEST(SimCodecTest, FindsTheFirstEndpointNamingTheCodec) {
    auto system = SimAudioSystemBuilder()
                      .Add(EightChannelRender(0x8086, 0x0899))
                      .Add(EightChannelRender(0x10EC, 0x0892))
                      .Add(EightChannelRender(0x10EC, 0x0899))
                      .Build();
    EXPECT_EQ(system->FindRenderEndpoint(0x10EC, 0x0899), 2);
    EXPECT_EQ(system->FindRenderEndpoint(0x10EC, 0x0892), 1);
    EXPECT_EQ(system->FindCaptureEndpoint(0x10EC, 0x0899), -1);
}

}  // namespace
}  // namespace zelk::sim
