#include "platform/sim/room.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/sim/sim_sync.h"
#include "platform/sim/sim_wave_in.h"
#include "platform/sim/sim_wave_out.h"
#include "platform/sim/virtual_clock.h"

namespace zelk::sim {
namespace {

constexpr int32_t kRenderEndpoint = 3;
constexpr int32_t kCaptureEndpoint = 5;

// A codec whose levels the test sets; it also checks the room asks for the endpoints it was given.
class StandInLevels : public CodecLevels {
  public:
    bool RenderPathDb(int32_t endpointIndex, int32_t speakerChannel, float* db) const override {
        EXPECT_EQ(endpointIndex, kRenderEndpoint);
        const auto& level = speakerDb[static_cast<size_t>(speakerChannel)];
        if (!level)
            return false;
        *db = *level;
        return true;
    }
    bool CapturePathDb(int32_t endpointIndex, float* db) const override {
        EXPECT_EQ(endpointIndex, kCaptureEndpoint);
        if (!micDb)
            return false;
        *db = *micDb;
        return true;
    }

    uint32_t RenderLayoutMask(int32_t endpointIndex) const override {
        EXPECT_EQ(endpointIndex, kRenderEndpoint);
        return layout;
    }
    bool MixerPathDb(int32_t endpointIndex, int32_t input, int32_t speakerChannel,
                     float* db) const override {
        EXPECT_EQ(endpointIndex, kRenderEndpoint);
        const auto found = mixerDb.find(input);
        if (found == mixerDb.end() || !found->second[static_cast<size_t>(speakerChannel)])
            return false;
        *db = *found->second[static_cast<size_t>(speakerChannel)];
        return true;
    }

