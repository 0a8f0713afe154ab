#include "audio/sine_wave_source.h"

#include <cmath>
#include <cstring>

namespace zelk {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// Truncates toward zero into [low, high]; a value that is not a number gives 0.
template <class T>
T Truncate(double value, double low, double high) {
    if (!(value == value))
        return 0;
    if (value < low)
        value = low;
    if (value > high)
        value = high;
    return static_cast<T>(value);
}

template <class T>
uint8_t* Put(uint8_t* out, T sample, uint16_t channels) {
    for (uint16_t c = 0; c < channels; ++c) {
        std::memcpy(out, &sample, sizeof sample);
        out += sizeof sample;
    }
    return out;
}

}  // namespace

SineWaveSource::SineWaveSource(const WaveFormatExtensible& format, double frequency)
    : format_(format) {
    if (format_.SubFormat == kSubtypeIeeeFloat) {
        sampleKind_ = kFloat32;
    } else if (format_.SubFormat == kSubtypePcm) {
        switch (format_.wBitsPerSample) {
            case 8:
                sampleKind_ = kUnsigned8;
                break;
            case 16:
                sampleKind_ = kSigned16;
                break;
            case 32:
                sampleKind_ = kSigned32;
                break;
            default:
                status_ = kUnsupportedFormat;
                break;
        }
    } else {
        status_ = kUnsupportedFormat;
        return;
    }
    const double step = kTwoPi / (static_cast<double>(format_.nSamplesPerSec) / (2.0 * frequency));
    cosStep_ = std::cos(step);
    sinStep_ = std::sin(step);
    cosine_ = kAmplitude;
    sine_ = 0.0;
    frameCounter_ = 0;
}

Status SineWaveSource::Read(void* buffer, uint32_t byteCount) {
    if (const Status check = CheckRead(status_, buffer, byteCount); check != kOk)
        return check;

    const uint32_t bytesPerSample = sampleKind_ == kUnsigned8  ? 1u
                                    : sampleKind_ == kSigned16 ? 2u
                                                               : 4u;
    const uint16_t channels = format_.nChannels;
    // A format without channels has no whole frame to write.
    const uint32_t frames = channels == 0 ? 0u : byteCount / bytesPerSample / channels;

    auto* out = static_cast<uint8_t*>(buffer);
    for (uint32_t n = 0; n < frames; ++n) {
        switch (sampleKind_) {
            case kFloat32:
                out = Put(out, static_cast<float>(sine_), channels);
                break;
            case kUnsigned8:
                out = Put(out, Truncate<uint8_t>(sine_ * 127.0 + 128.0, 0.0, 255.0), channels);
                break;
            case kSigned16:
                out = Put(out, Truncate<int16_t>(sine_ * 32767.0, -32768.0, 32767.0), channels);
                break;
            default:
                out = Put(out, Truncate<int32_t>(sine_ * 2147483647.0, -2147483648.0, 2147483647.0),
                          channels);
                break;
        }
        const double sine = sine_ * cosStep_ + cosine_ * sinStep_;
        const double cosine = cosine_ * cosStep_ - sine_ * sinStep_;
        sine_ = sine;
        cosine_ = cosine;
    }

    frameCounter_ += frames;
    if (frameCounter_ > kRenormaliseFrames) {
        const double radius = std::sqrt(sine_ * sine_ + cosine_ * cosine_);
        if (radius > 0.0) {
            sine_ *= kAmplitude / radius;
            cosine_ *= kAmplitude / radius;
        }
        frameCounter_ = 0;
    }
    return kOk;
}

Status SineWaveSource::Reset() {
    if (status_ == kOk) {
        cosine_ = kAmplitude;
        sine_ = 0.0;
    }
    return status_;
}

}  // namespace zelk
