// The schedule of a run in ticks of the calibration timer: the warm-up, the channels each pass
// measures and how long each phase lasts, the pass tails, the playback pass and both endings.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "calibration/run_harness.h"

namespace zelk::testing {
namespace {

// Channels the room hears loudly reach High in their first cycle; the others are never heard, so
// their phases run all 64 cycles.
constexpr bool kLoud[kSpeakerChannels] = {false, true, true, false, true, false, false, true};
constexpr double kLoudCoupling = 0.05;

sim::SimPcOptions ScheduleRoom() {
    sim::SimPcOptions options;
    for (int32_t channel = 0; channel < kSpeakerChannels; ++channel)
        options.room.couplings[static_cast<size_t>(channel)] = kLoud[channel] ? kLoudCoupling : 0.0;
    return options;
}

constexpr const char* kWavPath = "C:\\media\\tone.wav";

class ScheduleHarness : public RunHarness {
  public:
    explicit ScheduleHarness(sim::SimPcOptions options = ScheduleRoom())
        : RunHarness(std::move(options)) {
        files.files[u"C:\\media\\tone.wav"] = ToneWav(2, 500);
    }

    // Ticks of a pass: those that started in it.
    std::vector<TickRecord> TicksOfPass(int32_t pass) const {
        std::vector<TickRecord> result;
        for (const TickRecord& tick : ticks) {
            if (tick.warmupBefore >= kWarmupTicks && tick.passBefore == pass)
                result.push_back(tick);
        }
        return result;
    }
};

struct ScheduleCase {
    const char* name;
    int32_t mode;
    int32_t singleChannel;
    std::vector<int32_t> pass0;
    std::vector<int32_t> pass1;
    int32_t playbackTicks;

    // Listed by its name, not by its bytes.
    friend void PrintTo(const ScheduleCase& c, std::ostream* os) { *os << c.name; }
};

class SequencerScheduleTest : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(SequencerScheduleTest, MeasuresThePlannedChannelsAndPlaysForThePlannedTime) {
    const ScheduleCase& c = GetParam();
    ScheduleHarness run;
    ASSERT_EQ(run.Begin(c.mode, c.singleChannel, kWavPath), kOk);
    ASSERT_EQ(run.RunToEnd(), kTickFinished);

    // The warm-up: 600 ticks of countdown, no channel work.
    ASSERT_GT(run.ticks.size(), kWarmupTicks);
    for (uint32_t i = 0; i < kWarmupTicks; ++i)
        EXPECT_EQ(run.ticks[i].countdown, static_cast<int32_t>(kWarmupTicks - 1 - i));

    // The channels of each pass, in order, each phase as long as its loudness allows.
    std::vector<Phase> phases = PhasesOf(run.ticks);
    std::vector<std::pair<int32_t, int32_t>> measured;
    for (const Phase& phase : phases)
        measured.emplace_back(phase.pass, phase.channel);
    std::vector<std::pair<int32_t, int32_t>> planned;
    for (int32_t channel : c.pass0)
        planned.emplace_back(0, channel);
    for (int32_t channel : c.pass1)
        planned.emplace_back(1, channel);
    EXPECT_EQ(measured, planned) << DescribePhases(phases);

    int32_t phaseTicks[2] = {0, 0};
    for (const Phase& phase : phases) {
        if (kLoud[phase.channel]) {
            EXPECT_GE(phase.ticks, 12) << DescribePhases(phases);
            EXPECT_LE(phase.ticks, 16) << DescribePhases(phases);
        } else {
            EXPECT_EQ(phase.ticks, kChannelPhaseTicks) << DescribePhases(phases);
        }
        phaseTicks[phase.pass] += phase.ticks;
    }

    // Each measuring pass ends with a three-tick tail: the player stopped on the first, the next
    // pass begun on the third.
    for (int32_t pass = 0; pass < 2; ++pass) {
        std::vector<TickRecord> ticks = run.TicksOfPass(pass);
        EXPECT_EQ(static_cast<int32_t>(ticks.size()), phaseTicks[pass] + 3) << "pass " << pass;
        ASSERT_GE(ticks.size(), 3u);
        EXPECT_EQ(ticks[ticks.size() - 3].position, kPlayerStopPosition);
        EXPECT_EQ(ticks.back().pass, pass + 1);
    }