    std::array<std::optional<float>, 8> speakerDb = {0.0f, 0.0f, 0.0f, 0.0f,
                                                     0.0f, 0.0f, 0.0f, 0.0f};
    std::optional<float> micDb = 0.0f;
    uint32_t layout = kEverySpeaker;
    // Per mixer input: its path to front left and front right (none: silent).
    std::map<int32_t, std::array<std::optional<float>, 2>> mixerDb;
};

WaveFormatExtensible Format(uint16_t tag, uint16_t channels, uint16_t bits, uint32_t mask = 0,
                            const Guid& subtype = kSubtypePcm, uint32_t rate = 48000) {
    WaveFormatExtensible format;
    format.wFormatTag = tag;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    format.nAvgBytesPerSec = format.nBlockAlign * rate;
    if (tag == kWaveFormatExtensible) {
        format.cbSize = 22;
        format.wValidBitsPerSample = bits;
        format.dwChannelMask = mask;
        format.SubFormat = subtype;
    }
    return format;
}

// Interleaved 16-bit frames, each channel holding its own constant.
std::vector<uint8_t> ConstantFrames16(const std::vector<int16_t>& perChannel, uint32_t frames) {
    std::vector<uint8_t> bytes;
    for (uint32_t f = 0; f < frames; ++f) {
        for (int16_t value : perChannel) {
            bytes.push_back(static_cast<uint8_t>(value & 0xFF));
            bytes.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
        }
    }
    return bytes;
}

double Amplitude(double db) {
    return std::pow(10.0, db / 20.0);
}

int16_t Clip(double value) {
    return static_cast<int16_t>(std::clamp(std::round(value), -32768.0, 32767.0));
}

RoomOptions Quiet(int32_t latency = 1) {
    RoomOptions options;
    options.noiseAmplitude = 0.0;
    options.latencyBlocks = latency;
    options.couplings = {0.9, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3, 0.2};
    return options;
}

std::vector<int16_t> CaptureStep(Room& room, int64_t step, uint16_t channels = 2) {
    std::vector<int16_t> samples(Room::kSamplesPerStep * channels, 12345);
    room.Capture(step, samples.data(), Room::kSamplesPerStep, channels);
    return samples;
}

struct MappingCase {
    const char* name;
    WaveFormatExtensible format;
    std::vector<int16_t> values;  // per stream channel
    std::vector<int> speakers;    // the speaker each channel reaches, -1 for none
};

TEST(RoomTest, EachChannelReachesTheMicrophoneThroughItsSpeaker) {
    const std::vector<MappingCase> cases = {
        {"7.1",
         Format(kWaveFormatExtensible, 8, 16, 0x63F),
         {1000, 1100, 1200, 1300, 1400, 1500, 1600, 1700},
         {0, 1, 5, 4, 2, 3, 6, 7}},
        {"back pair", Format(kWaveFormatExtensible, 2, 16, 0x30), {4000, -3000}, {2, 3}},
        {"side pair", Format(kWaveFormatExtensible, 2, 16, 0x600), {4000, 3000}, {6, 7}},
        {"center and low frequency",
         Format(kWaveFormatExtensible, 2, 16, 0xC),
         {2000, 3000},
         {5, 4}},
        {"more channels than mask bits",
         Format(kWaveFormatExtensible, 3, 16, 0x3),
         {1000, 2000, 30000},
         {0, 1, -1}},
        {"a bit no speaker serves",
         Format(kWaveFormatExtensible, 2, 16, 0x41),
         {1000, 30000},
         {0, -1}},
        {"plain mono plays on the center", Format(kWaveFormatPcm, 1, 16), {8000}, {5}},
        {"plain stereo", Format(kWaveFormatPcm, 2, 16), {8000, 7000}, {0, 1}},
        {"plain six channels",
         Format(kWaveFormatPcm, 6, 16),
         {1000, 2000, 3000, 4000, 5000, 6000},
         {0, 1, 5, 4, 2, 3}},
    };
    StandInLevels levels;
    levels.speakerDb = {-3.0f, -6.0f, 0.0f, -1.5f, -12.0f, 2.0f, std::nullopt, -20.0f};
    levels.micDb = 9.0f;
    const RoomOptions options = Quiet();
    for (const MappingCase& c : cases) {
        Room room(levels, kRenderEndpoint, kCaptureEndpoint, options);
        const auto frames = ConstantFrames16(c.values, Room::kSamplesPerStep);
        room.Play(7, c.format, frames.data(), Room::kSamplesPerStep);
        double heard = 0.0;
        for (size_t ch = 0; ch < c.values.size(); ++ch) {
            const int k = c.speakers[ch];
            if (k < 0 || !levels.speakerDb[static_cast<size_t>(k)])
                continue;
            heard += c.values[ch] / 32768.0 * Amplitude(*levels.speakerDb[static_cast<size_t>(k)]) *
                     options.couplings[static_cast<size_t>(k)];
        }
        const int16_t expected = Clip(Amplitude(9.0) * 32768.0 * heard);
        const auto samples = CaptureStep(room, 8);
        for (uint32_t j = 0; j < Room::kSamplesPerStep; ++j) {
            ASSERT_EQ(samples[j * 2], expected) << c.name << " sample " << j;
            ASSERT_EQ(samples[j * 2 + 1], 0) << c.name;
        }
    }
}

struct SampleCase {
    const char* name;
    WaveFormatExtensible format;
    std::vector<uint8_t> sample;  // one mono frame of a quarter of full scale
};

TEST(RoomTest, EverySampleFormatIsHeardAlike) {
    float quarter = 0.25f;
    std::vector<uint8_t> floatBytes(4);
    std::memcpy(floatBytes.data(), &quarter, 4);
    const std::vector<SampleCase> cases = {
        {"8-bit", Format(kWaveFormatPcm, 1, 8), {128 + 32}},
        {"16-bit", Format(kWaveFormatPcm, 1, 16), {0x00, 0x20}},
        {"24-bit", Format(kWaveFormatPcm, 1, 24), {0x00, 0x00, 0x20}},
        {"32-bit", Format(kWaveFormatPcm, 1, 32), {0x00, 0x00, 0x00, 0x20}},
        {"float", Format(kWaveFormatIeeeFloat, 1, 32), floatBytes},
        {"extensible float", Format(kWaveFormatExtensible, 1, 32, 0x4, kSubtypeIeeeFloat),
         floatBytes},
        {"extensible 24-bit", Format(kWaveFormatExtensible, 1, 24, 0x4), {0x00, 0x00, 0x20}},
    };
    StandInLevels levels;
    for (const SampleCase& c : cases) {
        Room room(levels, kRenderEndpoint, kCaptureEndpoint, Quiet());
        std::vector<uint8_t> frames;
        for (uint32_t f = 0; f < Room::kSamplesPerStep; ++f)
            frames.insert(frames.end(), c.sample.begin(), c.sample.end());
        room.Play(0, c.format, frames.data(), Room::kSamplesPerStep);
        const auto samples = CaptureStep(room, 1, 1);
        EXPECT_EQ(samples[0], Clip(8192 * 0.4)) << c.name;  // center coupling 0.4
        EXPECT_EQ(samples[479], samples[0]) << c.name;
    }
}

TEST(RoomTest, MutesSilenceTheirPathAndLoudSoundClips) {
    StandInLevels levels;
    RoomOptions options = Quiet();
    options.noiseAmplitude = 500.0;
    const auto format = Format(kWaveFormatExtensible, 2, 16, 0x3);
    const auto loud = ConstantFrames16({30000, 30000}, Room::kSamplesPerStep);
    const auto loudNegative = ConstantFrames16({-30000, -30000}, Room::kSamplesPerStep);

    // Both front speakers muted: only noise is heard.
    levels.speakerDb[0] = std::nullopt;
    levels.speakerDb[1] = std::nullopt;
    Room room(levels, kRenderEndpoint, kCaptureEndpoint, options);
    room.Play(0, format, loud.data(), Room::kSamplesPerStep);
    for (int16_t sample : CaptureStep(room, 1))
        ASSERT_LE(std::abs(sample), 500);

    // Microphone muted: digital silence, noise included.
    levels.speakerDb[0] = 0.0f;
    levels.speakerDb[1] = 0.0f;
    levels.micDb = std::nullopt;
    room.Play(1, format, loud.data(), Room::kSamplesPerStep);
    for (int16_t sample : CaptureStep(room, 2))
        ASSERT_EQ(sample, 0);

    // Loud enough to pass full scale: clipped to 16 bits either way.
    levels.micDb = 20.0f;
    room.Play(2, format, loud.data(), Room::kSamplesPerStep);
    room.Play(3, format, loudNegative.data(), Room::kSamplesPerStep);
    const auto high = CaptureStep(room, 3);
    const auto low = CaptureStep(room, 4);
    for (uint32_t j = 0; j < Room::kSamplesPerStep; ++j) {
        ASSERT_EQ(high[j * 2], 32767);
        ASSERT_EQ(low[j * 2], -32768);
    }
}

TEST(RoomTest, TheMicrophoneHearsAStepLaterByTheLatencyAndStreamsAddUp) {
    StandInLevels levels;
    const auto format = Format(kWaveFormatPcm, 2, 16);
    const auto frames = ConstantFrames16({10000, 0}, Room::kSamplesPerStep);
    for (int32_t latency : {0, 1, 3}) {
        const int32_t effective = latency < 1 ? 1 : latency;
        Room room(levels, kRenderEndpoint, kCaptureEndpoint, Quiet(latency));
        room.Play(20, format, frames.data(), Room::kSamplesPerStep);
        room.Play(20, format, frames.data(), Room::kSamplesPerStep);  // a second stream
        for (int64_t step = 20; step <= 20 + effective + 1; ++step) {
            const int16_t expected = step == 20 + effective ? Clip(2 * 10000 * 0.9) : 0;
            EXPECT_EQ(CaptureStep(room, step)[0], expected)
                << "latency " << latency << " step " << step;
        }
    }
}

TEST(RoomTest, NoiseRepeatsWithItsSeedAndStaysWithinItsFloor) {
    StandInLevels levels;
    levels.micDb = 6.0f;
    RoomOptions options = Quiet();
    options.noiseAmplitude = 100.0;
    auto run = [&](uint64_t seed) {
        options.noiseSeed = seed;
        Room room(levels, kRenderEndpoint, kCaptureEndpoint, options);
        std::vector<int16_t> all;
        for (int64_t step = 0; step < 10; ++step) {
            const auto samples = CaptureStep(room, step);
            all.insert(all.end(), samples.begin(), samples.end());
        }
        return all;
    };
    const auto first = run(42);
    EXPECT_EQ(first, run(42));
    EXPECT_NE(first, run(43));
    const int16_t bound = Clip(100.0 * Amplitude(6.0));
    double sum = 0.0;
    for (int16_t sample : first) {
        ASSERT_LE(std::abs(sample), bound);
        sum += sample;
    }
    EXPECT_LT(std::abs(sum / static_cast<double>(first.size())), 10.0);  // centred on zero
    EXPECT_GT(*std::max_element(first.begin(), first.end()), bound / 2);
}

// The render endpoint's layout (its device format's mask) decides which speakers a stream channel
// reaches: a channel whose speaker's bit is not in it reaches none.
TEST(RoomTest, TheLayoutDecidesWhichSpeakersAStreamReaches) {
    struct Case {
        const char* name;
        uint32_t layout;
        std::vector<int> heard;  // speakers the 7.1 stream reaches
    };
    const std::vector<int16_t> values = {1000, 1100, 1200, 1300, 1400, 1500, 1600, 1700};
    const std::vector<int> speakerOfChannel = {0, 1, 5, 4, 2, 3, 6, 7};
    for (const Case& c :
         {Case{"7.1", 0x63F, {0, 1, 2, 3, 4, 5, 6, 7}}, Case{"stereo", 0x3, {0, 1}},
          Case{"quad", 0x33, {0, 1, 2, 3}}, Case{"5.1", 0x3F, {0, 1, 2, 3, 4, 5}},
          Case{"none", 0x0, {}},
          Case{"no layout", CodecLevels::kEverySpeaker, {0, 1, 2, 3, 4, 5, 6, 7}}}) {
        StandInLevels levels;
        levels.layout = c.layout;
        Room room(levels, kRenderEndpoint, kCaptureEndpoint, Quiet());
        const auto frames = ConstantFrames16(values, Room::kSamplesPerStep);
        room.Play(1, Format(kWaveFormatExtensible, 8, 16, 0x63F), frames.data(),
                  Room::kSamplesPerStep);
        double expected = 0.0;
        for (size_t channel = 0; channel < values.size(); ++channel) {
            const int speaker = speakerOfChannel[channel];
            if (std::find(c.heard.begin(), c.heard.end(), speaker) != c.heard.end())
                expected +=
                    values[channel] * room.options().couplings[static_cast<size_t>(speaker)];
        }
        EXPECT_EQ(CaptureStep(room, 2)[0], Clip(expected)) << c.name;
    }
}

// A source on a mixer input reaches the front speakers through the input's path, and is silent
// while the path is (a muted input): the formula of docs/simulator.md, sample by sample.
TEST(RoomTest, AnUnmutedMixerInputCarriesItsSourceToTheFrontSpeakers) {
    StandInLevels levels;
    levels.mixerDb[2] = {-6.0f, -12.0f};
    RoomOptions options = Quiet(1);
    MixerSourceDesign hum;
    hum.input = 2;
    hum.kind = MixerSourceDesign::Kind::kHum;
    hum.levelDbfs = -10.0;
    hum.frequencyHz = 50.0;
    options.mixerSources = {hum};
    Room room(levels, kRenderEndpoint, kCaptureEndpoint, options);
    const double through = Amplitude(-10.0) * (Amplitude(-6.0) * options.couplings[0] +
                                               Amplitude(-12.0) * options.couplings[1]);
    for (int64_t step : {5, 6, 1000}) {
        const auto samples = CaptureStep(room, step);
        for (uint32_t j = 0; j < Room::kSamplesPerStep; ++j) {
            const double n = static_cast<double>(step - 1) * Room::kSamplesPerStep + j;
            const double hummed = std::sin(2.0 * 3.14159265358979323846 * 50.0 * n / 48000.0);
            ASSERT_EQ(samples[2 * j], Clip(32768.0 * through * hummed)) << step << " " << j;
            ASSERT_EQ(samples[2 * j + 1], 0);  // the unconnected input hears nothing
        }
    }
    // Muted (or absent): nothing; another input's path carries nothing of this source.
    levels.mixerDb[2] = {std::nullopt, std::nullopt};
    levels.mixerDb[3] = {0.0f, 0.0f};
    const auto silent = CaptureStep(room, 7);
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](int16_t s) { return s == 0; }));
}

