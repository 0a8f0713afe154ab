// The playback pass: the run's WAV file played with the calibrated Medium levels applied, and
// what lies outside the run's layout put back to the levels found at the start.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "calibration/results_room.h"
#include "calibration/run_harness.h"

namespace zelk::testing {
namespace {

constexpr const char* kWavPath = "C:\\media\\tone.wav";

struct PlaybackCase {
    const char* name;
    uint16_t deviceId;
    bool sixChannelShape;
    int32_t mode;
    int32_t singleChannel;
    // Speaker channels set to their Medium result; every other one goes back to its start level.
    std::vector<int32_t> applied;
    // Master channels set to their Medium result; the other goes back.
    std::vector<int32_t> appliedMasters;
    // Parts the playback's set-up must leave alone.
    std::vector<std::string> untouched;

    // Listed by its name, not by its bytes.
    friend void PrintTo(const PlaybackCase& c, std::ostream* os) { *os << c.name; }
};

class PlaybackPassTest : public ::testing::TestWithParam<PlaybackCase> {};

TEST_P(PlaybackPassTest, PlaysTheFileWithTheMediumResultsApplied) {
    const PlaybackCase& c = GetParam();
    ResultsRoom room = MakeResultsRoom(c.deviceId, c.sixChannelShape, c.mode);
    const std::string dump = ::testing::TempDir() + "playback_" + c.name;
    room.options.dumpPrefix = dump;
    RunHarness run(room.options);
    run.files.files[u"C:\\media\\tone.wav"] = ToneWav(2, 300);
    const CodecState initial = SnapshotCodec(run.pc);
    ASSERT_EQ(run.Begin(c.mode, c.singleChannel, kWavPath), kOk);

    // The codec's calls are recorded on the tick that begins the playback, and the codec's state
    // is taken right after it.
    CodecState playing;
    bool seen = false;
    run.afterTick = [&](const TickRecord& tick) {
        if (tick.pass == 1 && tick.position == kNextPassPosition - 1)
            run.pc.audio().Faults().StartRecording();
        if (tick.passBefore == 1 && tick.pass == 2) {
            run.pc.audio().Faults().StopRecording();
            playing = SnapshotCodec(run.pc);
            seen = tick.result == kTickContinue && run.context->toneOn == 0;
        }
    };
    ASSERT_EQ(run.RunToEnd(), kTickFinished);
    ASSERT_TRUE(seen);

    CodecState expected = initial;
    std::vector<std::string> applied;
    for (int32_t side : c.appliedMasters) {
        expected.levels["render0.master"][static_cast<size_t>(side)] =
            Clamp(run.context->masterLevels[0][side][kBandMedium], room.model.master[side]);
    }
    for (int32_t speaker : c.applied) {
        for (const ChannelPart& part : kChannelParts) {
            for (uint32_t ch = 0; ch < 2; ++ch) {
                if (part.speakers[ch] != speaker)
                    continue;
                const int32_t pass = speaker == 4 ? 1 : 0;
                expected.levels[std::string("render0.") + part.name][ch] =
                    Clamp(run.context->channelLevels[pass][speaker][kBandMedium],
                          room.model.channels[static_cast<size_t>(speaker)]);
            }
        }
    }
    // The render side only: the microphone keeps the run's set-up until the run ends.
    const CodecState& actual = playing;
    for (const auto& [name, levels] : expected.levels) {
        if (name.rfind("render0.", 0) == 0) {
            EXPECT_EQ(actual.levels.at(name), levels) << name;
        }
    }

    for (const std::string& part : c.untouched) {
        for (const sim::SimCall& call : run.pc.audio().Faults().Recorded())
            EXPECT_NE(call.object, "render0." + part) << call.operation;
    }

    // The third stream of the run is the file, in its own format.
    std::ifstream file(dump + "-3.wav", std::ios::binary);
    ASSERT_TRUE(file.is_open());
    std::vector<uint8_t> header((std::istreambuf_iterator<char>(file)), {});
    ASSERT_GE(header.size(), 44u);
    EXPECT_EQ(header[22] | (header[23] << 8), 2);
    EXPECT_EQ(header[24] | (header[25] << 8) | (header[26] << 16), 48000);
    file.close();
    for (int n = 1; n <= 3; ++n)
        std::remove((dump + "-" + std::to_string(n) + ".wav").c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PlaybackPassTest,
    ::testing::Values(
        PlaybackCase{"Mode8", 0x0899, false, 8, 0, {0, 1, 2, 3, 4, 5, 6, 7}, {0, 1}, {}},
        PlaybackCase{"Mode6", 0x0899, false, 6, 0, {0, 1, 2, 3, 4, 5}, {0, 1}, {}},
        PlaybackCase{
            "Mode4RestoresSubwooferAndCenter", 0x0899, false, 4, 0, {0, 1, 2, 3}, {0, 1}, {}},
        PlaybackCase{"Mode2", 0x0899, false, 2, 0, {0, 1}, {0, 1}, {}},
        PlaybackCase{"Mode2OnASixChannelCodecStopsAtTheCenter",
                     0x0662,
                     true,
                     2,
                     0,
                     {0, 1},
                     {0, 1},
                     {"in4_volume", "in4_mute"}},
        PlaybackCase{"Mode4OnASixChannel0892",
                     0x0892,
                     true,
                     4,
                     0,
                     {0, 1, 2, 3},
                     {0, 1},
                     {"in4_volume", "in4_mute"}},
        PlaybackCase{"SingleRightChannelRestoresTheLeftMaster", 0x0899, false, 1, 3, {3}, {1}, {}},
        PlaybackCase{"SingleCenterRestoresTheRightMaster", 0x0899, false, 1, 5, {5}, {0}, {}},
        PlaybackCase{"SingleSubwoofer", 0x0899, false, 1, 4, {4}, {0}, {}}),
    [](const ::testing::TestParamInfo<PlaybackCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zelk::testing
