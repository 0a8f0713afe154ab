#pragma once

// A steady sine tone in 8-, 16- or 32-bit PCM or 32-bit float, the same sample on every channel.
// The tone sounds at twice the frequency it is built with.

#include <cstdint>

#include "audio/audio_source.h"

namespace zelk {

class SineWaveSource final : public AudioSource {
  public:
    // Frames written between two corrections of the oscillator's amplitude.
    static constexpr uint32_t kRenormaliseFrames = 100000;
    static constexpr double kAmplitude = 0.7;

    SineWaveSource(const WaveFormatExtensible& format, double frequency);
    ~SineWaveSource() = default;

    Status GetStatus() override { return status_; }
    WaveFormatExtensible* GetFormat() override { return &format_; }
    bool HasMoreData() override { return status_ == kOk; }
    Status Read(void* buffer, uint32_t byteCount) override;
    Status Reset() override;

  private:
    enum SampleKind : int32_t {
        kNone = 0,
        kFloat32 = 1,
        kUnsigned8 = 2,
        kSigned16 = 3,
        kSigned32 = 4,
    };

    WaveFormatExtensible format_;
    int32_t sampleKind_ = kNone;
    Status status_ = kOk;
    uint32_t frameCounter_ = 0;
    double cosine_ = kAmplitude;
    double sine_ = 0.0;
    double cosStep_ = 1.0;
    double sinStep_ = 0.0;
};

}  // namespace zelk