TEST(RoomTest, ProgramMaterialRepeatsForItsSeedAndStaysWithinItsPeak) {
    MixerSourceDesign program;
    program.kind = MixerSourceDesign::Kind::kProgram;
    program.seed = 7;
    MixerSourceDesign other = program;
    other.seed = 8;
    double peak = 0.0;
    double energy = 0.0;
    int differing = 0;
    const int64_t start = 48000 * 3600;  // an hour in: no precision lost
    for (int64_t n = start; n < start + 48000; ++n) {
        const double value = Room::MixerSignal(program, n);
        ASSERT_EQ(value, Room::MixerSignal(program, n));
        peak = std::max(peak, std::abs(value));
        energy += value * value;
        differing += value != Room::MixerSignal(other, n) ? 1 : 0;
    }
    EXPECT_LE(peak, 1.0);
    EXPECT_GT(peak, 0.3);
    EXPECT_GT(energy / 48000.0, 0.01);  // not silence
    EXPECT_GT(differing, 47000);
}

TEST(RoomTest, CaptureDelaysAreSeededAndWithinTheJitter) {
    StandInLevels levels;
    auto delays = [&](int32_t jitter, uint64_t seed) {
        RoomOptions options = Quiet();
        options.latencyJitterBlocks = jitter;
        options.jitterSeed = seed;
        Room room(levels, kRenderEndpoint, kCaptureEndpoint, options);
        std::vector<int32_t> drawn;
        for (int i = 0; i < 200; ++i)
            drawn.push_back(room.NextCaptureDelay());
        return drawn;
    };
    EXPECT_EQ(delays(0, 3), std::vector<int32_t>(200, 0));
    const auto first = delays(3, 11);
    EXPECT_EQ(first, delays(3, 11));
    EXPECT_NE(first, delays(3, 12));
    for (int32_t delay = 0; delay <= 3; ++delay)
        EXPECT_NE(std::find(first.begin(), first.end(), delay), first.end()) << delay;
    EXPECT_TRUE(
        std::all_of(first.begin(), first.end(), [](int32_t d) { return d >= 0 && d <= 3; }));
}

