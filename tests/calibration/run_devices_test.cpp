// What a run leaves on the codec and the devices: the calibrated levels after a finished run,
// everything as found after a stop or a failed start, no stream open, no timer, and no reference
// kept on the codec's controls.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>

#include "calibration/results_room.h"
#include "calibration/run_harness.h"

namespace zelk::testing {
namespace {

// The codec of the results room, with a microphone that starts muted at gains of its own, so
// that the run's set-up of the microphone shows.
sim::SimPcOptions DevicesMachine(int32_t mode = 8) {
    sim::SimPcOptions options = MakeResultsRoom(0x0899, false, mode).options;
    sim::EndpointDesign& microphone = options.audio.designs()[1];
    sim::FindPart(&microphone, sim::kPartMicMute)->muted = true;
    for (uint32_t c = 0; c < 2; ++c) {
        EXPECT_TRUE(
            sim::SetChannel(&microphone, sim::kPartMicVolume, c, {-17.25f, 30.0f, 0.75f, -3.0f}));
        EXPECT_TRUE(sim::SetChannel(&microphone, sim::kPartBoost, c, {0.0f, 30.0f, 10.0f, 0.0f}));
    }
    return options;
}

class DevicesHarness : public RunHarness {
  public:
    explicit DevicesHarness(sim::SimPcOptions options = DevicesMachine())
        : RunHarness(std::move(options)),
          initial(SnapshotCodec(pc)),
          baselineRefs(pc.audio().TotalLiveRefs()) {
        files.files[u"C:\\media\\tone.wav"] = ToneWav(2, 500);
    }

    // Nothing of the run left running, and no control referenced.
    void ExpectQuiet() {
        EXPECT_FALSE(context->runActive());
        EXPECT_FALSE(windowing.HasTimer(window, CALIBRATION_TIMER_ID));
        EXPECT_EQ(pc.waveOut().OpenStreams(), 0);
        EXPECT_EQ(pc.waveIn().OpenStreams(), 0);
        EXPECT_EQ(ControlRefs(pc), 0);
        EXPECT_EQ(pc.audio().OverReleases(), 0);
        // The kept control holds the enumerator and its collections until it is dropped.
        context->DropEndpointControl();
        EXPECT_EQ(pc.audio().TotalLiveRefs(), baselineRefs)
            << ::testing::PrintToString(pc.audio().HeldObjects());
    }

    const CodecState initial;
    const int64_t baselineRefs;
};

TEST(RunDevicesTest, AFinishedRunLeavesTheCalibratedLevelsAndPutsInputsAndMicrophoneBack) {
    for (const char* wavPath : {static_cast<const char*>(nullptr), "C:\\media\\tone.wav"}) {
        SCOPED_TRACE(wavPath == nullptr ? "without a WAV file" : "with a WAV file");
        DevicesHarness run;
        ASSERT_EQ(run.Begin(8, 0, wavPath), kOk);
        ASSERT_EQ(run.RunToEnd(), kTickFinished);

        // The Medium results, clamped into each control's range, stay on the render side.
        CodecState expected = run.initial;
        const RoomModel model = MakeResultsRoom(0x0899, false, 8).model;
        for (int32_t side = 0; side < kMasterSides; ++side) {
            expected.levels["render0.master"][static_cast<size_t>(side)] =
                Clamp(run.context->masterLevels[0][side][kBandMedium], model.master[side]);
        }
        for (const ChannelPart& part : kChannelParts) {
            for (uint32_t c = 0; c < 2; ++c) {
                const int32_t speaker = part.speakers[c];
                if (speaker < 0)
                    continue;
                const int32_t pass = speaker == 4 ? 1 : 0;
                expected.levels[std::string("render0.") + part.name][c] =
                    Clamp(run.context->channelLevels[pass][speaker][kBandMedium],
                          model.channels[static_cast<size_t>(speaker)]);
            }
        }
        const CodecState actual = SnapshotCodec(run.pc);
        EXPECT_EQ(actual, expected) << DescribeDifferences(expected, actual);
        run.ExpectQuiet();
    }
}

struct StopCase {
    const char* name;
    int32_t mode;
    bool wav;
    // Stop once this holds after a tick.
    std::function<bool(const CalibrationContext&)> when;

    // Listed by its name, not by its bytes.
    friend void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }
};

class RunStopTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(RunStopTest, StopPutsEveryLevelAndMuteBack) {
    const StopCase& c = GetParam();
    DevicesHarness run;
    ASSERT_EQ(run.Begin(c.mode, 0, c.wav ? "C:\\media\\tone.wav" : nullptr), kOk);
    bool reached = false;
    for (int i = 0; i < 20000 && !reached; ++i) {
        run.Step();
        reached = c.when(*run.context);
    }
    ASSERT_TRUE(reached);
    ASSERT_TRUE(run.context->runActive());
    EXPECT_NE(SnapshotCodec(run.pc), run.initial);

    run.context->AbortRun();
    const CodecState actual = SnapshotCodec(run.pc);
    EXPECT_EQ(actual, run.initial) << DescribeDifferences(run.initial, actual);
    const size_t ticks = run.ticks.size();
    run.pc.AdvanceMs(100);
    EXPECT_EQ(run.ticks.size(), ticks);
    run.ExpectQuiet();
}

INSTANTIATE_TEST_SUITE_P(
    StopPoints, RunStopTest,
    ::testing::Values(
        StopCase{"DuringTheWarmUp", 8, false,
                 [](const CalibrationContext& c) { return c.warmupTicks == 300; }},
        StopCase{"InAChannelPhase", 8, false,
                 [](const CalibrationContext& c) { return c.position == 2 * 1024 + 40; }},
        StopCase{"InTheSubwooferPhase", 6, false,
                 [](const CalibrationContext& c) { return c.pass == 1 && c.position == 4100; }},
        StopCase{"DuringPlayback", 2, true,
                 [](const CalibrationContext& c) { return c.pass == 2 && c.position == 100; }}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return info.param.name; });

struct FailedStartCase {
    const char* name;
    std::function<void(DevicesHarness&)> arrange;
    uint16_t deviceId;
    int32_t mode;
    int32_t singleChannel;
    const char* message;

