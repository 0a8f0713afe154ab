// The whole loop on the simulated PC in virtual time: a sine tone from the player, through the
// codec's levels and the room, to the recorder's level detector.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "audio/wave_in_recorder.h"
#include "audio/wave_out_player.h"
#include "platform/sim/sim_codec_design.h"
#include "platform/sim/sim_pc.h"

namespace zelk {
namespace {

constexpr uint16_t kVendor = 0x10EC;
constexpr uint16_t kDevice = 0x0899;
constexpr int32_t kFrontLeft = 0;
constexpr int32_t kFrontRight = 1;
// The largest sample of the player's 16-bit tone, as a fraction of full scale.
constexpr double kTonePeak = 22936.0 / 32768.0;
// The thresholds the worker sets: 30, 20 and 50 percent of full scale.
constexpr int32_t kThresholds[3] = {9830, 6553, 16384};

struct Detection {
    int32_t pending = -1, low = -1, medium = -1, high = -1;
    int32_t Reached(int32_t band) const { return band == 0 ? low : band == 1 ? medium : high; }
    int32_t Any() const { return low + medium + high; }
};

// The simulated PC with a player and a recorder on it.
class Loop {
  public:
    Loop()
        : platform(pc.platform()),
          front(Part("render", pc.renderEndpoint(), sim::kPartFront)),
          masterMute(Part("render", pc.renderEndpoint(), sim::kPartMasterMute)),
          player(platform),
          recorder(platform) {}
    ~Loop() {
        recorder.Shutdown();
        player.Shutdown();
    }

    static std::string Part(const char* direction, int32_t endpoint, const char* name) {
        return direction + std::to_string(endpoint) + "." + name;
    }

    // The worker's thresholds; the microphone 6 dB up, so that even the High band lies within the
    // front level's range; front right at the floor. Then the recorder and the tone on the front
    // pair start.
    bool StartTone() {
        recorder.SetDetectionThresholds(30, 20, 50);
        char info[kPlayerTextLength] = {};
        char error[kPlayerTextLength] = {};
        return pc.audio().SetPartLevel(Part("capture", pc.captureEndpoint(), sim::kPartMicVolume),
                                       0, 6.0f) &&
               pc.audio().SetPartLevel(front, 1, -65.25f) &&
               recorder.Start(kVendor, kDevice) == kOk &&
               player.Start(info, kDevice, kVendor, 1, 2, 0x3, nullptr, error, 261.63);
    }

    double Gain(int32_t speaker) {
        float db = 0;
        return pc.audio().RenderPathDb(pc.renderEndpoint(), speaker, &db)
                   ? std::pow(10.0, db / 20.0)
                   : 0.0;
    }
    // The front-left channel level at which the tone's peak, as the microphone records it, equals
    // threshold (the room's formula without the noise); the front-right speaker stays where it is.
    float ThresholdLevel(int32_t threshold) {
        float micDb = 0;
        EXPECT_TRUE(pc.audio().CapturePathDb(pc.captureEndpoint(), &micDb));
        const double mic = std::pow(10.0, micDb / 20.0);
        const auto& couplings = pc.room().options().couplings;
        const double needed =
            (threshold / (mic * 32768.0 * kTonePeak) - Gain(kFrontRight) * couplings[kFrontRight]) /
            couplings[kFrontLeft];
        float pathDb = 0;
        float channelDb = 0;
        EXPECT_TRUE(pc.audio().RenderPathDb(pc.renderEndpoint(), kFrontLeft, &pathDb));
        EXPECT_TRUE(pc.audio().PartLevel(front, 0, &channelDb));
        const double masterDb = pathDb - channelDb;
        return static_cast<float>(20.0 * std::log10(needed) - masterDb);
    }
    // Plays on at the level until the room's latency has passed, then arms for one block.
    Detection Hear(int32_t band, float frontLeftDb) {
        EXPECT_TRUE(pc.audio().SetPartLevel(front, 0, frontLeftDb));
        pc.AdvanceMs(50);
        recorder.ArmDetection(band);
        pc.AdvanceMs(10);
        Detection d;
        recorder.TakeDetection(&d.pending, &d.low, &d.medium, &d.high);
        return d;
    }
    // Medium detections at levels from 2 dB below to 2 dB above level, in quarter decibels.
    std::vector<int32_t> SweepMedium(float level) {
        std::vector<int32_t> heard;
        for (int quarter = -8; quarter <= 8; ++quarter)
            heard.push_back(Hear(kBandMedium, level + 0.25f * static_cast<float>(quarter)).medium);
        return heard;
    }

