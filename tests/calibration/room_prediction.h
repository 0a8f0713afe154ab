#pragma once

// What a channel's measurement must find, worked out from the room's formula (docs/simulator.md)
// and the codec's ranges and stepping, independently of the engine.
//
// While channel j is measured, every other speaker sits at its floor (the channel's minimum) with
// the master of its side, the master of j's side is open (0 dB clamped into its range) and the
// other master at its minimum, each on the step its control holds. The tone is the same on every
// stream channel, so the microphone's first channel carries a sine of peak
//
//   P = g · 32768 · x · Σ_k κ_k · 10^(dB_k / 20),   g = 10^(dBmic / 20),  x = 22936 / 32768
//
// over the speakers k the stream reaches, and a band is met when at least 100 of the 480 samples
// of a block reach its threshold T. Over a 10 ms block of either tone that holds for every phase
// once P ≥ 1.07 T and for none while P ≤ 1.03 T; the room's noise (±A·g) widens both bounds. A
// prediction closer to the edge than that is a fault of the test's design and is reported.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/calibration_context.h"

namespace zelk::testing {

struct LevelRange {
    float minDb = -46.5f;
    float maxDb = 0.0f;
    float stepDb = 1.5f;
};

struct RoomModel {
    std::array<double, kSpeakerChannels> couplings = {};
    // Range of each speaker channel's level control; absent speakers are silent.
    std::array<LevelRange, kSpeakerChannels> channels = {};
    std::array<bool, kSpeakerChannels> present = {true, true, true, true, true, true, true, true};
    LevelRange master[kMasterSides] = {};
    // Speakers the stream reaches, by the room's mask table.
    std::array<bool, kSpeakerChannels> heard = {true, true, true, true, true, true, true, true};
    // Microphone gain and boost the run's set-up gives: 12 and 30 dB.
    double micDb = 12.0 + 30.0;
    double noiseAmplitude = 0.0;
    int32_t thresholdPercent[kBands] = {20, 30, 50};
};

// Speakers a stream of the run's plan reaches: two channels the front pair, six 5.1, eight 7.1.
inline std::array<bool, kSpeakerChannels> HeardSpeakers(int32_t streamChannels) {
    if (streamChannels == 2)
        return {true, true, false, false, false, false, false, false};
    if (streamChannels == 6)
        return {true, true, true, true, true, true, false, false};
    return {true, true, true, true, true, true, true, true};
}

inline float Clamp(float level, const LevelRange& range) {
    if (level > range.maxDb)
        return range.maxDb;
    if (level < range.minDb)
        return range.minDb;
    return level;
}

// The level a control holds when asked for `level`: clamped into its range, then the nearer of
// the steps either side, counted from the minimum (a tie goes up; the maximum is the top step).
inline float OnStep(float level, const LevelRange& range) {
    const float clamped = Clamp(level, range);
    if (clamped == range.minDb || clamped == range.maxDb || !(range.stepDb > 0.0f))
        return clamped;
    const double at = clamped;
    const double below = range.minDb + std::floor((at - range.minDb) / range.stepDb) * range.stepDb;
    const double above = std::min(below + range.stepDb, static_cast<double>(range.maxDb));
    return static_cast<float>(at - below >= above - at ? above : below);
}

// The measured channel's level in each of the 64 cycles: -40 dB on the control (clamped into its
// range and set to a step), then raised by 20 times its stepping before each cycle, capped at its
// maximum, to the step the control holds.
inline std::vector<float> CycleLevels(const LevelRange& range) {
    std::vector<float> levels;
    float level = OnStep(-40.0f, range);
    for (int cycle = 0; cycle < 64; ++cycle) {
        float next = level + 20.0f * range.stepDb;
        level = OnStep(next > range.maxDb ? range.maxDb : next, range);
        levels.push_back(level);
    }
    return levels;
}

inline float OpenMasterLevel(const RoomModel& room, int32_t side) {
    return OnStep(0.0f, room.master[side]);
}

inline int32_t Threshold(const RoomModel& room, int32_t band) {
    return room.thresholdPercent[band] * 32768 / 100;
}

// Peak of the microphone's first channel while `channel` is at `level`.
inline double PeakAtMicrophone(const RoomModel& room, int32_t channel, float level) {
    const int32_t side = MasterSideOf(channel);
    double sum = 0.0;
    for (int32_t k = 0; k < kSpeakerChannels; ++k) {
        if (!room.heard[static_cast<size_t>(k)] || !room.present[static_cast<size_t>(k)])
            continue;
        const int32_t kSide = MasterSideOf(k);
        const double master = kSide == side ? OpenMasterLevel(room, kSide)
                                            : OnStep(kLevelFloorDb, room.master[kSide]);
        const double own =
            k == channel ? level : OnStep(kLevelFloorDb, room.channels[static_cast<size_t>(k)]);
        sum += room.couplings[static_cast<size_t>(k)] * std::pow(10.0, (own + master) / 20.0);
    }
    const double gain = std::pow(10.0, room.micDb / 20.0);
    return gain * 32768.0 * (22936.0 / 32768.0) * sum;
}

struct BandPrediction {
    bool reached = false;
    float level = 0.0f;
    int cycle = -1;
};

// The level at which each band is first met, cycle by cycle; the bands are sought in order, so a
// band is never met before the one below it.
inline std::array<BandPrediction, kBands> PredictChannel(const RoomModel& room, int32_t channel) {
    std::array<BandPrediction, kBands> result;
    if (!room.present[static_cast<size_t>(channel)])
        return result;
    const double noise = room.noiseAmplitude * std::pow(10.0, room.micDb / 20.0);
    const std::vector<float> levels = CycleLevels(room.channels[static_cast<size_t>(channel)]);
    int earliest = 0;
    for (int32_t band = 0; band < kBands; ++band) {
        const double threshold = Threshold(room, band);
        for (int cycle = earliest; cycle < static_cast<int>(levels.size()); ++cycle) {
            const double peak = PeakAtMicrophone(room, channel, levels[static_cast<size_t>(cycle)]);
            const bool surely = peak - noise >= 1.08 * threshold;
            const bool never = peak + noise <= 1.02 * threshold;
            if (!surely && !never) {
                ADD_FAILURE() << "the room puts channel " << channel << " band " << band
                              << " too close to its threshold in cycle " << cycle << " (peak "
                              << peak / threshold << " of the threshold)";
                return result;
            }
            if (surely) {
                result[static_cast<size_t>(band)] = {true, levels[static_cast<size_t>(cycle)],
                                                     cycle};
                earliest = cycle;
                break;
            }
        }
        if (!result[static_cast<size_t>(band)].reached)
            break;
    }
    return result;
}

}  // namespace zelk::testing
