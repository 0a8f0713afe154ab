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
//   heard[j] = sum over streams, over stream channels c with a speaker k = speaker(c) whose bit
//              is in the render endpoint's layout (its device format's channel mask):
//                  x_c(j) · a_k · κ_k
//            + sum over mixer sources s, over the front speakers k = 0, 1:
//                  y_s(j) · m_sk · κ_k
//   a_k      = 10^(dB_k / 20), dB_k = the speaker's channel level + master-side level on the codec,
//              0 when the speaker's path is silent (muted, or no such speaker)
//   κ_k      = the speaker's coupling to the microphone
//   x_c(j)   = stream sample of channel c as a fraction of full scale, at stream frame
//              floor(j × F / 480) of the F whole frames the block held
//   m_sk     = 10^(dB / 20), dB = the source's input volume (channel k) + master-side level, 0
//              when the input or the master is muted or the input does not exist
//   y_s(j)   = the source's signal (MixerSourceDesign) at the step's sample j
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
    static constexpr uint32_t kEverySpeaker = 0xFFFFFFFFu;

    virtual ~CodecLevels() = default;
    // The speaker's channel level plus its master-side level in dB; false when the speaker's path
    // is silent (muted, or no such speaker on the endpoint).
    virtual bool RenderPathDb(int32_t endpointIndex, int32_t speakerChannel, float* db) const = 0;
    // Microphone gain plus boost in dB; false when the microphone is muted.
    virtual bool CapturePathDb(int32_t endpointIndex, float* db) const = 0;
    // The channel mask of the render endpoint's current device format: a stream channel whose
    // speaker's bit is not in it reaches no speaker. Every speaker by default.
    virtual uint32_t RenderLayoutMask(int32_t /*endpointIndex*/) const { return kEverySpeaker; }
    // Mixer input `input` (the parts in<input>_mute and in<input>_volume) to front speaker 0 or 1
    // in dB: the input volume's channel of that side plus the master of that side. False when the
    // path is silent (the input or the master muted, or no such input). None by default.
    virtual bool MixerPathDb(int32_t /*endpointIndex*/, int32_t /*input*/,
                             int32_t /*speakerChannel*/, float* /*db*/) const {
        return false;
    }
};

// A signal that plays into one of the codec's mixer inputs all the time (what is plugged into a
// line or CD input), heard through the input's volume while the input is unmuted, and through the
// master of each side, on the front left and front right speakers.
struct MixerSourceDesign {
    enum class Kind {
        // A sine of frequencyHz (mains hum): y(n) = A · sin(2π · frequencyHz · n / 48000).
        kHum,
        // Program material: three partials with slow swells and a little noise, drawn from seed;
        // its peak never exceeds A.
        kProgram,
    };
    int32_t input = 1;  // e of in<e>_mute and in<e>_volume
    Kind kind = Kind::kHum;
    // Peak A of the signal in dB relative to full scale (0 dBFS: A = 1).
    double levelDbfs = -20.0;
    double frequencyHz = 50.0;  // kHum only
    uint64_t seed = 1;          // kProgram only
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
    // Capture blocks come back late by 0 to latencyJitterBlocks steps, drawn for each block from
    // jitterSeed; never out of order, and their audio is unchanged (each block still holds the
    // step it was recorded at). 0: every block comes back at the step that filled it.
    int32_t latencyJitterBlocks = 0;
    uint64_t jitterSeed = 1;
    // At most kMaxMixerSources; further ones are not heard.
    static constexpr size_t kMaxMixerSources = 16;
    std::vector<MixerSourceDesign> mixerSources;
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

    // How many steps late the next capture block comes back: 0 to latencyJitterBlocks, from the
    // room's seeded draw.
    int32_t NextCaptureDelay();
    // A mixer source's signal at sample n of the room's time (n = step × 480 + j), scaled to a
    // peak of 1 (levelDbfs not applied). The same n gives the same value on every run.
    static double MixerSignal(const MixerSourceDesign& source, int64_t n);

    void SetCoupling(int32_t speakerChannel, double coupling);
    RoomOptions options() const;

  private:
    // Called with mutex_ held: what reached the microphone at step, created silent when new; the
    // same if it is known, else null; and letting go of every step before one.
    double* HeardAt(int64_t step);
    const double* FindHeard(int64_t step) const;
    void DropHeardBefore(int64_t step);
    double NextNoise();
    // Adds what the mixer sources give at step's 480 samples to heard (fractions of full scale);
    // amplitude holds each source's left and right path amplitudes.
    void AddMixerSources(int64_t step,
                         const std::array<double, 2 * RoomOptions::kMaxMixerSources>& amplitude,
                         double* heard) const;

    const CodecLevels& levels_;
    const int32_t renderEndpoint_;
    const int32_t captureEndpoint_;
    mutable std::mutex mutex_;
    RoomOptions options_;
    uint64_t noiseState_;
    uint64_t jitterState_;
    // What reached the microphone at the step being recorded.
    std::array<double, kSamplesPerStep> recorded_{};
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
