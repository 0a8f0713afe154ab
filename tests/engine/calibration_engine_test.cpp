#include "engine/calibration_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "calibration/calibration_sequencer.h"
#include "platform/core_audio.h"
#include "platform/sim/sim_pc.h"
#include "platform/sim/sim_sync.h"
#include "platform/sim/sim_windowing.h"
#include "platform/sim/virtual_clock.h"
#include "platform/wave_format.h"

namespace zelk {
namespace {

// A machine whose audio stack offers no endpoints at all: every codec look-up fails.
class NoAudio : public CoreAudio {
  public:
    void InitializeThread() override {}
    Status CreateDeviceEnumerator(Ref<AudioDeviceEnumerator>*) override { return kNotFound; }
};

struct Completion {
    int calls = 0;
    int32_t stateSeen = 0;
    CalibrationEngine* engine = nullptr;
    static void Callback(void* arg) {
        auto* self = static_cast<Completion*>(arg);
        ++self->calls;
        self->stateSeen = self->engine->GetState();
    }
};

TEST(LevelConversionTest, PercentAndGainTruncateTowardZeroFromTheFloor) {
    struct Case {
        float level;
        int32_t percent;
        int32_t gain;
    };
    const Case cases[] = {
        {-65.25f, 0, 0},     // the floor
        {0.0f, 100, 50},     // full level
        {-32.625f, 50, 25},  // half way
        {-65.0f, 0, 0},      // 0.38 % and 0.19: truncated
        {-64.0f, 1, 0},      // 1.92 % and 0.96
        {-20.0f, 69, 34},    // 69.35 % and 34.67
        {-65.5f, 0, 0},      // just below the floor: -0.38 % truncates toward zero
        {-70.0f, -7, -3},    // -7.28 % and -3.64
        {6.0f, 109, 54},     // above 0 dB: 109.20 % and 54.60
        // 99.9999985 % in double rounds to 100 in single precision before the truncation; the
        // gain is truncated from double precision.
        {-1e-6f, 100, 49},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LevelToPercent(c.level), c.percent) << c.level;
        EXPECT_EQ(LevelToGain(c.level), c.gain) << c.level;
    }
    EXPECT_EQ(LevelToPercent(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(LevelToGain(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(LevelToPercent(std::numeric_limits<float>::max()),
              std::numeric_limits<int32_t>::max());
    EXPECT_EQ(LevelToGain(-std::numeric_limits<float>::infinity()),
              std::numeric_limits<int32_t>::min());
}

// An engine on a machine without the codec.
class EngineWithoutCodecTest : public ::testing::Test {
  protected:
    EngineWithoutCodecTest() {
        platform.windowing = &windowing;
        platform.coreAudio = &audio;
        platform.sync = &sync;
        EXPECT_EQ(windowing.OpenWindow("zelk", &handler, &window), kOk);
    }

    struct IgnoreAll : WindowHandler {
        intptr_t OnMessage(uint32_t, uint32_t, int32_t) override { return 0; }
    };

    sim::VirtualClock clock;
    sim::SimWindowing windowing{clock};
    sim::SimSync sync{clock};
    NoAudio audio;
    IgnoreAll handler;
    WindowHandle window = kNoWindow;
    Platform platform;
};

TEST_F(EngineWithoutCodecTest, StartsIdleWithAContext) {
    CalibrationEngine engine(platform);
    EXPECT_EQ(engine.GetState(), ENGINE_IDLE);
    EXPECT_NE(engine.context, nullptr);
    EXPECT_EQ(engine.passNumber, 0);
    EXPECT_EQ(engine.channelBit, 0);
    EXPECT_EQ(engine.countdown, 0);
    EXPECT_EQ(engine.completionCallback, nullptr);
}

TEST_F(EngineWithoutCodecTest, FailedStartsBecomeFailedAndKeepNoCallback) {
    struct Case {
        int32_t mode;
        int32_t singleChannel;
        const char* error;
    };
    const Case cases[] = {
        {2, 0, "[Qaltor](1) Fail to init topology!"},
        {8, 0, "[Qaltor](1) Fail to init topology!"},
        {1, 7, "[Qaltor](1) Fail to init topology!"},
        {3, 0, "[Qaltor](1) Invalid channel number!"},
        {0, 0, "[Qaltor](1) Invalid channel number!"},
        {1, 8, "[Qaltor](1) Invalid channel number!"},
        {1, -1, "[Qaltor](1) Invalid channel number!"},
    };
    for (const Case& c : cases) {
        CalibrationEngine engine(platform);
        Completion completion{0, 0, &engine};
        engine.passNumber = 3;  // left over from an earlier run
        engine.channelBit = 16;
        const Status status = engine.Start(window, 0x10EC, 0x0899, nullptr, c.mode, c.singleChannel,
                                           &Completion::Callback, &completion);
        EXPECT_TRUE(Failed(status)) << c.mode;
        EXPECT_EQ(engine.GetState(), ENGINE_FAILED) << c.mode;
        EXPECT_EQ(engine.completionCallback, nullptr);
        EXPECT_EQ(engine.completionArg, nullptr);
        EXPECT_EQ(engine.passNumber, 0);
        EXPECT_EQ(engine.channelBit, 0);
        EXPECT_STREQ(engine.context->errorText, c.error) << c.mode;
        EXPECT_FALSE(windowing.HasTimer(window, CALIBRATION_TIMER_ID));
        EXPECT_EQ(completion.calls, 0);
    }
}

TEST_F(EngineWithoutCodecTest, StopIsFinalInAnyStateAndNeverCallsBack) {
    CalibrationEngine engine(platform);
    Completion completion{0, 0, &engine};
    for (int32_t from : {ENGINE_IDLE, ENGINE_DONE, ENGINE_FAILED, ENGINE_STOPPED}) {
        engine.state = from;
        engine.completionCallback = &Completion::Callback;
        engine.completionArg = &completion;
        engine.Stop();
        EXPECT_EQ(engine.GetState(), ENGINE_STOPPED);
        EXPECT_EQ(engine.completionCallback, nullptr);
        EXPECT_EQ(engine.completionArg, nullptr);
    }
    EXPECT_EQ(completion.calls, 0);
}

TEST_F(EngineWithoutCodecTest, TicksWithoutARunChangeNothing) {
    CalibrationEngine engine(platform);
    Completion completion{0, 0, &engine};
    engine.countdown = 5;
    engine.passNumber = 2;
    engine.channelBit = 8;
    engine.completionCallback = &Completion::Callback;
    engine.completionArg = &completion;
    for (uintptr_t id : {uintptr_t{1}, uintptr_t{30308}, CALIBRATION_TIMER_ID, uintptr_t{30310}}) {
        engine.OnTimerTick(id);
        EXPECT_EQ(engine.countdown, 5);
        EXPECT_EQ(engine.passNumber, 2);
        EXPECT_EQ(engine.channelBit, 8);
        EXPECT_EQ(engine.GetState(), ENGINE_IDLE);
    }
    EXPECT_EQ(completion.calls, 0);
}

TEST_F(EngineWithoutCodecTest, LevelPercentsOnlyAfterAFinishedRun) {
    CalibrationEngine engine(platform);
    int32_t values[8];
    for (int32_t state : {ENGINE_IDLE, ENGINE_RUNNING, ENGINE_STOPPED, ENGINE_FAILED}) {
        engine.state = state;
        std::memset(values, 0x55, sizeof values);
        EXPECT_EQ(engine.GetLevelPercents(values), kFail) << state;
        EXPECT_EQ(values[0], 0x55555555);
    }
    engine.state = ENGINE_DONE;
    EXPECT_EQ(engine.GetLevelPercents(nullptr), kFail);

    // The tables as a full stereo run leaves them: slots 2..7 at the floor, one master entry.
    CalibrationContext& context = *engine.context;
    for (auto& pass : context.channelLevels)
        for (int32_t channel = 0; channel < 8; ++channel)
            for (float& level : pass[channel])
                level = channel >= 2 ? kLevelFloorDb : 0.0f;
    context.channelLevels[0][0][1] = -40.0f;
    context.channelLevels[0][1][1] = -30.0f;
    context.masterLevels[0][kMasterLeft][1] = -5.0f;
    ASSERT_EQ(engine.GetLevelPercents(values), kOk);
    // -45 dB: 31.03 %; -30 dB: 54.02 %; the floor plus the left master (-5 dB) lies below the
    // floor: -7.66 % truncates to -7; the subwoofer uses pass 1, still 0 dB in its master.
    const int32_t expected[8] = {31, 54, -7, 0, 0, -7, -7, 0};
    for (int32_t slot = 0; slot < 8; ++slot)
        EXPECT_EQ(values[slot], expected[slot]) << slot;
}

TEST_F(EngineWithoutCodecTest, ApplyResultsChecksStateAndSelector) {
    CalibrationEngine engine(platform);
    struct Case {
        int32_t state;
        int32_t selector;
        Status expected;
    };
    const Case cases[] = {
        {ENGINE_IDLE, 0, kOk},  // reaching the results file is success, whatever it did
        {ENGINE_IDLE, 1, kOk},           {ENGINE_DONE, 2, kOk},      {ENGINE_FAILED, 0, kOk},
        {ENGINE_STOPPED, 1, kOk},        {ENGINE_IDLE, 3, kFail},    {ENGINE_IDLE, -1, kFail},
        {ENGINE_IDLE, INT32_MIN, kFail}, {ENGINE_RUNNING, 0, kFail}, {ENGINE_RUNNING, 2, kFail},
    };
    for (const Case& c : cases) {
        engine.state = c.state;
        engine.context->SetErrorText("");
        EXPECT_EQ(engine.ApplyResults(window, 0x10EC, 0x0899, c.selector), c.expected)
            << c.state << " " << c.selector;
        EXPECT_EQ(engine.GetState(), c.state);
    }
}

TEST_F(EngineWithoutCodecTest, SpeakerLayoutArgumentsAreRefusedBeforeTheDevice) {
    CalibrationEngine engine(platform);
    struct Case {
        uint16_t count;
        uint32_t physical;
        uint32_t fullRange;
    };
    const Case refused[] = {
        {4, 0x3F, 0x33}, {2, 0x7, 0x3}, {2, 0x3, 0x4},      {8, 0x63F, 0x1000}, {0, 0, 0},
        {3, 0x3, 0x3},   {5, 0, 0},     {0x33, 0x33, 0x33}, {0xFFFF, 0x3, 0x3},
    };
    for (const Case& c : refused) {
        engine.context->SetErrorText("");
        EXPECT_EQ(engine.SetSpeakerLayout(window, 0x10EC, 0x0899, c.count, c.physical, c.fullRange),
                  kFail)
            << c.count;
        EXPECT_STREQ(engine.context->errorText, "");  // no message, nothing opened
    }
    // Acceptable arguments reach the device, which is missing here.
    EXPECT_EQ(engine.SetSpeakerLayout(window, 0x10EC, 0x0899, 6, 0x3F, 0x3F), kFail);
    EXPECT_STREQ(engine.context->errorText, "[Qaltor](7) Fail to init topology!");
    EXPECT_EQ(engine.SetSpeakerLayout(window, 0x10EC, 0x0899, 2, 0x2, 0x0), kFail);
}

TEST_F(EngineWithoutCodecTest, QueriesRefuseMissingOutputsAndFailWithoutTheCodec) {
    CalibrationEngine engine(platform);
    uint16_t channels = 7;
    uint32_t physical = 7, fullRange = 7;
    EXPECT_EQ(engine.GetSpeakerLayout(window, 0x10EC, 0x0899, nullptr, &physical, &fullRange),
              kFail);
    EXPECT_EQ(engine.GetSpeakerLayout(window, 0x10EC, 0x0899, &channels, nullptr, &fullRange),
              kFail);
    EXPECT_EQ(engine.GetSpeakerLayout(window, 0x10EC, 0x0899, &channels, &physical, nullptr),
              kFail);
    EXPECT_STREQ(engine.context->errorText, "");
    EXPECT_TRUE(
        Failed(engine.GetSpeakerLayout(window, 0x10EC, 0x0899, &channels, &physical, &fullRange)));
    EXPECT_STREQ(engine.context->errorText, "[Qaltor](7) Fail to init topology!");
    EXPECT_EQ(channels, 7);  // untouched
    EXPECT_EQ(physical, 7u);

    int32_t value = 99;
    EXPECT_EQ(engine.GetChannelGain(window, 0x10EC, 0x0899, 8, &value), kFail);
    EXPECT_EQ(value, 99);  // refused before anything: untouched
    EXPECT_EQ(engine.GetChannelGain(window, 0x10EC, 0x0899, 0xFFFFFFFFu, &value), kFail);
    EXPECT_EQ(value, 99);
    EXPECT_EQ(engine.GetChannelGain(window, 0x10EC, 0x0899, 0, nullptr), kFail);
    EXPECT_TRUE(Failed(engine.GetChannelGain(window, 0x10EC, 0x0899, 7, &value)));
    EXPECT_EQ(value, 0);  // a failing query writes 0
}

TEST_F(EngineWithoutCodecTest, ARunningEngineRefusesTheDeviceOperations) {
    CalibrationEngine engine(platform);
    engine.state = ENGINE_RUNNING;
    uint16_t channels = 0;
    uint32_t physical = 0, fullRange = 0;
    int32_t value = 99;
    EXPECT_EQ(engine.Start(window, 0x10EC, 0x0899, nullptr, 2, 0, nullptr, nullptr), kFail);
    EXPECT_EQ(engine.SetSpeakerLayout(window, 0x10EC, 0x0899, 2, 3, 3), kFail);
    EXPECT_EQ(engine.GetSpeakerLayout(window, 0x10EC, 0x0899, &channels, &physical, &fullRange),
              kFail);
    EXPECT_EQ(engine.GetChannelGain(window, 0x10EC, 0x0899, 0, &value), kFail);
    EXPECT_EQ(value, 99);
    // None of them reached the context.
    EXPECT_STREQ(engine.context->errorText, "");
    EXPECT_EQ(engine.GetState(), ENGINE_RUNNING);
}

// An engine on the simulated PC, its dialog window reduced to the timer: every timer message goes
// to the engine's tick.
class EngineOnPcTest : public ::testing::Test, public WindowHandler {
  protected:
    EngineOnPcTest() {
        platform = pc.platform();
        platform.windowing = &windowing;
        EXPECT_EQ(windowing.OpenWindow("zelk", this, &window), kOk);
        engine = std::make_unique<CalibrationEngine>(platform);
    }
    // The window (and its timer) goes before the engine, as when the dialog ends.
    ~EngineOnPcTest() override {
        windowing.CloseWindow(window);
        engine.reset();
    }

    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t) override {
        if (message == kWmTimer) {
            engine->OnTimerTick(wParam);
            ++ticks;
        }
        return 0;
    }

    // Advances the machine 10 ms at a time until the run is over or limitMs have passed.
    void RunToTheEnd(int64_t limitMs = 600'000) {
        for (int64_t ms = 0; ms < limitMs && engine->GetState() == ENGINE_RUNNING; ms += 10)
            pc.AdvanceMs(10);
    }

    struct DeviceFormat {
        uint16_t channels;
        uint32_t channelMask;
        uint32_t physicalSpeakers;
    };
    DeviceFormat Device() {
        const int32_t index = pc.renderEndpoint();
        const PropertyValue format =
            pc.audio().EndpointProperty(DataFlow::kRender, index, kKeyDeviceFormat);
        WaveFormatExtensible wave;
        std::memcpy(&wave, format.blob.data(), std::min(format.blob.size(), sizeof wave));
        return {wave.nChannels, wave.dwChannelMask,
                pc.audio().EndpointProperty(DataFlow::kRender, index, kKeyPhysicalSpeakers).number};
    }

    sim::SimPc pc;
    sim::SimWindowing windowing{pc.clock()};
    Platform platform;
    WindowHandle window = kNoWindow;
    std::unique_ptr<CalibrationEngine> engine;
    int ticks = 0;
};

TEST_F(EngineOnPcTest, AFinishedRunIsDoneWhenItsCallbackRunsOnce) {
    Completion completion{0, 0, engine.get()};
    ASSERT_EQ(
        engine->Start(window, 0x10EC, 0x0899, nullptr, 2, 0, &Completion::Callback, &completion),
        kOk);
    EXPECT_EQ(engine->GetState(), ENGINE_RUNNING);
    EXPECT_TRUE(windowing.HasTimer(window, CALIBRATION_TIMER_ID));
    pc.AdvanceMs(100);
    EXPECT_EQ(engine->passNumber, 1);
    EXPECT_EQ(engine->channelBit, 0);
    EXPECT_EQ(engine->countdown, 590);  // ten warm-up ticks gone
    int32_t values[8];
    EXPECT_EQ(engine->GetLevelPercents(values), kFail);  // not before the run is done

    RunToTheEnd();
    EXPECT_EQ(engine->GetState(), ENGINE_DONE);
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(completion.stateSeen, ENGINE_DONE);
    EXPECT_EQ(engine->completionCallback, nullptr);
    EXPECT_EQ(engine->completionArg, nullptr);
    EXPECT_FALSE(windowing.HasTimer(window, CALIBRATION_TIMER_ID));
    ASSERT_EQ(engine->GetLevelPercents(values), kOk);
    EXPECT_GT(values[0], 0);
    EXPECT_LT(values[0], 100);

    // Later ticks and a stop call nobody back.
    engine->OnTimerTick(CALIBRATION_TIMER_ID);
    engine->Stop();
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(engine->GetState(), ENGINE_STOPPED);
    EXPECT_EQ(engine->GetLevelPercents(values), kFail);
}

TEST_F(EngineOnPcTest, ARunThatFailsOnItsWayIsFailedWhenItsCallbackRuns) {
    Completion completion{0, 0, engine.get()};
    ASSERT_EQ(
        engine->Start(window, 0x10EC, 0x0899, nullptr, 2, 0, &Completion::Callback, &completion),
        kOk);
    // The next opening of a wave-out device is pass 1's tone: it fails.
    pc.waveOut().FailNext(sim::WaveOp::kOpen, kMmError);
    RunToTheEnd();
    EXPECT_EQ(engine->GetState(), ENGINE_FAILED);
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(completion.stateSeen, ENGINE_FAILED);
    EXPECT_EQ(engine->passNumber, 1);  // it failed at the end of the first pass
    int32_t values[8];
    EXPECT_EQ(engine->GetLevelPercents(values), kFail);
}

TEST_F(EngineOnPcTest, StopEndsARunWithoutCallbackAndGivesTheLevelsBack) {
    float before = 0.0f;
    ASSERT_TRUE(pc.audio().PartLevel("render0.front", 0, &before));
    Completion completion{0, 0, engine.get()};
    ASSERT_EQ(
        engine->Start(window, 0x10EC, 0x0899, nullptr, 8, 0, &Completion::Callback, &completion),
        kOk);
    pc.AdvanceMs(100);
    float during = 0.0f;
    ASSERT_TRUE(pc.audio().PartLevel("render0.front", 0, &during));
    EXPECT_NE(during, before);  // the run set every level to the floor
    engine->Stop();
    EXPECT_EQ(engine->GetState(), ENGINE_STOPPED);
    EXPECT_FALSE(windowing.HasTimer(window, CALIBRATION_TIMER_ID));
    float after = 0.0f;
    ASSERT_TRUE(pc.audio().PartLevel("render0.front", 0, &after));
    EXPECT_EQ(after, before);
    const int ticksAtStop = ticks;
    pc.AdvanceMs(1000);
    EXPECT_EQ(ticks, ticksAtStop);
    EXPECT_EQ(completion.calls, 0);
}

TEST_F(EngineOnPcTest, AStartDuringARunIsRefusedAndTheRunGoesOn) {
    Completion first{0, 0, engine.get()};
    Completion second{0, 0, engine.get()};
    ASSERT_EQ(engine->Start(window, 0x10EC, 0x0899, nullptr, 2, 0, &Completion::Callback, &first),
              kOk);
    pc.AdvanceMs(100);
    const int32_t countdown = engine->countdown;
    EXPECT_EQ(engine->Start(window, 0x10EC, 0x0899, nullptr, 8, 0, &Completion::Callback, &second),
              kFail);
    EXPECT_EQ(engine->GetState(), ENGINE_RUNNING);
    EXPECT_EQ(engine->countdown, countdown);  // progress not reset
    EXPECT_EQ(engine->passNumber, 1);
    EXPECT_EQ(engine->completionArg, &first);
    EXPECT_EQ(engine->context->mode, 2);
    RunToTheEnd();
    EXPECT_EQ(engine->GetState(), ENGINE_DONE);
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 0);
}

TEST_F(EngineOnPcTest, ACallbackMayStartTheNextRun) {
    struct Chain {
        CalibrationEngine* engine;
        WindowHandle window;
        int calls = 0;
        Status restart = kFail;
        static void Callback(void* arg) {
            auto* self = static_cast<Chain*>(arg);
            if (++self->calls == 1)
                self->restart = self->engine->Start(self->window, 0x10EC, 0x0899, nullptr, 1, 3,
                                                    &Chain::Callback, self);
        }
    } chain{engine.get(), window};
    ASSERT_EQ(engine->Start(window, 0x10EC, 0x0899, nullptr, 2, 0, &Chain::Callback, &chain), kOk);
    // Until the stereo run ends; the single-channel run starts from its callback.
    for (int64_t ms = 0; ms < 600'000 && chain.calls == 0; ms += 10)
        pc.AdvanceMs(10);
    EXPECT_EQ(chain.restart, kOk);
    EXPECT_EQ(chain.calls, 1);
    EXPECT_EQ(engine->GetState(), ENGINE_RUNNING);
    EXPECT_EQ(engine->completionArg, &chain);  // the second run keeps its callback
    RunToTheEnd();
    EXPECT_EQ(engine->GetState(), ENGINE_DONE);
    EXPECT_EQ(chain.calls, 2);
}

TEST_F(EngineOnPcTest, SpeakerLayoutChangesTheDeviceFormat) {
    EXPECT_EQ(engine->SetSpeakerLayout(window, 0x10EC, 0x0899, 4, 0x3F, 0x33), kFail);
    EXPECT_EQ(Device().channels, 8);
    EXPECT_EQ(engine->SetSpeakerLayout(window, 0x10EC, 0x0899, 6, 0x3F, 0x3F), kOk);
    EXPECT_EQ(Device().channels, 6);
    EXPECT_EQ(Device().channelMask, 0x3Fu);
    EXPECT_EQ(Device().physicalSpeakers, 0x3Fu);
    // Fewer speakers than the layout's mask is allowed: the format gets the standard mask.
    EXPECT_EQ(engine->SetSpeakerLayout(window, 0x10EC, 0x0899, 8, 0x3, 0x0), kOk);
    EXPECT_EQ(Device().channels, 8);
    EXPECT_EQ(Device().channelMask, 0x63Fu);
    EXPECT_EQ(Device().physicalSpeakers, 0x3u);

    uint16_t channels = 0;
    uint32_t physical = 0, fullRange = 0;
    EXPECT_EQ(engine->GetSpeakerLayout(window, 0x10EC, 0x0899, &channels, &physical, &fullRange),
              kOk);
    EXPECT_EQ(channels, 8);
    EXPECT_EQ(physical, 0x3u);
    EXPECT_EQ(fullRange, 0x0u);
    EXPECT_EQ(engine->context->endpointControl, nullptr);  // dropped again
    EXPECT_EQ(pc.audio().TotalLiveRefs(), 0);
}

TEST_F(EngineOnPcTest, SpeakerLayoutFailuresSayWhereAndKeepTheFormat) {
    struct Case {
        uint32_t failingWrite;  // 1 device format, 2 engine format, 3 full range, 4 physical
        const char* error;
        uint16_t channels;
        uint32_t physical;
        // Nothing was written, so both formats stay exactly as they were.
        bool formatsUntouched;
    };
    const Case cases[] = {
        {1, "[Qaltor] Fail to set render device format!", 8, 0x63F, true},
        // The device format was written before the engine format failed: it is put back.
        {2, "[Qaltor] Fail to set render device format!", 8, 0x63F, false},
        {4, "[Qaltor] Fail to set render speaker config!", 8, 0x63F, false},
    };
    const int32_t index = pc.renderEndpoint();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failingWrite);
        ASSERT_EQ(engine->SetSpeakerLayout(window, 0x10EC, 0x0899, 8, 0x63F, 0x63F), kOk);
        // An engine format of the endpoint's own that no write of ours would produce.
        const PropertyValue deviceFormat =
            pc.audio().EndpointProperty(DataFlow::kRender, index, kKeyDeviceFormat);
        pc.audio().SetEndpointProperty(DataFlow::kRender, index, kKeyOemFormat, deviceFormat);
        pc.audio().Faults().FailAt("render0.store", "SetValue", c.failingWrite, kNotFound);
        EXPECT_EQ(engine->SetSpeakerLayout(window, 0x10EC, 0x0899, 6, 0x3F, 0x3F), kNotFound);
        EXPECT_STREQ(engine->context->errorText, c.error);
        EXPECT_EQ(Device().channels, c.channels);
        EXPECT_EQ(Device().physicalSpeakers, c.physical);
        if (c.formatsUntouched) {
            EXPECT_EQ(pc.audio().EndpointProperty(DataFlow::kRender, index, kKeyDeviceFormat).blob,
                      deviceFormat.blob);
            EXPECT_EQ(pc.audio().EndpointProperty(DataFlow::kRender, index, kKeyOemFormat).blob,
                      deviceFormat.blob);
        }
        EXPECT_EQ(engine->context->endpointControl, nullptr);
        pc.audio().Faults().Clear();
    }
}

TEST_F(EngineOnPcTest, ChannelGainReadsTheCodecLevel) {
    struct Case {
        float level;
        int32_t gain;
    };
    const Case cases[] = {{-65.25f, 0}, {0.0f, 50}, {-32.625f, 25}, {-3.0f, 47}, {-46.5f, 14}};
    for (const Case& c : cases) {
        ASSERT_TRUE(pc.audio().SetPartLevel("render0.center", 0, c.level));
        int32_t value = -1;
        EXPECT_EQ(engine->GetChannelGain(window, 0x10EC, 0x0899, 5, &value), kOk);
        EXPECT_EQ(value, c.gain) << c.level;
    }
    pc.audio().Faults().FailFrom("render0.center", "GetLevel", 1, kNotFound);
    int32_t value = -1;
    EXPECT_TRUE(Failed(engine->GetChannelGain(window, 0x10EC, 0x0899, 5, &value)));
    EXPECT_EQ(value, 0);
}

}  // namespace
}  // namespace zelk
