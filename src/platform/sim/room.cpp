#include "platform/sim/room.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zelk::sim {

namespace {

constexpr double kFullScale16 = 32768.0;

double DbToAmplitude(float db) {
    return std::pow(10.0, static_cast<double>(db) / 20.0);
}

int16_t Clip16(double value) {
    const double rounded = std::round(value);
    return static_cast<int16_t>(std::clamp(rounded, -32768.0, 32767.0));
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
      noiseState_(options.noiseSeed) {
    options_.latencyBlocks = std::max(options_.latencyBlocks, 1);
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

double Room::SampleValue(const WaveFormatExtensible& format, const uint8_t* sample) {
    if (IsFloat(format)) {
        float value;
        std::memcpy(&value, sample, sizeof(value));
        return static_cast<double>(value);
    }
    switch (format.wBitsPerSample) {
        case 8:
            return (static_cast<int32_t>(sample[0]) - 128) / 128.0;
        case 16: {
            const auto value = static_cast<int16_t>(sample[0] | (sample[1] << 8));
            return value / 32768.0;
        }
        case 24: {
            // Sign-extend through the top byte of a 32-bit word.
            const uint32_t bits = (static_cast<uint32_t>(sample[0]) << 8) |
                                  (static_cast<uint32_t>(sample[1]) << 16) |
                                  (static_cast<uint32_t>(sample[2]) << 24);
            return static_cast<int32_t>(bits) / 2147483648.0;
        }
        case 32: {
            const uint32_t bits =
                static_cast<uint32_t>(sample[0]) | (static_cast<uint32_t>(sample[1]) << 8) |
                (static_cast<uint32_t>(sample[2]) << 16) | (static_cast<uint32_t>(sample[3]) << 24);
            return static_cast<int32_t>(bits) / 2147483648.0;
        }
        default:
            return 0.0;
    }
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

    std::lock_guard lock(mutex_);
    // Each stream channel's speaker and the amplitude that reaches the microphone through it.
    std::vector<double> reach(format.nChannels, 0.0);
    const uint32_t mask = ChannelMaskOf(format);
    uint16_t channel = 0;
    for (int32_t bit = 0; bit < 32 && channel < format.nChannels; ++bit) {
        if ((mask & (1u << bit)) == 0)
            continue;
        const int32_t speaker = SpeakerOfMaskBit(bit);
        if (speaker >= 0) {
            const auto k = static_cast<size_t>(speaker);
            reach[channel] = amplitude[k] * options_.couplings[k];
        }
        ++channel;
    }

    const uint32_t bytesPerSample = format.wBitsPerSample / 8u;
    std::vector<double>& heard = heard_[step];
    heard.resize(kSamplesPerStep, 0.0);
    for (uint32_t j = 0; j < kSamplesPerStep; ++j) {
        const auto frame =
            static_cast<size_t>(static_cast<uint64_t>(j) * frameCount / kSamplesPerStep);
        const uint8_t* at = frames + frame * format.nBlockAlign;
        double sum = 0.0;
        for (uint16_t c = 0; c < format.nChannels; ++c) {
            if (reach[c] != 0.0)
                sum += SampleValue(format, at + c * bytesPerSample) * reach[c];
        }
        heard[j] += sum;
    }
    // Nothing before step − latency can be heard any more.
    heard_.erase(heard_.begin(), heard_.lower_bound(step - options_.latencyBlocks));
}

void Room::Capture(int64_t step, int16_t* samples, uint32_t frameCount, uint16_t channels) {
    float micDb = 0.0f;
    const double gain =
        levels_.CapturePathDb(captureEndpoint_, &micDb) ? DbToAmplitude(micDb) : 0.0;
    std::lock_guard lock(mutex_);
    const int64_t heardStep = step - options_.latencyBlocks;
    const auto found = heard_.find(heardStep);
    const std::vector<double>* heard = found != heard_.end() ? &found->second : nullptr;

    const uint32_t frames = std::min(frameCount, kSamplesPerStep);
    for (uint32_t j = 0; j < frames; ++j) {
        const double signal = heard != nullptr ? (*heard)[j] * kFullScale16 : 0.0;
        samples[j * channels] = Clip16(gain * (signal + NextNoise()));
        if (channels > 1)
            samples[j * channels + 1] = Clip16(gain * NextNoise());
    }
    heard_.erase(heard_.begin(), heard_.lower_bound(heardStep));
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
    // splitmix64: the same sequence on every platform and compiler.
    noiseState_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = noiseState_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    const double unit = static_cast<double>(z >> 11) * 0x1.0p-53;  // [0, 1)
    return options_.noiseAmplitude * (2.0 * unit - 1.0);
}

}  // namespace zelk::sim
