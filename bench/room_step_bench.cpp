// CPU time of the room's part of one 10 ms step on the clock's thread: an eight-channel 16-bit
// block played through the codec's levels, a two-channel block recorded from the microphone, and
// reading those levels from the simulated codec.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "platform/sim/room.h"
#include "platform/sim/sim_audio_system.h"
#include "platform/sim/sim_codec_builder.h"

namespace zelk {
namespace {

class FixedLevels : public sim::CodecLevels {
  public:
    bool RenderPathDb(int32_t, int32_t speakerChannel, float* db) const override {
        *db = -6.0f - 1.5f * static_cast<float>(speakerChannel);
        return true;
    }
    bool CapturePathDb(int32_t, float* db) const override {
        *db = 10.0f;
        return true;
    }
};

WaveFormatExtensible EightChannel16() {
    return ExtensibleFormat(8, 48000, 16, 0x63F);
}

void BM_RoomPlay(benchmark::State& state) {
    FixedLevels levels;
    sim::Room room(levels, 0, 0, sim::RoomOptions{});
    const WaveFormatExtensible format = EightChannel16();
    std::vector<uint8_t> block(sim::Room::kSamplesPerStep * format.nBlockAlign);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 37);
    int64_t step = 0;
    for (auto _ : state)
        room.Play(++step, format, block.data(), sim::Room::kSamplesPerStep);
}

void BM_RoomCapture(benchmark::State& state) {
    FixedLevels levels;
    sim::Room room(levels, 0, 0, sim::RoomOptions{});
    std::vector<int16_t> samples(sim::Room::kSamplesPerStep * 2);
    int64_t step = 0;
    for (auto _ : state) {
        room.Capture(++step, samples.data(), sim::Room::kSamplesPerStep, 2);
        benchmark::DoNotOptimize(samples.data());
    }
}

// The same, with a hum and program material on two unmuted mixer inputs, and the layout and mixer
// paths read from the simulated codec as the machine's room does.
void BM_RoomCaptureWithMixerSources(benchmark::State& state) {
    class CodecPaths : public sim::CodecLevels {
      public:
        explicit CodecPaths(const sim::SimAudioSystem& audio) : audio_(audio) {}
        bool RenderPathDb(int32_t endpoint, int32_t speaker, float* db) const override {
            return audio_.RenderPathDb(endpoint, speaker, db);
        }
        bool CapturePathDb(int32_t endpoint, float* db) const override {
            return audio_.CapturePathDb(endpoint, db);
        }
        uint32_t RenderLayoutMask(int32_t endpoint) const override {
            return audio_.RenderLayoutMask(endpoint);
        }
        bool MixerPathDb(int32_t endpoint, int32_t input, int32_t side, float* db) const override {
            return audio_.MixerPathDb(endpoint, input, side, db);
        }

      private:
        const sim::SimAudioSystem& audio_;
    };
    auto audio = sim::BuildDefaultPc();
    CodecPaths levels(*audio);
    sim::RoomOptions options;
    sim::MixerSourceDesign hum;
    hum.input = 1;
    sim::MixerSourceDesign program;
    program.input = 3;
    program.kind = sim::MixerSourceDesign::Kind::kProgram;
    options.mixerSources = {hum, program};
    sim::Room room(levels, 0, 0, options);
    const WaveFormatExtensible format = EightChannel16();
    std::vector<uint8_t> block(sim::Room::kSamplesPerStep * format.nBlockAlign);
    std::vector<int16_t> samples(sim::Room::kSamplesPerStep * 2);
    int64_t step = 0;
    for (auto _ : state) {
        room.Play(++step, format, block.data(), sim::Room::kSamplesPerStep);
        room.Capture(step, samples.data(), sim::Room::kSamplesPerStep, 2);
        benchmark::DoNotOptimize(samples.data());
    }
}

// The levels the room reads from the codec at each step: every speaker's path and the microphone's.
void BM_CodecPathLevels(benchmark::State& state) {
    auto audio = sim::BuildDefaultPc();
    for (auto _ : state) {
        float db = 0.0f;
        for (int32_t speaker = 0; speaker < sim::RoomOptions::kSpeakers; ++speaker)
            benchmark::DoNotOptimize(audio->RenderPathDb(0, speaker, &db));
        benchmark::DoNotOptimize(audio->CapturePathDb(0, &db));
    }
}

BENCHMARK(BM_RoomPlay)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RoomCapture)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RoomCaptureWithMixerSources)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CodecPathLevels)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zelk
