// The measurement of one channel, tick by tick: isolation, the start level and the steps within
// the channel's range, the detector's arming and polling, and the recording of the bands.

#include "calibration/channel_measurement.h"

#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>

#include "calibration/run_harness.h"

namespace zelk::testing {
namespace {

constexpr float kUntouched = 7.0f;

struct PartEdit {
    const char* part;
    uint32_t channel;
    sim::ChannelDesign design;
};

// The default codec with some parts' ranges changed and only `loudSpeaker` heard (none for -1).
sim::SimPcOptions Machine(std::vector<PartEdit> edits, int32_t loudSpeaker, double coupling) {
    sim::SimPcOptions options;
    sim::EndpointDesign render = sim::CodecRender(sim::kSimDefaultCodec);
    for (const PartEdit& edit : edits)
        EXPECT_TRUE(sim::SetChannel(&render, edit.part, edit.channel, edit.design)) << edit.part;
    options.audio = sim::SimAudioSystemBuilder().Add(render).Add(
        sim::MicrophoneCapture(sim::kSimCodecVendor, sim::kSimDefaultCodec));
    options.room.couplings.fill(0.0);
    if (loudSpeaker >= 0)
        options.room.couplings[static_cast<size_t>(loudSpeaker)] = coupling;
    options.room.noiseAmplitude = 1.0;
    return options;
}

// A single-channel run whose ticks the test makes itself: the timer is stopped once the run has
// begun, and each tick of the phase is followed by 10 ms of the machine's time.
class ManualMeasurement : public RunHarness {
  public:
    ManualMeasurement(sim::SimPcOptions options, int32_t channel)
        : RunHarness(std::move(options)), channel_(channel) {
        for (float& level : context->channelLevels[0][channel])
            level = kUntouched;
        EXPECT_EQ(Begin(1, channel), kOk);
        windowing.KillTimer(window, CALIBRATION_TIMER_ID);
        pc.AdvanceMs(100);
    }

    void StartPhase() { BeginChannel(context.get(), channel_); }
    // One tick of the phase; time goes on afterwards unless told otherwise.
    bool Tick(int32_t phaseTick, bool advance = true) {
        bool high = MeasureChannelTick(context.get(), channel_, phaseTick);
        if (advance)
            pc.AdvanceMs(10);
        return high;
    }
    float Level(const std::string& part, uint32_t channel) {
        float level = 0.0f;
        EXPECT_TRUE(pc.audio().PartLevel("render0." + part, channel, &level)) << part;
        return level;
    }
    const float* Results() const { return context->channelLevels[0][channel_]; }

  private:
    int32_t channel_;
};

struct RangeCase {
    const char* name;
    int32_t speaker;
    const char* part;
    uint32_t partChannel;
    sim::ChannelDesign design;
    float begin;
    std::array<float, 3> cycles;

    // Listed by its name, not by its bytes.
    friend void PrintTo(const RangeCase& c, std::ostream* os) { *os << c.name; }
};

class ChannelRangeTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(ChannelRangeTest, StartsAndStepsWithinTheChannelsRange) {
    const RangeCase& c = GetParam();
    ManualMeasurement run(Machine({{c.part, c.partChannel, c.design}}, -1, 0.0), c.speaker);
    run.StartPhase();
    EXPECT_EQ(run.Level(c.part, c.partChannel), c.begin);

    // Isolated: every other channel at its floor, the master of the channel's side open and the
    // other master at its floor.
    const bool left = MasterSideOf(c.speaker) == kMasterLeft;
    EXPECT_EQ(run.Level(sim::kPartMaster, 0), left ? 0.0f : -46.5f);
    EXPECT_EQ(run.Level(sim::kPartMaster, 1), left ? -46.5f : 0.0f);
    const std::pair<const char*, uint32_t> others[] = {
        {sim::kPartFront, 0},     {sim::kPartFront, 1},  {sim::kPartRear, 0}, {sim::kPartRear, 1},
        {sim::kPartSubwoofer, 0}, {sim::kPartCenter, 0}, {sim::kPartSide, 0}, {sim::kPartSide, 1}};
    for (const auto& [part, channel] : others) {
        if (std::string(part) != c.part || channel != c.partChannel) {
            EXPECT_EQ(run.Level(part, channel), -46.5f) << part << " " << channel;
        }
    }

