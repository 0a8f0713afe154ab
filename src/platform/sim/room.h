#pragma once

// The room of the simulated machine: what the codec's speakers play, as its microphone hears it.
//
// Time in the room is counted in steps of 10 ms on the clock's 10 ms grid (step n ends at
// n × 10 ms). At step n a render device hands over the block it played (Play) and a capture device
// takes the block it recorded (Capture). The microphone hears at step n what the speakers played at
// step n − latency, so the order of the two devices within one step never matters.
//
// For one 10 ms step, at the room's 48000 Hz (480 samples j):
//
//   heard[j] = sum over streams, over stream channels c with a speaker k = speaker(c):
//                  x_c(j) · a_k · κ_k
//   a_k      = 10^(dB_k / 20), dB_k = the speaker's channel level + master-side level on the codec,
//              0 when the speaker's path is silent (muted, or no such speaker)
//   κ_k      = the speaker's coupling to the microphone
//   x_c(j)   = stream sample of channel c as a fraction of full scale, at stream frame
//              floor(j × F / 480) of the F whole frames the block held
//
//   first capture channel [j]  = clip16(round(g · (32768 · heard[j] + noise)))
//   second capture channel [j] = clip16(round(g · noise'))
//   g        = 10^(dBmic / 20), dBmic = microphone gain + boost; 0 when the microphone is muted
//   noise    = uniform in [−noiseAmplitude, +noiseAmplitude] (sample units), from a seeded
//              generator, drawn frame by frame, channel by channel
//
// The second channel is the codec's unconnected right input: it carries the noise floor only.

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/wave_format.h"

namespace zelk::sim {

// The codec's current levels, as the room reads them at each step.
class CodecLevels {
  public:
    virtual ~CodecLevels() = default;
    // The speaker's channel level plus its master-side level in dB; false when the speaker's path
    // is silent (muted, or no such speaker on the endpoint).
    virtual bool RenderPathDb(int32_t endpointIndex, int32_t speakerChannel, float* db) const = 0;
    // Microphone gain plus boost in dB; false when the microphone is muted.
    virtual bool CapturePathDb(int32_t endpointIndex, float* db) const = 0;
};

struct RoomOptions {
    static constexpr int32_t kSpeakers = 8;
    // Amplitude that reaches the microphone from each speaker channel (engine order: front left,
    // front right, rear left, rear right, subwoofer, center, side left, side right).
    std::array<double, kSpeakers> couplings = {0.5, 0.5, 0.3, 0.3, 0.4, 0.6, 0.4, 0.4};
    // Peak of the microphone's noise floor in 16-bit sample units, before the microphone's gain.
    double noiseAmplitude = 30.0;
    uint64_t noiseSeed = 1;
    // Steps between playing and hearing; at least 1.
    int32_t latencyBlocks = 2;
};

class Room {
  public:
    static constexpr uint32_t kSampleRate = 48000;
    static constexpr uint32_t kSamplesPerStep = 480;

    // The codec's render and capture endpoints, as levels knows them.
    Room(const CodecLevels& levels, int32_t renderEndpoint, int32_t captureEndpoint,
         const RoomOptions& options);

    // The engine's speaker channel (0-7) of one bit of a channel mask, or -1 for a bit no codec
    // speaker serves.
    static int32_t SpeakerOfMaskBit(int32_t bit);
    // The channel mask a stream plays with: its own for an extensible format, else the platform's
    // default for its channel count (1 center, 2 front pair, 4 quad, 6 5.1, 8 7.1).
    static uint32_t ChannelMaskOf(const WaveFormatExtensible& format);
    // A sample as a fraction of full scale; format is PCM of 8, 16, 24 or 32 bits or 32-bit float.
    static double SampleValue(const WaveFormatExtensible& format, const uint8_t* sample);

    // The whole frames a render stream played at step; format is one the render device accepted.
    void Play(int64_t step, const WaveFormatExtensible& format, const uint8_t* frames,
              uint32_t frameCount);
    // Fills frameCount frames of 16-bit samples (1 or 2 channels, interleaved) with what the
    // microphone recorded at step; frames beyond the step's 480 are left as they are.
    void Capture(int64_t step, int16_t* samples, uint32_t frameCount, uint16_t channels);

    void SetCoupling(int32_t speakerChannel, double coupling);
    RoomOptions options() const;

  private:
    // Called with mutex_ held: what reached the microphone at step, created silent when new; the
    // same if it is known, else null; and letting go of every step before one.
    double* HeardAt(int64_t step);
    const double* FindHeard(int64_t step) const;
    void DropHeardBefore(int64_t step);
    double NextNoise();

    const CodecLevels& levels_;
    const int32_t renderEndpoint_;
    const int32_t captureEndpoint_;
    mutable std::mutex mutex_;
    RoomOptions options_;
    uint64_t noiseState_;
    // What reached the microphone, per step, before its gain: fractions of full scale, in
    // ascending steps (the latency's few). Buffers let go of are kept for the next steps.
    struct HeardStep {
        int64_t step;
        std::vector<double> samples;
    };
    std::vector<HeardStep> heard_;
    std::vector<std::vector<double>> spare_;
};

}  // namespace zelk::sim