    // The playback pass counts its ticks, then the same tail, and the run finishes.
    std::vector<TickRecord> playback = run.TicksOfPass(2);
    EXPECT_EQ(static_cast<int32_t>(playback.size()), c.playbackTicks + 3);
    EXPECT_EQ(run.ticks.back().result, kTickFinished);
    EXPECT_EQ(run.context->pass, 3);
    EXPECT_FALSE(run.context->runActive());
    EXPECT_FALSE(run.windowing.HasTimer(run.window, CALIBRATION_TIMER_ID));
    EXPECT_EQ(run.pc.waveOut().OpenStreams(), 0);
    EXPECT_EQ(run.pc.waveIn().OpenStreams(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SequencerScheduleTest,
    ::testing::Values(
        ScheduleCase{"Mode2", 2, 0, {0, 1}, {}, 2048},
        ScheduleCase{"Mode4", 4, 0, {0, 1, 2, 3}, {}, 4096},
        ScheduleCase{"Mode6", 6, 0, {0, 1, 2, 3, 5}, {4}, 6144},
        ScheduleCase{"Mode8", 8, 0, {0, 1, 2, 3, 5, 6, 7}, {4}, 8192},
        ScheduleCase{"Single0", 1, 0, {0}, {}, 1024}, ScheduleCase{"Single1", 1, 1, {1}, {}, 2048},
        ScheduleCase{"Single2", 1, 2, {2}, {}, 3072}, ScheduleCase{"Single3", 1, 3, {3}, {}, 4096},
        ScheduleCase{"Single4", 1, 4, {}, {4}, 5120}, ScheduleCase{"Single5", 1, 5, {5}, {}, 6144},
        ScheduleCase{"Single6", 1, 6, {6}, {}, 7168}, ScheduleCase{"Single7", 1, 7, {7}, {}, 8192}),
    [](const ::testing::TestParamInfo<ScheduleCase>& info) { return info.param.name; });

TEST(SequencerProgressTest, ReportsTheWarmUpAndTheFirstChannel) {
    ScheduleHarness run;
    ASSERT_EQ(run.Begin(8), kOk);
    for (int i = 0; i < 601; ++i)
        run.Step();
    ASSERT_EQ(run.ticks.size(), 601u);

    struct Expected {
        size_t tick;
        int32_t countdown;
        int32_t passNumber;
        int32_t channelBit;
        int32_t reportedAfter;
    };
    const Expected expected[] = {
        {1, 599, 1, 0, 0},
        {600, 0, 1, 0, 0},
        // The first channel start: the outputs are written before the work, the channel after it.
        {601, 0, 1, 0, 1},
    };
    for (const Expected& e : expected) {
        const TickRecord& tick = run.ticks[e.tick - 1];
        EXPECT_EQ(tick.result, kTickContinue) << "tick " << e.tick;
        EXPECT_EQ(tick.countdown, e.countdown) << "tick " << e.tick;
        EXPECT_EQ(tick.passNumber, e.passNumber) << "tick " << e.tick;
        EXPECT_EQ(tick.channelBit, e.channelBit) << "tick " << e.tick;
        EXPECT_EQ(tick.reportedChannelBit, e.reportedAfter) << "tick " << e.tick;
    }
    EXPECT_EQ(run.ticks[599].position, 0);
    EXPECT_EQ(run.ticks[600].position, 1);
    EXPECT_EQ(run.context->warmupTicks, 0xFFFFFFFFu);

    // The next tick reports the channel the first one started.
    run.Step();
    EXPECT_EQ(run.ticks.back().channelBit, 1);
}

TEST(SequencerProgressTest, AnotherTimerChangesNothing) {
    ScheduleHarness run;
    ASSERT_EQ(run.Begin(8), kOk);
    for (int i = 0; i < 700; ++i)
        run.Step();
    int32_t position = run.context->position;
    int32_t countdown = -7;
    int32_t passNumber = -7;
    int32_t channelBit = -7;
    EXPECT_EQ(CalibrationTick(run.context.get(), CALIBRATION_TIMER_ID + 1, &countdown, &passNumber,
                              &channelBit),
              kTickNotOurs);
    EXPECT_EQ(countdown, -7);
    EXPECT_EQ(passNumber, -7);
    EXPECT_EQ(channelBit, -7);
    EXPECT_EQ(run.context->position, position);
}

TEST(SequencerEndingTest, WithoutAWavFileTheRunEndsWhenThePlaybackWouldBegin) {
    ScheduleHarness run;
    ASSERT_EQ(run.Begin(2), kOk);
    ASSERT_EQ(run.RunToEnd(), kTickFinished);
    const TickRecord& last = run.ticks.back();
    EXPECT_EQ(last.passBefore, 1);
    EXPECT_EQ(last.positionBefore, kNextPassPosition - 1);
    EXPECT_EQ(run.context->pass, 2);
    EXPECT_EQ(run.context->toneOn, 0);
    EXPECT_FALSE(run.windowing.HasTimer(run.window, CALIBRATION_TIMER_ID));
    EXPECT_EQ(run.pc.waveOut().OpenStreams(), 0);
    EXPECT_EQ(run.pc.waveIn().OpenStreams(), 0);

    // A tick that arrives after the end does nothing.
    int32_t countdown = -7;
    EXPECT_EQ(
        CalibrationTick(run.context.get(), CALIBRATION_TIMER_ID, &countdown, nullptr, nullptr),
        kTickNotOurs);
    EXPECT_EQ(countdown, -7);
}

TEST(SequencerEndingTest, ALowerToneThatCannotStartFailsTheRun) {
    ScheduleHarness run;
    ASSERT_EQ(run.Begin(6), kOk);
    // The first open was the 261.63 tone; the second is the 130.81 tone of pass 1.
    run.pc.waveOut().FailNext(sim::WaveOp::kOpen, kMmError);
    ASSERT_EQ(run.RunToEnd(), kTickFailed);
    EXPECT_EQ(run.ticks.back().passBefore, 0);
    EXPECT_EQ(run.context->pass, 1);
    EXPECT_FALSE(run.context->runActive());
    EXPECT_FALSE(run.windowing.HasTimer(run.window, CALIBRATION_TIMER_ID));
    EXPECT_EQ(run.pc.waveOut().OpenStreams(), 0);
    EXPECT_EQ(run.pc.waveIn().OpenStreams(), 0);
    // Pass 1 measured nothing.
    for (const Phase& phase : PhasesOf(run.ticks))
        EXPECT_EQ(phase.pass, 0);
}

TEST(SequencerEndingTest, APlaybackThatCannotStartStillFinishesTheRun) {
    ScheduleHarness run;
    ASSERT_EQ(run.Begin(2, 0, "C:\\media\\missing.wav"), kOk);
    ASSERT_EQ(run.RunToEnd(), kTickFinished);
    EXPECT_EQ(run.ticks.back().passBefore, 1);
    EXPECT_EQ(run.context->pass, 2);
    EXPECT_EQ(run.pc.waveOut().OpenStreams(), 0);
}

}  // namespace
}  // namespace zelk::testing