    // Listed by its name, not by its bytes.
    friend void PrintTo(const FailedStartCase& c, std::ostream* os) { *os << c.name; }
};

class FailedStartTest : public ::testing::TestWithParam<FailedStartCase> {};

TEST_P(FailedStartTest, LeavesNothingChanged) {
    const FailedStartCase& c = GetParam();
    DevicesHarness run;
    if (c.arrange)
        c.arrange(run);
    std::strcpy(run.context->errorText, "earlier");
    EXPECT_EQ(run.context->BeginRun(run.window, sim::kSimCodecVendor, c.deviceId, nullptr, c.mode,
                                    c.singleChannel),
              kFail);
    EXPECT_STREQ(run.context->errorText, c.message);
    const CodecState actual = SnapshotCodec(run.pc);
    EXPECT_EQ(actual, run.initial) << DescribeDifferences(run.initial, actual);
    run.pc.AdvanceMs(100);
    EXPECT_TRUE(run.ticks.empty());
    run.ExpectQuiet();
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailedStartTest,
    ::testing::Values(
        FailedStartCase{"InvalidMode", nullptr, 0x0899, 3, 0,
                        "[Qaltor](1) Invalid channel number!"},
        FailedStartCase{"SingleChannelOutOfRange", nullptr, 0x0899, 1, 8,
                        "[Qaltor](1) Invalid channel number!"},
        FailedStartCase{"NoSuchCodec", nullptr, 0x0123, 8, 0, "[Qaltor](1) Fail to init topology!"},
        FailedStartCase{
            "RecorderCannotOpen",
            [](DevicesHarness& run) { run.pc.waveIn().FailNext(sim::WaveOp::kOpen, kMmError); },
            0x0899, 8, 0, "[Qaltor](1) Fail to Record!"},
        FailedStartCase{
            "CaptureCannotStart",
            [](DevicesHarness& run) { run.pc.waveIn().FailNext(sim::WaveOp::kStart, kMmError); },
            0x0899, 8, 0, "[Qaltor](1) Fail to Record!"},
        FailedStartCase{
            "FirstToneCannotOpen",
            [](DevicesHarness& run) { run.pc.waveOut().FailNext(sim::WaveOp::kOpen, kMmError); },
            0x0899, 8, 0, "[Qaltor](1) Fail to Play!"},
        FailedStartCase{"FirstToneCannotBeQueued",
                        [](DevicesHarness& run) {
                            run.pc.waveOut().FailNext(sim::WaveOp::kQueue, kMmError, 10);
                        },
                        0x0899, 2, 0, "[Qaltor](1) Fail to Play!"}),
    [](const ::testing::TestParamInfo<FailedStartCase>& info) { return info.param.name; });

TEST(FailedStartTest, AMachineWithoutTheMicrophoneGivesBackTheSpeakersControls) {
    sim::SimPcOptions options = DevicesMachine();
    options.audio.designs().pop_back();
    DevicesHarness run(options);
    EXPECT_EQ(run.Begin(8), kFail);
    EXPECT_STREQ(run.context->errorText, "[Qaltor](1) Fail to init topology!");
    run.ExpectQuiet();
}

TEST(RunLifecycleTest, AStartOverARunningRunIsRefusedAndTheRunGoesOn) {
    DevicesHarness run;
    ASSERT_EQ(run.Begin(2), kOk);
    for (int i = 0; i < 650; ++i)
        run.Step();
    const int32_t position = run.context->position;
    EXPECT_EQ(run.context->BeginRun(run.window, sim::kSimCodecVendor, 0x0899, nullptr, 8, 0),
              kFail);
    EXPECT_EQ(run.context->mode, 2);
    EXPECT_EQ(run.context->position, position);
    EXPECT_EQ(run.pc.waveOut().OpenStreams(), 1);
    EXPECT_EQ(run.pc.waveIn().OpenStreams(), 1);
    // The one-shot operations keep their hands off the run's control as well.
    uint16_t channels = 0;
    uint32_t physical = 0;
    uint32_t fullRange = 0;
    EXPECT_EQ(run.context->QuerySpeakerLayout(run.window, sim::kSimCodecVendor, 0x0899, &channels,
                                              &physical, &fullRange),
              kFail);
    ASSERT_TRUE(run.context->endpointControl);
    EXPECT_TRUE(run.context->endpointControl->opened());
    EXPECT_EQ(run.RunToEnd(), kTickFinished);
    run.ExpectQuiet();
}

TEST(RunLifecycleTest, ATeardownInTheMiddleOfARunPutsTheLevelsBack) {
    DevicesHarness run;
    ASSERT_EQ(run.Begin(8), kOk);
    for (int i = 0; i < 700; ++i)
        run.Step();
    run.context->Teardown();
    const CodecState actual = SnapshotCodec(run.pc);
    EXPECT_EQ(actual, run.initial) << DescribeDifferences(run.initial, actual);
    EXPECT_EQ(run.pc.waveOut().OpenStreams(), 0);
    EXPECT_EQ(run.pc.waveIn().OpenStreams(), 0);
    EXPECT_EQ(run.pc.audio().TotalLiveRefs(), run.baselineRefs);
    EXPECT_FALSE(run.windowing.HasTimer(run.window, CALIBRATION_TIMER_ID));
}

}  // namespace
}  // namespace zelk::testing
