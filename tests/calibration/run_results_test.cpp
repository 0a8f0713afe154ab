// The result tables of whole runs: exactly the levels the room's formula predicts, the floors of
// the channels outside the layout, and the earlier results a single-channel run keeps.

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>

#include "calibration/results_room.h"
#include "calibration/run_harness.h"

namespace zelk::testing {
namespace {

struct Tables {
    float channelLevels[kPasses][kSpeakerChannels][kBands] = {};
    float masterLevels[kPasses][kMasterSides][kBands] = {};
};

Tables TablesOf(const CalibrationContext& context) {
    Tables tables;
    std::memcpy(tables.channelLevels, context.channelLevels, sizeof(tables.channelLevels));
    std::memcpy(tables.masterLevels, context.masterLevels, sizeof(tables.masterLevels));
    return tables;
}

// What a run of `mode` leaves in the tables, starting from `before`.
Tables PredictTables(const RoomModel& room, int32_t mode, int32_t singleChannel,
                     const Tables& before) {
    Tables expected = before;
    if (mode != 1) {
        for (int32_t pass = 0; pass < kPasses; ++pass) {
            for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
                for (int32_t band = 0; band < kBands; ++band) {
                    expected.channelLevels[pass][channel][band] =
                        (mode < 8 && channel >= mode) ? kLevelFloorDb : 0.0f;
                }
            }
            for (auto& side : expected.masterLevels[pass]) {
                for (float& level : side)
                    level = 0.0f;
            }
        }
    }
    for (int32_t pass = 0; pass < 2; ++pass) {
        for (int32_t channel : MeasuredChannels(mode, singleChannel, pass)) {
            const std::array<BandPrediction, kBands> bands = PredictChannel(room, channel);
            const int32_t side = MasterSideOf(channel);
            for (int32_t band = 0; band < kBands; ++band) {
                if (!bands[static_cast<size_t>(band)].reached)
                    continue;
                expected.channelLevels[pass][channel][band] =
                    bands[static_cast<size_t>(band)].level;
                expected.masterLevels[pass][side][band] = OpenMasterLevel(room, side);
            }
        }
    }
    return expected;
}

void ExpectTables(const Tables& expected, const CalibrationContext& context) {
    for (int32_t pass = 0; pass < kPasses; ++pass) {
        for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
            for (int32_t band = 0; band < kBands; ++band) {
                EXPECT_FLOAT_EQ(context.channelLevels[pass][channel][band],
                                expected.channelLevels[pass][channel][band])
                    << "pass " << pass << " channel " << channel << " band " << band;
            }
        }
        for (int32_t side = 0; side < kMasterSides; ++side) {
            for (int32_t band = 0; band < kBands; ++band) {
                EXPECT_FLOAT_EQ(context.masterLevels[pass][side][band],
                                expected.masterLevels[pass][side][band])
                    << "pass " << pass << " master " << side << " band " << band;
            }
        }
    }
}

struct CodecCase {
    const char* name;
    uint16_t deviceId;
    bool sixChannelShape;
    int32_t mode;

    // Listed by its name, not by its bytes.
    friend void PrintTo(const CodecCase& c, std::ostream* os) { *os << c.name; }
};

class RunResultsTest : public ::testing::TestWithParam<CodecCase> {};