    for (int32_t cycle = 0; cycle < 3; ++cycle) {
        for (int32_t tick = 0; tick < 16; ++tick) {
            EXPECT_FALSE(run.Tick(cycle * 16 + tick));
            if (tick == 0) {
                EXPECT_EQ(run.Level(c.part, c.partChannel), c.cycles[static_cast<size_t>(cycle)])
                    << "cycle " << cycle;
                EXPECT_EQ(run.context->reportedChannelBit, 1 << c.speaker);
            }
        }
    }
    // Nothing heard, nothing recorded.
    for (int32_t band = 0; band < kBands; ++band)
        EXPECT_EQ(run.Results()[band], kUntouched);
}

INSTANTIATE_TEST_SUITE_P(Ranges, ChannelRangeTest,
                         ::testing::Values(RangeCase{"RegularSteps",
                                                     0,
                                                     sim::kPartFront,
                                                     0,
                                                     {-46.5f, 0.0f, 1.5f, -3.0f},
                                                     -40.5f,
                                                     {-10.5f, 0.0f, 0.0f}},
                                           RangeCase{"MaximumBelowStartLevel",
                                                     3,
                                                     sim::kPartRear,
                                                     1,
                                                     {-60.0f, -45.0f, 1.5f, -50.0f},
                                                     -45.0f,
                                                     {-45.0f, -45.0f, -45.0f}},
                                           RangeCase{"StepPassingTheMaximum",
                                                     5,
                                                     sim::kPartCenter,
                                                     0,
                                                     {-46.5f, -12.0f, 1.5f, -20.0f},
                                                     -40.5f,
                                                     {-12.0f, -12.0f, -12.0f}},
                                           RangeCase{"MinimumAboveStartLevel",
                                                     7,
                                                     sim::kPartSide,
                                                     1,
                                                     {-30.0f, 0.0f, 0.375f, -9.0f},
                                                     -30.0f,
                                                     {-22.5f, -15.0f, -7.5f}}),
                         [](const ::testing::TestParamInfo<RangeCase>& info) {
                             return info.param.name;
                         });

TEST(ChannelMeasurementTest, AChannelBelowMinus40IsRecordedAtItsMaximum) {
    ManualMeasurement run(Machine({{sim::kPartRear, 0, {-60.0f, -45.0f, 1.5f, -50.0f}}}, 2, 4.0),
                          2);
    run.StartPhase();
    int32_t phaseTick = 0;
    while (phaseTick < 1024 && !run.Tick(phaseTick))
        ++phaseTick;
    EXPECT_LT(phaseTick, 16);
    for (int32_t band = 0; band < kBands; ++band)
        EXPECT_EQ(run.Results()[band], -45.0f) << "band " << band;
    EXPECT_EQ(run.context->masterLevels[0][kMasterLeft][kBandHigh], 0.0f);
}

TEST(ChannelMeasurementTest, AllThreeBandsInTheFirstCycleEndThePhaseEarly) {
    ManualMeasurement run(Machine({}, 1, 0.2), 1);
    run.context->masterLevels[0][kMasterRight][kBandLow] = kUntouched;
    run.StartPhase();
    EXPECT_EQ(run.context->soughtBand, kBandLow);

    // The band sought after each tick, and the tick that ended the phase.
    std::vector<int32_t> sought;
    int32_t phaseTick = 0;
    bool high = false;
    for (; phaseTick < 16 && !high; ++phaseTick) {
        high = run.Tick(phaseTick);
        sought.push_back(run.context->soughtBand);
    }
    ASSERT_TRUE(high);
    const int32_t ticks = phaseTick;
    EXPECT_GE(ticks, 12);
    EXPECT_LE(ticks, 16);
    // Low is found on tick 9 at the earliest, then Medium and High on later polls, in order.
    EXPECT_EQ(sought[8], kBandLow);
    int32_t previous = kBandLow;
    for (int32_t value : sought) {
        EXPECT_GE(value, previous);
        previous = value;
    }
    EXPECT_EQ(sought.back(), kBandHigh);
    for (int32_t band = 0; band < kBands; ++band)
        EXPECT_EQ(run.Results()[band], -10.5f) << "band " << band;
    EXPECT_EQ(run.context->masterLevels[0][kMasterRight][kBandLow], 0.0f);
}

TEST(ChannelMeasurementTest, TakingWhileTheDetectorIsPendingLosesTheCycle) {
    ManualMeasurement run(Machine({}, 0, 0.2), 0);
    run.StartPhase();
    for (int32_t tick = 0; tick < 8; ++tick)
        EXPECT_FALSE(run.Tick(tick));
    // Armed on tick 8 and polled on tick 9 before any block was captured: the request is still
    // pending and the poll takes it back.
    EXPECT_FALSE(run.Tick(8, false));
    EXPECT_FALSE(run.Tick(9));
    for (int32_t tick = 10; tick < 16; ++tick)
        EXPECT_FALSE(run.Tick(tick));
    EXPECT_EQ(run.context->soughtBand, kBandLow);
    for (int32_t band = 0; band < kBands; ++band)
        EXPECT_EQ(run.Results()[band], kUntouched);

    // The next cycle raises the level and finds all three bands there.
    int32_t phaseTick = 16;
    while (phaseTick < 32 && !run.Tick(phaseTick))
        ++phaseTick;
    EXPECT_LT(phaseTick, 32);
    for (int32_t band = 0; band < kBands; ++band)
        EXPECT_EQ(run.Results()[band], 0.0f) << "band " << band;
}

TEST(ChannelMeasurementTest, AChannelWithoutLevelControlStaysSilentForItsWholePhase) {
    sim::SimPcOptions options = Machine({}, 5, 0.2);
    sim::EndpointDesign& render = options.audio.designs()[0];
    ASSERT_TRUE(sim::RemoveLevel(&render, sim::kPartCenter));
    RunHarness run(options);
    for (float& level : run.context->channelLevels[0][5])
        level = kUntouched;
    run.context->masterLevels[0][kMasterLeft][kBandLow] = kUntouched;
    ASSERT_EQ(run.Begin(1, 5), kOk);
    ASSERT_EQ(run.RunToEnd(), kTickFinished);

    const std::vector<Phase> phases = PhasesOf(run.ticks);
    ASSERT_EQ(phases.size(), 1u);
    EXPECT_EQ(phases[0], (Phase{0, 5, kChannelPhaseTicks}));
    for (int32_t band = 0; band < kBands; ++band)
        EXPECT_EQ(run.context->channelLevels[0][5][band], kUntouched);
    EXPECT_EQ(run.context->masterLevels[0][kMasterLeft][kBandLow], kUntouched);
}

}  // namespace
}  // namespace zelk::testing