TEST(RoomTest, StreamsOfOtherRatesArePickedFrameByFrame) {
    StandInLevels levels;
    RoomOptions unit = Quiet();
    unit.couplings[5] = 1.0;
    Room exact(levels, kRenderEndpoint, kCaptureEndpoint, unit);
    const auto format = Format(kWaveFormatPcm, 1, 16, 0, kSubtypePcm, 44100);
    std::vector<int16_t> ramp(441);
    for (size_t f = 0; f < ramp.size(); ++f)
        ramp[f] = static_cast<int16_t>(f * 50);
    std::vector<uint8_t> bytes(ramp.size() * 2);
    std::memcpy(bytes.data(), ramp.data(), bytes.size());
    exact.Play(0, format, bytes.data(), 441);
    const auto samples = CaptureStep(exact, 1, 1);
    for (uint32_t j = 0; j < Room::kSamplesPerStep; ++j)
        ASSERT_EQ(samples[j], ramp[j * 441 / 480]) << j;
}

// The devices and the room together: blocks played at a step are recorded latency steps later,
// and a frame split across two blocks is played whole.
TEST(RoomTest, DevicesPlayAndRecordThroughTheRoomOnTheClock) {
    VirtualClock clock;
    SimSync sync(clock);
    StandInLevels levels;
    RoomOptions options = Quiet(2);
    options.couplings[5] = 1.0;
    Room room(levels, kRenderEndpoint, kCaptureEndpoint, options);
    SimWaveOut out(clock, sync, {{u"speaker", 8, &room, ""}});
    SimWaveIn in(clock, sync, {{u"microphone", 2, &room, ""}});

    struct Captured {
        std::mutex mutex;
        std::vector<std::pair<int64_t, std::vector<int16_t>>> blocks;
        VirtualClock* clock;
    } captured{{}, {}, &clock};
    auto onCapture = [](uint32_t message, void* instance, WaveHeader* header) {
        if (message != kWimData)
            return;
        auto* self = static_cast<Captured*>(instance);
        std::vector<int16_t> samples(header->bytesRecorded / 2);
        std::memcpy(samples.data(), header->data, header->bytesRecorded);
        std::lock_guard lock(self->mutex);
        self->blocks.emplace_back(self->clock->NowUs() / 10'000, std::move(samples));
    };
    auto ignore = [](uint32_t, void*, WaveHeader*) {};

    // Mono 22050 Hz: blocks of 441 bytes, 220.5 frames; frame value = its index.
    const auto format = Format(kWaveFormatPcm, 1, 16, 0, kSubtypePcm, 22050);
    std::vector<int16_t> stream(441);
    for (size_t f = 0; f < stream.size(); ++f)
        stream[f] = static_cast<int16_t>(f * 10);
    std::array<std::vector<uint8_t>, 2> blocks;
    std::array<WaveHeader, 2> playHeaders;
    for (size_t b = 0; b < 2; ++b) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
        blocks[b].assign(bytes + b * 441, bytes + (b + 1) * 441);
        playHeaders[b].data = blocks[b].data();
        playHeaders[b].bufferLength = 441;
    }
    std::array<std::vector<uint8_t>, 6> recordBuffers;
    std::array<WaveHeader, 6> recordHeaders;

    std::unique_ptr<WaveInDevice> mic;
    ASSERT_EQ(in.Open(0, Format(kWaveFormatPcm, 1, 16), onCapture, &captured, &mic), kMmNoError);
    for (size_t i = 0; i < recordHeaders.size(); ++i) {
        recordBuffers[i].resize(960);
        recordHeaders[i].data = recordBuffers[i].data();
        recordHeaders[i].bufferLength = 960;
        ASSERT_EQ(mic->Prepare(&recordHeaders[i]), kMmNoError);
        ASSERT_EQ(mic->AddBuffer(&recordHeaders[i]), kMmNoError);
    }
    ASSERT_EQ(mic->Start(), kMmNoError);
    std::unique_ptr<WaveOutDevice> speaker;
    ASSERT_EQ(out.Open(0, format, ignore, nullptr, &speaker), kMmNoError);
    for (auto& header : playHeaders) {
        ASSERT_EQ(speaker->Prepare(&header), kMmNoError);
        ASSERT_EQ(speaker->Write(&header), kMmNoError);
    }
    clock.AdvanceBy(60'000);  // steps 1 to 6; played at 1 and 2, heard at 3 and 4

    ASSERT_EQ(captured.blocks.size(), 6u);
    for (const auto& [step, samples] : captured.blocks) {
        ASSERT_EQ(samples.size(), 480u);
        for (uint32_t j = 0; j < 480; ++j) {
            int16_t expected = 0;
            if (step == 3)
                expected = stream[j * 220 / 480];  // 220 whole frames, half a frame kept
            if (step == 4)
                expected = stream[220 + j * 221 / 480];  // the kept half completes frame 220
            ASSERT_EQ(samples[j], expected) << "step " << step << " sample " << j;
        }
    }
    ASSERT_EQ(mic->Reset(), kMmNoError);
    EXPECT_EQ(mic->Close(), kMmNoError);
    EXPECT_EQ(speaker->Close(), kMmNoError);
}

}  // namespace
}  // namespace zelk::sim