TEST_P(RunResultsTest, TablesHoldTheLevelsTheRoomPredicts) {
    const CodecCase& c = GetParam();
    ResultsRoom room = MakeResultsRoom(c.deviceId, c.sixChannelShape, c.mode);
    RunHarness run(room.options);
    const Tables before = TablesOf(*run.context);
    ASSERT_EQ(run.Begin(c.mode), kOk);
    EXPECT_EQ(run.context->renderTopologyKind, c.sixChannelShape ? 6 : 8);
    ASSERT_EQ(run.RunToEnd(), kTickFinished);

    const Tables expected = PredictTables(room.model, c.mode, 0, before);
    ExpectTables(expected, *run.context);

    // The result levels combine each channel's Medium entry with its side's Medium master entry,
    // the subwoofer's from pass 1.
    float levels[kSpeakerChannels] = {};
    ASSERT_EQ(run.context->GetResultLevels(levels), kOk);
    for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
        const int32_t pass = channel == 4 ? 1 : 0;
        EXPECT_FLOAT_EQ(levels[channel],
                        expected.channelLevels[pass][channel][kBandMedium] +
                            expected.masterLevels[pass][MasterSideOf(channel)][kBandMedium])
            << "channel " << channel;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, RunResultsTest,
    ::testing::Values(CodecCase{"Codec0899Mode8", 0x0899, false, 8},
                      CodecCase{"Codec0899Mode6", 0x0899, false, 6},
                      CodecCase{"Codec0899Mode4", 0x0899, false, 4},
                      CodecCase{"Codec0899Mode2", 0x0899, false, 2},
                      CodecCase{"Codec0892EightChannelMode8", 0x0892, false, 8},
                      CodecCase{"Codec0892SixChannelMode6", 0x0892, true, 6},
                      CodecCase{"Codec0662Mode6", 0x0662, true, 6},
                      CodecCase{"Codec0662Mode8", 0x0662, true, 8}),
    [](const ::testing::TestParamInfo<CodecCase>& info) { return info.param.name; });

TEST(RunResultsTest, ModesBelowEightFloorTheChannelsAboveThem) {
    struct Case {
        int32_t mode;
        int32_t firstFloored;
    };
    for (const Case& c : {Case{2, 2}, Case{4, 4}, Case{6, 6}}) {
        ResultsRoom room = MakeResultsRoom(0x0899, false, c.mode);
        RunHarness run(room.options);
        // Earlier values everywhere, so that the start's rewrite shows.
        for (auto& pass : run.context->channelLevels) {
            for (auto& channel : pass) {
                for (float& level : channel)
                    level = 3.0f;
            }
        }
        ASSERT_EQ(run.Begin(c.mode), kOk);
        for (int32_t pass = 0; pass < kPasses; ++pass) {
            for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
                for (int32_t band = 0; band < kBands; ++band) {
                    EXPECT_EQ(run.context->channelLevels[pass][channel][band],
                              channel >= c.firstFloored ? kLevelFloorDb : 0.0f)
                        << "mode " << c.mode << " pass " << pass << " channel " << channel;
                }
            }
        }
    }
}

TEST(RunResultsTest, SingleChannelRunsKeepTheOtherChannelsResults) {
    ResultsRoom room = MakeResultsRoom(0x0899, false, 8);
    RunHarness run(room.options);
    ASSERT_EQ(run.Begin(8), kOk);
    ASSERT_EQ(run.RunToEnd(), kTickFinished);
    Tables previous = TablesOf(*run.context);

    // The same room with the rear right speaker moved away, then the center and the subwoofer
    // moved, each measured on its own.
    struct Step {
        int32_t channel;
        double coupling;
    };
    for (const Step& step : {Step{3, 0.00525}, Step{5, 0.0345}, Step{4, 0.034}}) {
        run.pc.room().SetCoupling(step.channel, step.coupling);
        room.model.couplings[static_cast<size_t>(step.channel)] = step.coupling;
        room.model.heard = HeardSpeakers(8);
        run.ticks.clear();
        ASSERT_EQ(run.Begin(1, step.channel), kOk);
        ASSERT_EQ(run.RunToEnd(), kTickFinished);
        const Tables expected = PredictTables(room.model, 1, step.channel, previous);
        SCOPED_TRACE("single channel " + std::to_string(step.channel));
        ExpectTables(expected, *run.context);
        // The new channel's results differ from the full run's: the run did measure.
        const int32_t pass = step.channel == 4 ? 1 : 0;
        EXPECT_NE(std::memcmp(run.context->channelLevels[pass][step.channel],
                              previous.channelLevels[pass][step.channel],
                              sizeof(previous.channelLevels[pass][step.channel])),
                  0);
        previous = TablesOf(*run.context);
    }
}

}  // namespace
}  // namespace zelk::testing