    sim::SimPc pc;
    Platform platform;
    const std::string front;
    const std::string masterMute;
    WaveOutPlayer player;
    WaveInRecorder recorder;
};

TEST(PlayerRoomRecorderTest, ToneIsHeardExactlyWhenTheRoomMakesItLoudEnough) {
    Loop loop;
    ASSERT_TRUE(loop.StartTone());
    for (int32_t band = 0; band < 3; ++band) {
        const float level = loop.ThresholdLevel(kThresholds[band]);
        sim::ChannelDesign range;
        ASSERT_TRUE(loop.pc.audio().PartChannel(loop.front, 0, &range));
        ASSERT_LE(level + 1.0f, range.maxDb) << "band " << band;
        ASSERT_GE(level - 0.5f, range.minDb) << "band " << band;

        const Detection loud = loop.Hear(band, level + 1.0f);
        EXPECT_EQ(loud.pending, 0) << "band " << band;
        EXPECT_EQ(loud.Reached(band), 1) << "band " << band << " at " << level + 1.0f << " dB";
        EXPECT_EQ(loud.Any(), 1) << "band " << band;

        const Detection quiet = loop.Hear(band, level - 0.5f);
        EXPECT_EQ(quiet.pending, 0) << "band " << band;
        EXPECT_EQ(quiet.Any(), 0) << "band " << band << " at " << level - 0.5f << " dB";
    }

    // Loud enough, but the master is muted: the microphone hears its noise floor only.
    const float loud = loop.ThresholdLevel(kThresholds[kBandLow]) + 1.0f;
    ASSERT_TRUE(loop.pc.audio().SetPartMuted(loop.masterMute, true));
    EXPECT_EQ(loop.Hear(kBandLow, loud).Any(), 0);
    ASSERT_TRUE(loop.pc.audio().SetPartMuted(loop.masterMute, false));
    EXPECT_EQ(loop.Hear(kBandLow, loud).low, 1);

    loop.recorder.Stop();
    loop.player.Stop();
    EXPECT_EQ(loop.pc.waveOut().OpenStreams(), 0);
    EXPECT_EQ(loop.pc.waveIn().OpenStreams(), 0);
}

// Below the threshold level the tone is never heard, from half a decibel above it always, with a
// single change in between; a second machine repeats the run exactly.
TEST(PlayerRoomRecorderTest, DetectionTurnsOnOnceAcrossTheThresholdAndRepeats) {
    Loop loop;
    ASSERT_TRUE(loop.StartTone());
    const float level = loop.ThresholdLevel(kThresholds[kBandMedium]);
    const std::vector<int32_t> heard = loop.SweepMedium(level);
    for (size_t i = 0; i < heard.size(); ++i) {
        const double db = (static_cast<double>(i) - 8.0) * 0.25;
        if (db <= 0.0) {
            EXPECT_EQ(heard[i], 0) << db << " dB";
        }
        if (db >= 0.5) {
            EXPECT_EQ(heard[i], 1) << db << " dB";
        }
        if (i > 0) {
            EXPECT_GE(heard[i], heard[i - 1]) << db << " dB";
        }
    }

    Loop again;
    ASSERT_TRUE(again.StartTone());
    EXPECT_EQ(again.SweepMedium(level), heard);
}

}  // namespace
}  // namespace zelk
