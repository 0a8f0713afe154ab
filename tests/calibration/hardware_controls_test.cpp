// Whole runs on a codec that behaves as hardware does: controls that hold a step other than the
// level asked for, mixer inputs that carry a source into the speakers, and a speaker layout that
// decides which speakers a stream reaches.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "calibration/results_room.h"
#include "calibration/run_harness.h"
#include "platform/wave_format.h"

namespace zelk::testing {
namespace {

using LevelTables = float[kPasses][kSpeakerChannels][kBands];

bool SameTables(const LevelTables& a, const LevelTables& b) {
    return std::memcmp(a, b, sizeof(LevelTables)) == 0;
}

// The part and channel of a speaker channel in the results room.
std::pair<std::string, uint32_t> PartOf(int32_t speaker) {
    for (const ChannelPart& part : kChannelParts) {
        for (uint32_t c = 0; c < 2; ++c) {
            if (part.speakers[c] == speaker)
                return {std::string("render0.") + part.name, c};
        }
    }
    return {};
}

// The results room's steps of 0.3 dB from -46.5 dB straddle the start level: -40 dB lies between
// -40.2 and -39.9, and the control holds -39.9. The engine's current level is what the control
// holds at every tick, its tables are the held levels (RunResultsTest predicts them exactly), and a
// stop puts back every level Open found.
TEST(HardwareControlsTest, AStartLevelBetweenStepsIsKeptAsHeldAndAStopPutsEverythingBack) {
    // The first cycle's level is the held start level raised by 6 dB: -33.9, not -34.
    ASSERT_NE(OnStep(-40.0f, kMeasuredRange), -40.0f);
    ASSERT_NE(CycleLevels(kMeasuredRange)[0], -34.0f);
    ResultsRoom room = MakeResultsRoom(0x0899, false, 8);
    RunHarness run(room.options);
    const CodecState initial = SnapshotCodec(run.pc);
    int32_t compared = 0;
    bool sawFirstCycle = false;
    run.afterTick = [&](const TickRecord&) {
        EndpointControl* control = run.context->endpointControl.get();
        if (control == nullptr || !run.context->runActive())
            return;
        for (int32_t speaker = 0; speaker < kSpeakerChannels; ++speaker) {
            const auto [part, channel] = PartOf(speaker);
            float kept = 0.0f;
            float held = 1.0f;
            if (Failed(control->GetChannelLevel(speaker, &kept)))
                continue;
            ASSERT_TRUE(run.pc.audio().PartLevel(part, channel, &held)) << part;
            EXPECT_EQ(kept, held) << part << " " << channel;
            ++compared;
            sawFirstCycle = sawFirstCycle || held == CycleLevels(kMeasuredRange)[0];
        }
    };
    ASSERT_EQ(run.Begin(8), kOk);
    // Into the second channel's measurement: the first has been raised and recorded.
    for (int i = 0; i < 20000 && run.context->reportedChannelBit != 1 << 1; ++i)
        run.Step();
    ASSERT_TRUE(run.context->runActive());
    EXPECT_TRUE(sawFirstCycle);
    EXPECT_GT(compared, 100);
    EXPECT_NE(SnapshotCodec(run.pc), initial);

    run.afterTick = nullptr;
    run.context->AbortRun();
    const CodecState actual = SnapshotCodec(run.pc);
    EXPECT_EQ(actual, initial) << DescribeDifferences(initial, actual);
}

// Loud sources on two of the codec's mixer inputs (mains hum and program material). The engine
// mutes the inputs while it measures, so its results are those of a silent room; with the mutes
// undone behind its back after every tick, the microphone hears the sources and the results move.
TEST(HardwareControlsTest, UnmutedMixerInputsChangeWhatIsHeardAndTheResults) {
    auto machine = [](bool withSources) {
        ResultsRoom room = MakeResultsRoom(0x0899, false, 8);
        if (withSources) {
            sim::MixerSourceDesign hum;
            hum.input = 1;
            hum.kind = sim::MixerSourceDesign::Kind::kHum;
            hum.levelDbfs = -6.0;
            sim::MixerSourceDesign program;
            program.input = 4;
            program.kind = sim::MixerSourceDesign::Kind::kProgram;
            program.levelDbfs = -6.0;
            program.seed = 3;
            room.options.room.mixerSources = {hum, program};
        }
        return room.options;
    };
    struct Outcome {
        LevelTables channelLevels;
        int32_t loudestMicrophoneSample = 0;
    };
    auto measure = [&](bool withSources, bool muteFault) {
        RunHarness run(machine(withSources));
        Outcome outcome{};
        run.afterTick = [&](const TickRecord&) {
            if (muteFault) {
                for (int32_t e = 0; e <= 6; ++e)
                    run.pc.audio().SetPartMuted("render0.in" + std::to_string(e) + "_mute", false);
            }
        };
        EXPECT_EQ(run.Begin(8), kOk);
        EXPECT_EQ(run.RunToEnd(), kTickFinished);
        std::memcpy(outcome.channelLevels, run.context->channelLevels, sizeof(LevelTables));
        return outcome;
    };
    const Outcome silentRoom = measure(false, false);
    const Outcome muted = measure(true, false);
    EXPECT_TRUE(SameTables(muted.channelLevels, silentRoom.channelLevels));
    const Outcome faulty = measure(true, true);
    EXPECT_FALSE(SameTables(faulty.channelLevels, silentRoom.channelLevels));
    // Without sources the undone mutes change nothing: it is the sources that are heard.
    EXPECT_TRUE(SameTables(measure(false, true).channelLevels, silentRoom.channelLevels));
    // The sources lift the microphone: a band is met at a lower level than in the silent room.
    bool lower = false;
    for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
        const float heard = faulty.channelLevels[0][channel][kBandLow];
        const float silent = silentRoom.channelLevels[0][channel][kBandLow];
        lower = lower || (silent != 0.0f && heard < silent);
    }
    EXPECT_TRUE(lower);
}

// Capture blocks that come back late, in bunches (jitter of up to three blocks): the run repeats
// exactly for its seed, tick by tick. (The jitter is felt: a poll that finds no block examined
// since the detector was armed loses the rest of its cycle, so bands are met later or not at all.)
TEST(HardwareControlsTest, JitteredCaptureRepeatsForItsSeed) {
    auto measure = [](int32_t jitter, uint64_t seed, std::vector<TickRecord>* ticks) {
        ResultsRoom room = MakeResultsRoom(0x0899, false, 8);
        room.options.room.latencyJitterBlocks = jitter;
        room.options.room.jitterSeed = seed;
        RunHarness run(room.options);
        LevelTables tables{};
        EXPECT_EQ(run.Begin(8), kOk);
        EXPECT_EQ(run.RunToEnd(), kTickFinished);
        std::memcpy(tables, run.context->channelLevels, sizeof(LevelTables));
        *ticks = run.ticks;
        return std::vector<float>(&tables[0][0][0], &tables[0][0][0] + sizeof(LevelTables) / 4);
    };
    std::vector<TickRecord> first;
    std::vector<TickRecord> again;
    const auto jittered = measure(3, 9, &first);
    EXPECT_EQ(measure(3, 9, &again), jittered);
    ASSERT_EQ(again.size(), first.size());
    for (size_t t = 0; t < first.size(); ++t) {
        EXPECT_EQ(again[t].result, first[t].result) << t;
        EXPECT_EQ(again[t].position, first[t].position) << t;
    }
}

// The endpoint's device format set to stereo (as the layout command writes it): the run's
// eight-channel streams reach the front pair only, so the front channels are measured as the room
// predicts and no other channel reaches a band.
TEST(HardwareControlsTest, AStereoLayoutLetsTheStreamReachTheFrontPairOnly) {
    ResultsRoom room = MakeResultsRoom(0x0899, false, 8);
    RunHarness run(room.options);
    const WaveFormatExtensible stereo = ExtensibleFormat(2, 48000, 16, 0x3);
    PropertyValue value;
    value.type = PropertyValue::Type::kBlob;
    value.blob.resize(sizeof(stereo));
    std::memcpy(value.blob.data(), &stereo, sizeof(stereo));
    run.pc.audio().SetEndpointProperty(DataFlow::kRender, run.pc.renderEndpoint(), kKeyDeviceFormat,
                                       value);

    ASSERT_EQ(run.Begin(8), kOk);
    ASSERT_EQ(run.RunToEnd(), kTickFinished);
    RoomModel model = room.model;
    model.heard = HeardSpeakers(2);
    for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
        const int32_t pass = channel == 4 ? 1 : 0;
        const std::array<BandPrediction, kBands> bands = PredictChannel(model, channel);
        for (int32_t band = 0; band < kBands; ++band) {
            const float expected = bands[static_cast<size_t>(band)].reached
                                       ? bands[static_cast<size_t>(band)].level
                                       : 0.0f;
            EXPECT_FLOAT_EQ(run.context->channelLevels[pass][channel][band], expected)
                << "channel " << channel << " band " << band;
        }
    }
    // The front pair is heard, the rest is not.
    EXPECT_NE(run.context->channelLevels[0][1][kBandLow], 0.0f);
    EXPECT_EQ(run.context->channelLevels[0][5][kBandLow], 0.0f);
}

}  // namespace
}  // namespace zelk::testing
