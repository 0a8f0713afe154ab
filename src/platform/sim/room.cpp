#include "platform/sim/room.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace zelk::sim {

namespace {

constexpr double kFullScale16 = 32768.0;

double DbToAmplitude(float db) {
    return std::pow(10.0, static_cast<double>(db) / 20.0);
}

// splitmix64: the same sequence on every platform and compiler.
uint64_t SplitMix(uint64_t* state) {
    *state += 0x9E3779B97F4A7C15ull;
    uint64_t z = *state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// [0, 1) from the top 53 bits.
double UnitOf(uint64_t bits) {
    return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

constexpr double kTwoPi = 6.283185307179586476925286766559;

// sin(2π · cycles), the whole cycles dropped first so that a long run loses no precision.
double SineOfCycles(double cycles) {
    return std::sin(kTwoPi * (cycles - std::floor(cycles)));
}

// Rounds to nearest, halves away from zero, and clamps to 16 bits.
int16_t Clip16(double value) {
    if (!(value > -32768.5))
        return -32768;
    if (value >= 32767.5)
        return 32767;
    // |value| < 2^15 here, so the fraction left after truncation is exact. Without branches: the
    // fraction's side of one half is as good as random.
    const auto whole = static_cast<int32_t>(value);
    const double fraction = value - static_cast<double>(whole);
    return static_cast<int16_t>(whole + static_cast<int32_t>(fraction >= 0.5) -
                                static_cast<int32_t>(fraction <= -0.5));
}

bool IsFloat(const WaveFormatExtensible& format) {
    if (format.wFormatTag == kWaveFormatIeeeFloat)
        return true;
    return format.wFormatTag == kWaveFormatExtensible && format.SubFormat == kSubtypeIeeeFloat;
}

}  // namespace

Room::Room(const CodecLevels& levels, int32_t renderEndpoint, int32_t captureEndpoint,
           const RoomOptions& options)
    : levels_(levels),
      renderEndpoint_(renderEndpoint),
      captureEndpoint_(captureEndpoint),
      options_(options),
      noiseState_(options.noiseSeed),
      jitterState_(options.jitterSeed) {
    options_.latencyBlocks = std::max(options_.latencyBlocks, 1);
    options_.latencyJitterBlocks = std::max(options_.latencyJitterBlocks, 0);
    if (options_.mixerSources.size() > RoomOptions::kMaxMixerSources)
        options_.mixerSources.resize(RoomOptions::kMaxMixerSources);
}

int32_t Room::SpeakerOfMaskBit(int32_t bit) {
    switch (bit) {
        case 0:  // front left
            return 0;
        case 1:  // front right
            return 1;
        case 2:  // front center
            return 5;
        case 3:  // low frequency
            return 4;
        case 4:  // back left
            return 2;
        case 5:  // back right
            return 3;
        case 9:  // side left
            return 6;
        case 10:  // side right
            return 7;
        default:
            return -1;
    }
}

uint32_t Room::ChannelMaskOf(const WaveFormatExtensible& format) {
    if (format.wFormatTag == kWaveFormatExtensible)
        return format.dwChannelMask;
    switch (format.nChannels) {
        case 1:
            return 0x4;
        case 2:
            return 0x3;
        case 4:
            return 0x33;
        case 6:
            return 0x3F;
        case 8:
            return 0x63F;
        default:
            return 0;
    }
}

namespace {

enum class SampleKind { kFloat32, kPcm8, kPcm16, kPcm24, kPcm32, kNone };

SampleKind KindOf(const WaveFormatExtensible& format) {
    if (IsFloat(format))
        return SampleKind::kFloat32;
    switch (format.wBitsPerSample) {
        case 8:
            return SampleKind::kPcm8;
        case 16:
            return SampleKind::kPcm16;
        case 24:
            return SampleKind::kPcm24;
        case 32:
            return SampleKind::kPcm32;
        default:
            return SampleKind::kNone;
    }
}

template <SampleKind kind>
double Decode(const uint8_t* sample) {
    if constexpr (kind == SampleKind::kFloat32) {
        float value;
        std::memcpy(&value, sample, sizeof(value));
        return static_cast<double>(value);
    } else if constexpr (kind == SampleKind::kPcm8) {
        return (static_cast<int32_t>(sample[0]) - 128) / 128.0;
    } else if constexpr (kind == SampleKind::kPcm16) {
        const auto value = static_cast<int16_t>(sample[0] | (sample[1] << 8));
        return value / 32768.0;
    } else if constexpr (kind == SampleKind::kPcm24) {
        // Sign-extend through the top byte of a 32-bit word.
        const uint32_t bits = (static_cast<uint32_t>(sample[0]) << 8) |
                              (static_cast<uint32_t>(sample[1]) << 16) |
                              (static_cast<uint32_t>(sample[2]) << 24);
        return static_cast<int32_t>(bits) / 2147483648.0;
    } else if constexpr (kind == SampleKind::kPcm32) {
        const uint32_t bits =
            static_cast<uint32_t>(sample[0]) | (static_cast<uint32_t>(sample[1]) << 8) |
            (static_cast<uint32_t>(sample[2]) << 16) | (static_cast<uint32_t>(sample[3]) << 24);
        return static_cast<int32_t>(bits) / 2147483648.0;
    } else {
        return 0.0;
    }
}

// The stream channels that reach the microphone, in ascending order, and how strongly.
struct Reach {
    uint32_t count = 0;
    std::array<uint32_t, 32> offset{};  // of the channel's sample within a frame
    std::array<double, 32> amplitude{};
};

// heard[j] += the sum over the reaching channels of sample × amplitude, for the 480 samples of a
// step, each at frame floor(j × frameCount / 480).
template <SampleKind kind>
void Accumulate(const Reach& reach, const uint8_t* frames, uint32_t frameCount, uint32_t blockAlign,
                double* heard) {
    for (uint32_t j = 0; j < Room::kSamplesPerStep; ++j) {
        const auto frame =
            static_cast<size_t>(static_cast<uint64_t>(j) * frameCount / Room::kSamplesPerStep);
        const uint8_t* at = frames + frame * blockAlign;
        double sum = 0.0;
        for (uint32_t i = 0; i < reach.count; ++i)
            sum += Decode<kind>(at + reach.offset[i]) * reach.amplitude[i];
        heard[j] += sum;
    }
}

// Calls body with the sample kind as a compile-time constant, so that loops over samples are built
// once per kind.
template <class Body>
auto WithSampleKind(SampleKind kind, Body&& body) {
    switch (kind) {
        case SampleKind::kFloat32:
            return body(std::integral_constant<SampleKind, SampleKind::kFloat32>{});
        case SampleKind::kPcm8:
            return body(std::integral_constant<SampleKind, SampleKind::kPcm8>{});
        case SampleKind::kPcm16:
            return body(std::integral_constant<SampleKind, SampleKind::kPcm16>{});
        case SampleKind::kPcm24:
            return body(std::integral_constant<SampleKind, SampleKind::kPcm24>{});
        case SampleKind::kPcm32:
            return body(std::integral_constant<SampleKind, SampleKind::kPcm32>{});
        default:
            return body(std::integral_constant<SampleKind, SampleKind::kNone>{});
    }
}

}  // namespace

double Room::SampleValue(const WaveFormatExtensible& format, const uint8_t* sample) {
    return WithSampleKind(KindOf(format), [sample](auto kind) { return Decode<kind()>(sample); });
}

void Room::Play(int64_t step, const WaveFormatExtensible& format, const uint8_t* frames,
                uint32_t frameCount) {
    if (frameCount == 0 || format.nChannels == 0 || format.nBlockAlign == 0)
        return;

    // The codec's levels now, read before the room's lock is taken.
    std::array<double, RoomOptions::kSpeakers> amplitude{};
    for (int32_t speaker = 0; speaker < RoomOptions::kSpeakers; ++speaker) {
        float db = 0.0f;
        if (levels_.RenderPathDb(renderEndpoint_, speaker, &db))
            amplitude[static_cast<size_t>(speaker)] = DbToAmplitude(db);
    }

    // The speakers the endpoint's layout lets the stream reach.
    const uint32_t layout = levels_.RenderLayoutMask(renderEndpoint_);

    std::lock_guard lock(mutex_);
    // Each stream channel's speaker and the amplitude that reaches the microphone through it;
    // channels that reach it with nothing are left out.
    Reach reach;
    const uint32_t mask = ChannelMaskOf(format);
    const uint32_t bytesPerSample = format.wBitsPerSample / 8u;
    uint16_t channel = 0;
    for (int32_t bit = 0; bit < 32 && channel < format.nChannels; ++bit) {
        if ((mask & (1u << bit)) == 0)
            continue;
        const int32_t speaker = (layout & (1u << bit)) != 0 ? SpeakerOfMaskBit(bit) : -1;
        if (speaker >= 0) {
            const auto k = static_cast<size_t>(speaker);
            const double through = amplitude[k] * options_.couplings[k];
            if (through != 0.0) {
                reach.offset[reach.count] = channel * bytesPerSample;
                reach.amplitude[reach.count] = through;
                ++reach.count;
            }
        }
        ++channel;
    }

    double* heard = HeardAt(step);
    if (reach.count > 0) {
        WithSampleKind(KindOf(format), [&](auto kind) {
            Accumulate<kind()>(reach, frames, frameCount, format.nBlockAlign, heard);
        });
    }
    // Nothing before step − latency can be heard any more.
    DropHeardBefore(step - options_.latencyBlocks);
}

void Room::Capture(int64_t step, int16_t* samples, uint32_t frameCount, uint16_t channels) {
    float micDb = 0.0f;
    const double gain =
        levels_.CapturePathDb(captureEndpoint_, &micDb) ? DbToAmplitude(micDb) : 0.0;
    // The mixer sources' paths now, before the room's lock is taken (the sources are fixed once
    // the room is built).
    std::array<double, 2 * RoomOptions::kMaxMixerSources> mixer{};
    bool anyMixer = false;
    for (size_t s = 0; s < options_.mixerSources.size(); ++s) {
        for (int32_t side = 0; side < 2; ++side) {
            float db = 0.0f;
            if (levels_.MixerPathDb(renderEndpoint_, options_.mixerSources[s].input, side, &db)) {
                mixer[2 * s + static_cast<size_t>(side)] = DbToAmplitude(db);
                anyMixer = true;
            }
        }
    }

    std::lock_guard lock(mutex_);
    const int64_t heardStep = step - options_.latencyBlocks;
    const double* heard = FindHeard(heardStep);
    if (anyMixer) {
        if (heard != nullptr)
            std::copy(heard, heard + kSamplesPerStep, recorded_.begin());
        else
            recorded_.fill(0.0);
        AddMixerSources(heardStep, mixer, recorded_.data());
        heard = recorded_.data();
    }

    const uint32_t frames = std::min(frameCount, kSamplesPerStep);
    for (uint32_t j = 0; j < frames; ++j) {
        const double signal = heard != nullptr ? heard[j] * kFullScale16 : 0.0;
        samples[j * channels] = Clip16(gain * (signal + NextNoise()));
        if (channels > 1)
            samples[j * channels + 1] = Clip16(gain * NextNoise());
    }
    DropHeardBefore(heardStep);
}

void Room::AddMixerSources(int64_t step,
                           const std::array<double, 2 * RoomOptions::kMaxMixerSources>& amplitude,
                           double* heard) const {
    for (size_t s = 0; s < options_.mixerSources.size(); ++s) {
        const MixerSourceDesign& source = options_.mixerSources[s];
        // Front left and front right, each through its coupling.
        const double through = std::pow(10.0, source.levelDbfs / 20.0) *
                               (amplitude[2 * s] * options_.couplings[0] +
                                amplitude[2 * s + 1] * options_.couplings[1]);
        if (through == 0.0)
            continue;
        const int64_t first = step * static_cast<int64_t>(kSamplesPerStep);
        for (uint32_t j = 0; j < kSamplesPerStep; ++j)
            heard[j] += through * MixerSignal(source, first + j);
    }
}

double Room::MixerSignal(const MixerSourceDesign& source, int64_t n) {
    const double t = static_cast<double>(n) / kSampleRate;
    if (source.kind == MixerSourceDesign::Kind::kHum)
        return SineOfCycles(source.frequencyHz * t);
    // Program material: the seed draws three partials (a tune, its upper voice and a bass), their
    // slow swells and phases; a little noise, drawn from the seed and n alone, rides on top.
    uint64_t state = source.seed;
    double draw[8];
    for (double& value : draw)
        value = UnitOf(SplitMix(&state));
    const double tune = 110.0 + 330.0 * draw[0];
    const double upper = 220.0 + 660.0 * draw[1];
    const double bass = 40.0 + 80.0 * draw[2];
    const double swell1 = 0.5 * (1.0 + SineOfCycles((0.2 + 1.8 * draw[3]) * t + draw[4]));
    const double swell2 = 0.5 * (1.0 + SineOfCycles((0.2 + 1.8 * draw[5]) * t + draw[6]));
    uint64_t noiseState = source.seed ^ (static_cast<uint64_t>(n) * 0xD1B54A32D192ED03ull);
    const double noise = 2.0 * UnitOf(SplitMix(&noiseState)) - 1.0;
    return 0.4 * swell1 * SineOfCycles(tune * t) + 0.3 * swell2 * SineOfCycles(upper * t) +
           0.2 * SineOfCycles(bass * t + draw[7]) + 0.1 * noise;
}

int32_t Room::NextCaptureDelay() {
    std::lock_guard lock(mutex_);
    if (options_.latencyJitterBlocks <= 0)
        return 0;
    const auto span = static_cast<uint64_t>(options_.latencyJitterBlocks) + 1;
    return static_cast<int32_t>(SplitMix(&jitterState_) % span);
}

double* Room::HeardAt(int64_t step) {
    auto at = std::lower_bound(heard_.begin(), heard_.end(), step,
                               [](const HeardStep& entry, int64_t s) { return entry.step < s; });
    if (at != heard_.end() && at->step == step)
        return at->samples.data();
    std::vector<double> samples;
    if (!spare_.empty()) {
        samples = std::move(spare_.back());
        spare_.pop_back();
    }
    samples.assign(kSamplesPerStep, 0.0);
    at = heard_.insert(at, HeardStep{step, std::move(samples)});
    return at->samples.data();
}

const double* Room::FindHeard(int64_t step) const {
    for (const HeardStep& entry : heard_) {
        if (entry.step == step)
            return entry.samples.data();
    }
    return nullptr;
}

void Room::DropHeardBefore(int64_t step) {
    auto end = heard_.begin();
    while (end != heard_.end() && end->step < step) {
        spare_.push_back(std::move(end->samples));
        ++end;
    }
    heard_.erase(heard_.begin(), end);
}

void Room::SetCoupling(int32_t speakerChannel, double coupling) {
    if (speakerChannel < 0 || speakerChannel >= RoomOptions::kSpeakers)
        return;
    std::lock_guard lock(mutex_);
    options_.couplings[static_cast<size_t>(speakerChannel)] = coupling;
}

RoomOptions Room::options() const {
    std::lock_guard lock(mutex_);
    return options_;
}

double Room::NextNoise() {
    if (options_.noiseAmplitude == 0.0)
        return 0.0;
    return options_.noiseAmplitude * (2.0 * UnitOf(SplitMix(&noiseState_)) - 1.0);
}

}  // namespace zelk::sim
