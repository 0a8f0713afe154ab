// The calibration context on the simulated PC: its defined state before any run, the channel
// plan and the refusals of BeginRun, the reopen and drop of the endpoint control, and the three
// result queries.

#include "engine/calibration_context.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "calibration/run_harness.h"

namespace zelk::testing {
namespace {

TEST(CalibrationContextTest, EveryFieldIsDefinedBeforeTheFirstRun) {
    RunHarness run;
    CalibrationContext& context = *run.context;
    EXPECT_EQ(context.window, kNoWindow);
    EXPECT_EQ(context.vendorId, 0);
    EXPECT_EQ(context.deviceId, 0);
    EXPECT_EQ(context.mode, 0);
    EXPECT_EQ(context.pass, 0);
    EXPECT_EQ(context.position, 0);
    EXPECT_EQ(context.warmupTicks, 0u);
    EXPECT_EQ(context.soughtBand, 0);
    EXPECT_STREQ(context.wavPath, "");
    EXPECT_STREQ(context.errorText, "");
    EXPECT_FALSE(context.endpointControl);
    EXPECT_FALSE(context.runActive());
    for (const auto& pass : context.channelLevels) {
        for (const auto& channel : pass) {
            for (float level : channel)
                EXPECT_EQ(level, 0.0f);
        }
    }

    // A stop before any start does nothing harmful, and may be repeated.
    const CodecState before = SnapshotCodec(run.pc);
    const int64_t baseline = run.pc.audio().TotalLiveRefs();
    context.AbortRun();
    context.AbortRun();
    context.FinishRun();
    EXPECT_EQ(SnapshotCodec(run.pc), before);
    EXPECT_EQ(run.pc.audio().TotalLiveRefs(), baseline);
    int32_t countdown = -7;
    EXPECT_EQ(CalibrationTick(&context, CALIBRATION_TIMER_ID, &countdown, nullptr, nullptr),
              kTickNotOurs);
    EXPECT_EQ(countdown, -7);
}

struct PlanCase {
    int32_t mode;
    int32_t singleChannel;
    int32_t channelCount;
    int32_t channelMask;
    int32_t plannedSingle;
};

TEST(CalibrationContextTest, BeginRunChoosesTheChannelPlanOfTheMode) {
    const PlanCase cases[] = {
        {1, 5, 8, 0xFF, 5}, {2, 5, 2, 0x03, 0}, {4, 5, 6, 0x3F, 0},
        {6, 5, 6, 0x3F, 0}, {8, 5, 8, 0xFF, 0},
    };
    for (const PlanCase& c : cases) {
        RunHarness run;
        for (auto& pass : run.context->masterLevels) {
            for (auto& side : pass) {
                for (float& level : side)
                    level = -9.0f;
            }
        }
        ASSERT_EQ(run.Begin(c.mode, c.singleChannel), kOk) << "mode " << c.mode;
        EXPECT_EQ(run.context->channelCount, c.channelCount) << "mode " << c.mode;
        EXPECT_EQ(run.context->channelMask, c.channelMask) << "mode " << c.mode;
        EXPECT_EQ(run.context->singleChannel, c.plannedSingle) << "mode " << c.mode;
        EXPECT_EQ(run.context->window, run.window);
        EXPECT_EQ(run.context->vendorId, sim::kSimCodecVendor);
        EXPECT_EQ(run.context->deviceId, sim::kSimDefaultCodec);
        EXPECT_EQ(run.context->renderTopologyKind, 8);
        EXPECT_EQ(run.context->captureTopologyKind, 2);
        EXPECT_EQ(run.context->toneOn, 1);
        EXPECT_TRUE(run.windowing.HasTimer(run.window, CALIBRATION_TIMER_ID));
        // A full run rewrites the tables at its start; a single-channel run keeps them.
        EXPECT_EQ(run.context->masterLevels[2][1][2], c.mode == 1 ? -9.0f : 0.0f);
    }
}

TEST(CalibrationContextTest, TheWavPathIsCopiedUpTo259Characters) {
    struct Case {
        size_t length;
        bool accepted;
    };
    for (const Case& c : {Case{0, true}, Case{259, true}, Case{260, false}, Case{400, false}}) {
        RunHarness run;
        const std::string path = std::string(c.length, 'w');
        std::strcpy(run.context->wavPath, "earlier.wav");
        const Status status = run.Begin(8, 0, path.c_str());
        if (c.accepted) {
            EXPECT_EQ(status, kOk) << c.length;
            EXPECT_EQ(std::string(run.context->wavPath), path);
        } else {
            // Refused before anything is touched.
            EXPECT_EQ(status, kFail) << c.length;
            EXPECT_STREQ(run.context->wavPath, "earlier.wav");
            EXPECT_EQ(run.context->window, kNoWindow);
            EXPECT_FALSE(run.context->endpointControl);
            EXPECT_STREQ(run.context->errorText, "");
        }
    }
    RunHarness run;
    std::strcpy(run.context->wavPath, "earlier.wav");
    ASSERT_EQ(run.Begin(8, 0, nullptr), kOk);
    EXPECT_STREQ(run.context->wavPath, "");
}

TEST(CalibrationContextTest, AnInvalidModeChangesNeitherTheControlNorTheDevices) {
    RunHarness run;
    ASSERT_EQ(
        run.context->ReopenEndpointControl(run.window, sim::kSimCodecVendor, sim::kSimDefaultCodec),
        kOk);
    const EndpointControl* kept = run.context->endpointControl.get();
    for (int32_t mode : {0, 3, 5, 9, -1}) {
        EXPECT_EQ(run.Begin(mode), kFail) << mode;
        EXPECT_STREQ(run.context->errorText, "[Qaltor](1) Invalid channel number!");
        EXPECT_EQ(run.context->endpointControl.get(), kept);
        EXPECT_EQ(run.pc.waveOut().OpenStreams(), 0);
        EXPECT_EQ(run.pc.waveIn().OpenStreams(), 0);
        EXPECT_FALSE(run.windowing.HasTimer(run.window, CALIBRATION_TIMER_ID));
    }
    run.context->DropEndpointControl();
}

TEST(CalibrationContextTest, ReopenReplacesTheControlAndDropReleasesIt) {
    RunHarness run;
    const int64_t baseline = run.pc.audio().TotalLiveRefs();
    ASSERT_EQ(
        run.context->ReopenEndpointControl(run.window, sim::kSimCodecVendor, sim::kSimDefaultCodec),
        kOk);
    ASSERT_TRUE(run.context->endpointControl);
    EXPECT_TRUE(run.context->endpointControl->opened());
    EXPECT_EQ(run.context->endpointControl->RecordCount(DataFlow::kRender), 1);
    EXPECT_EQ(run.context->endpointControl->RecordCount(DataFlow::kCapture), 0);
    const int64_t oneControl = ControlRefs(run.pc);
    EXPECT_GT(oneControl, 0);

    // A second reopen destroys the first control before it opens its own.
    ASSERT_EQ(
        run.context->ReopenEndpointControl(run.window, sim::kSimCodecVendor, sim::kSimDefaultCodec),
        kOk);
    EXPECT_EQ(ControlRefs(run.pc), oneControl);

    run.context->DropEndpointControl();
    EXPECT_FALSE(run.context->endpointControl);
    EXPECT_EQ(run.pc.audio().TotalLiveRefs(), baseline);
    run.context->DropEndpointControl();

    // A codec that is not there: the message, and an unopened control that holds no controls.
    EXPECT_EQ(run.context->ReopenEndpointControl(run.window, sim::kSimCodecVendor, 0x0123), kFail);
    EXPECT_STREQ(run.context->errorText, "[Qaltor](7) Fail to init topology!");
    ASSERT_TRUE(run.context->endpointControl);
    EXPECT_FALSE(run.context->endpointControl->opened());
    EXPECT_EQ(run.context->vendorId, sim::kSimCodecVendor);
    EXPECT_EQ(run.context->deviceId, 0x0123);
    EXPECT_EQ(ControlRefs(run.pc), 0);
}

TEST(ResultQueriesTest, ResultLevelsAddEachChannelsMediumToItsSidesMaster) {
    RunHarness run;
    EXPECT_EQ(run.context->GetResultLevels(nullptr), kFail);
    for (int32_t pass = 0; pass < kPasses; ++pass) {
        for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
            for (int32_t band = 0; band < kBands; ++band) {
                run.context->channelLevels[pass][channel][band] =
                    static_cast<float>(-(pass * 100 + channel * 10 + band));
            }
        }
        for (int32_t side = 0; side < kMasterSides; ++side) {
            for (int32_t band = 0; band < kBands; ++band) {
                run.context->masterLevels[pass][side][band] =
                    static_cast<float>(-(pass * 0.25 + side * 0.5 + band * 0.125));
            }
        }
    }
    float levels[kSpeakerChannels] = {};
    ASSERT_EQ(run.context->GetResultLevels(levels), kOk);
    // Medium is band 1; the subwoofer's entries are those of pass 1.
    const float expected[kSpeakerChannels] = {-1.0f - 0.125f,  -11.0f - 0.625f,  -21.0f - 0.125f,
                                              -31.0f - 0.625f, -141.0f - 0.375f, -51.0f - 0.125f,
                                              -61.0f - 0.125f, -71.0f - 0.625f};
    for (int32_t channel = 0; channel < kSpeakerChannels; ++channel)
        EXPECT_FLOAT_EQ(levels[channel], expected[channel]) << channel;
}

TEST(ResultQueriesTest, SpeakerLayoutComesFromTheRenderEndpoint) {
    struct Case {
        uint16_t deviceId;
        uint16_t channels;
        uint32_t mask;
    };
    for (const Case& c : {Case{0x0899, 8, 0x63F}, Case{0x0662, 6, 0x3F}}) {
        sim::SimPcOptions options;
        options.audio = sim::SimAudioSystemBuilder().AddCodec(c.deviceId);
        options.codecDevice = c.deviceId;
        RunHarness run(options);
        const int64_t baseline = run.pc.audio().TotalLiveRefs();
        uint16_t channels = 0;
        uint32_t physical = 0;
        uint32_t fullRange = 0;
        ASSERT_EQ(run.context->QuerySpeakerLayout(run.window, sim::kSimCodecVendor, c.deviceId,
                                                  &channels, &physical, &fullRange),
                  kOk);
        EXPECT_EQ(channels, c.channels);
        EXPECT_EQ(physical, c.mask);
        EXPECT_EQ(fullRange, c.mask);
        EXPECT_FALSE(run.context->endpointControl);
        EXPECT_EQ(run.pc.audio().TotalLiveRefs(), baseline);
    }

    RunHarness run;
    uint16_t channels = 77;
    uint32_t physical = 77;
    uint32_t fullRange = 77;
    EXPECT_EQ(run.context->QuerySpeakerLayout(run.window, sim::kSimCodecVendor, 0x0899, nullptr,
                                              &physical, &fullRange),
              kFail);
    EXPECT_STREQ(run.context->errorText, "");
    EXPECT_FALSE(run.context->endpointControl);
    EXPECT_EQ(run.context->QuerySpeakerLayout(run.window, sim::kSimCodecVendor, 0x0123, &channels,
                                              &physical, &fullRange),
              kFail);
    EXPECT_STREQ(run.context->errorText, "[Qaltor](7) Fail to init topology!");
    EXPECT_EQ(channels, 77);
    EXPECT_EQ(physical, 77u);
    EXPECT_EQ(fullRange, 77u);
}

TEST(ResultQueriesTest, ChannelLevelIsTheLevelFoundAtOpening) {
    sim::SimPcOptions options;
    sim::EndpointDesign render = sim::CodecRender(sim::kSimDefaultCodec);
    // The side volume has only its left channel here.
    ASSERT_TRUE(sim::SetChannelCount(&render, sim::kPartSide, 1));
    ASSERT_TRUE(sim::SetChannel(&render, sim::kPartRear, 1, {-46.5f, 0.0f, 1.5f, -22.5f}));
    options.audio = sim::SimAudioSystemBuilder().Add(render).Add(
        sim::MicrophoneCapture(sim::kSimCodecVendor, sim::kSimDefaultCodec));
    RunHarness run(options);
    const int64_t baseline = run.pc.audio().TotalLiveRefs();

    struct Case {
        uint32_t slot;
        Status status;
        float level;
    };
    const Case cases[] = {
        {0, kOk, -3.0f},   {3, kOk, -22.5f},
        {4, kOk, -12.0f},  {7, kFail, 99.0f},  // no second channel on the side volume: no level
        {8, kFail, 99.0f},
    };
    for (const Case& c : cases) {
        float level = 99.0f;
        EXPECT_EQ(run.context->QueryChannelLevel(run.window, sim::kSimCodecVendor,
                                                 sim::kSimDefaultCodec, c.slot, &level),
                  c.status)
            << c.slot;
        EXPECT_EQ(level, c.level) << c.slot;
        EXPECT_FALSE(run.context->endpointControl) << c.slot;
        EXPECT_EQ(run.pc.audio().TotalLiveRefs(), baseline) << c.slot;
    }
    EXPECT_EQ(run.context->QueryChannelLevel(run.window, sim::kSimCodecVendor,
                                             sim::kSimDefaultCodec, 0, nullptr),
              kFail);

    // A control kept from a run is destroyed by the query's own.
    ASSERT_EQ(run.Begin(2), kOk);
    run.context->AbortRun();
    ASSERT_TRUE(run.context->endpointControl);
    float level = 0.0f;
    EXPECT_EQ(run.context->QueryChannelLevel(run.window, sim::kSimCodecVendor,
                                             sim::kSimDefaultCodec, 1, &level),
              kOk);
    EXPECT_EQ(level, -4.5f);
    EXPECT_FALSE(run.context->endpointControl);
}

}  // namespace
}  // namespace zelk::testing
