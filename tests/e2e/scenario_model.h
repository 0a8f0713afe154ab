#pragma once

// What a run on a scenario's PC may leave, worked out from the machine the scenario builds (its
// control ranges and stepping, its room) with the room formula of the calibration tests: the
// progress pairs and the levels each key of the results file may hold.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "calibration/results_file_format.h"
#include "calibration/results_room.h"
#include "calibration/room_prediction.h"
#include "e2e/worker_on_pc.h"
#include "engine/calibration_context.h"
#include "peer/peer_messages.h"
#include "platform/sim/sim_pc.h"
#include "platform/speaker_mask.h"

namespace zelk::testing {

// A control channel of the codec by its full part name ("render0.front") and channel.
struct ControlChannel {
    std::string part;
    uint32_t channel = 0;
    bool operator<(const ControlChannel& o) const {
        return part != o.part ? part < o.part : channel < o.channel;
    }
};

inline std::string RenderPrefix(sim::SimPc& pc) {
    return "render" + std::to_string(pc.renderEndpoint()) + ".";
}

// The level control channel of speaker channel k, if the codec has one.
inline bool SpeakerControl(sim::SimPc& pc, int32_t speaker, ControlChannel* control) {
    for (const ChannelPart& part : kChannelParts) {
        for (uint32_t c = 0; c < 2; ++c) {
            if (part.speakers[c] != speaker)
                continue;
            *control = {RenderPrefix(pc) + part.name, c};
            sim::ChannelDesign design;
            return pc.audio().PartChannel(control->part, control->channel, &design);
        }
    }
    return false;
}

inline ControlChannel MasterControl(sim::SimPc& pc, int32_t side) {
    return {RenderPrefix(pc) + sim::kPartMaster, static_cast<uint32_t>(side)};
}

inline LevelRange RangeOf(sim::SimPc& pc, const ControlChannel& control) {
    sim::ChannelDesign design;
    EXPECT_TRUE(pc.audio().PartChannel(control.part, control.channel, &design)) << control.part;
    return {design.minDb, design.maxDb, design.stepDb};
}

inline float LevelOf(sim::SimPc& pc, const ControlChannel& control) {
    float level = 0.0f;
    EXPECT_TRUE(pc.audio().PartLevel(control.part, control.channel, &level)) << control.part;
    return level;
}

// The level a microphone control takes for the run's set-up: the wanted level where its range
// holds it (on the step the control holds), else the level it has.
inline double MicrophoneLevel(sim::SimPc& pc, const char* part, float wanted) {
    const ControlChannel control{"capture" + std::to_string(pc.captureEndpoint()) + "." + part, 0};
    const LevelRange range = RangeOf(pc, control);
    if (wanted < range.minDb || wanted > range.maxDb)
        return LevelOf(pc, control);
    return OnStep(wanted, range);
}

// Speaker mask bit of each speaker channel.
inline constexpr uint32_t kSpeakerBitOfChannel[kSpeakerChannels] = {
    kSpeakerFrontLeft,    kSpeakerFrontRight,  kSpeakerBackLeft, kSpeakerBackRight,
    kSpeakerLowFrequency, kSpeakerFrontCenter, kSpeakerSideLeft, kSpeakerSideRight,
};

// The room model, and the mixer sources the microphone may hear besides the tone: for each, its
// peak through its input's volume to the front left and right speaker (before the master). A run
// mutes every mixer input that has a mute while it measures, so only a source on an input
// without one is heard; the prediction takes it at its worst.
// With capture blocks that come back late (jitter), a cycle's poll may find its block still
// pending and the cycle finds nothing: a band may then be met in any later cycle, or never.
struct PcModel : RoomModel {
    std::vector<std::array<double, 2>> mixerPeaks;
    bool cyclesMayMiss = false;
};

// The room model of the scenario's PC as it stands, for a run of `mode` (1: a single channel):
// the stream of the mode reaches the speakers of the codec's current layout.
inline PcModel ModelOf(sim::SimPc& pc, int32_t mode) {
    PcModel model;
    for (int32_t k = 0; k < kSpeakerChannels; ++k) {
        ControlChannel control;
        model.present[static_cast<size_t>(k)] = SpeakerControl(pc, k, &control);
        if (model.present[static_cast<size_t>(k)])
            model.channels[static_cast<size_t>(k)] = RangeOf(pc, control);
    }
    for (int32_t side = 0; side < kMasterSides; ++side)
        model.master[side] = RangeOf(pc, MasterControl(pc, side));
    model.couplings = pc.options().room.couplings;
    model.noiseAmplitude = pc.options().room.noiseAmplitude;
    model.cyclesMayMiss = pc.options().room.latencyJitterBlocks > 0;
    model.micDb = MicrophoneLevel(pc, sim::kPartMicVolume, 12.0f) +
                  MicrophoneLevel(pc, sim::kPartBoost, 30.0f);
    model.heard = HeardSpeakers(StreamChannelsOfMode(mode == 1 ? 8 : mode));
    const uint32_t layout = pc.audio().RenderLayoutMask(pc.renderEndpoint());
    for (int32_t k = 0; k < kSpeakerChannels; ++k) {
        if ((layout & kSpeakerBitOfChannel[k]) == 0)
            model.heard[static_cast<size_t>(k)] = false;
    }
    for (const sim::MixerSourceDesign& source : pc.options().room.mixerSources) {
        const std::string input = RenderPrefix(pc) + "in" + std::to_string(source.input);
        bool muted = false;
        if (pc.audio().PartMuted(input + "_mute", &muted))
            continue;  // muted during the run
        const std::string volume = input + "_volume";
        std::array<double, 2> peaks = {};
        for (uint32_t side = 0; side < 2; ++side) {
            sim::ChannelDesign design;
            float level = 0.0f;  // an input without a volume passes at 0 dB
            if (pc.audio().PartChannel(volume, side, &design) ||
                pc.audio().PartChannel(volume, 0, &design)) {
                level = design.levelDb;
                pc.audio().PartLevel(volume, side, &level) ||
                    pc.audio().PartLevel(volume, 0, &level);
            }
            peaks[side] = std::pow(10.0, source.levelDbfs / 20.0) * std::pow(10.0, level / 20.0);
        }
        model.mixerPeaks.push_back(peaks);
    }
    return model;
}

// The shipped rooms are noisy and sit close to the thresholds: the microphone's noise (uniform
// in ±A before its gain of some 40 dB) is a good part of a band's threshold, and a 10 ms block
// holds 2.6 periods of the tone, so how many of its samples reach a threshold depends on the
// tone's phase in the block. A band is therefore predicted as surely met, surely not met, or
// either, from the count of samples whose magnitude reaches the threshold in one analysed block
// (480 samples; 100 meet the band): its mean over the noise at the tone's least and most favourable
// phase, give or take six standard deviations and a few samples for the rounding.
inline constexpr int32_t kBlockSamples = 480;
inline constexpr int32_t kSamplesToMeet = 100;
inline constexpr double kSampleRate = 48000.0;
inline constexpr double kMeasuringToneHz = 261.63;
inline constexpr double kSubwooferToneHz = 130.81;
inline constexpr int kPhases = 48;
inline constexpr double kCountMargin = 4.0;

enum class Outcome { kNever, kEither, kSurely };

// `other` bounds what else the microphone hears (the mixer sources): every sample may move by it.
inline Outcome BlockOutcome(double peak, double noise, double other, double threshold,
                            double toneHz) {
    // The chance that a sample of this magnitude before the noise counts: either half-wave.
    auto counts = [&](double magnitude) {
        if (noise <= 0.0)
            return magnitude >= threshold ? 1.0 : 0.0;
        return std::clamp((magnitude + noise - threshold) / (2.0 * noise), 0.0, 1.0) +
               std::clamp((noise - threshold - magnitude) / (2.0 * noise), 0.0, 1.0);
    };
    struct Count {
        double mean = 0.0;
        double variance = 0.0;
        void Add(double p) {
            mean += p;
            variance += p * (1.0 - p);
        }
    };
    const double pi = std::acos(-1.0);
    double lowest = 1e9;
    double highest = -1e9;
    for (int phase = 0; phase < kPhases; ++phase) {
        Count low;   // the other sounds pulling every sample towards zero
        Count high;  // and pushing it away
        for (int32_t j = 0; j < kBlockSamples; ++j) {
            const double magnitude =
                std::fabs(peak * std::sin(2.0 * pi *
                                          (static_cast<double>(phase) / kPhases +
                                           toneHz * static_cast<double>(j) / kSampleRate)));
            low.Add(counts(std::max(magnitude - other, 0.0)));
            high.Add(counts(magnitude + other));
        }
        lowest = std::min(lowest, low.mean - 6.0 * std::sqrt(low.variance) - kCountMargin);
        highest = std::max(highest, high.mean + 6.0 * std::sqrt(high.variance) + kCountMargin);
    }
    if (lowest >= kSamplesToMeet)
        return Outcome::kSurely;
    return highest < kSamplesToMeet ? Outcome::kNever : Outcome::kEither;
}

// The cycles in which each band may first be met: from `earliest` (-1: never) to `latest` (-1:
// it may never be met). Bands are sought in order, each from the cycle the one below was met in.
struct BandWindow {
    int earliest = -1;
    int latest = -1;
};

// The peak the mixer sources may add at the microphone while `channel` is measured.
inline double MixerPeakAtMicrophone(const PcModel& room, int32_t channel) {
    const int32_t side = MasterSideOf(channel);
    double sum = 0.0;
    for (const std::array<double, 2>& peaks : room.mixerPeaks) {
        for (int32_t k = 0; k < 2; ++k) {
            const double master =
                k == side ? OpenMasterLevel(room, k) : OnStep(kLevelFloorDb, room.master[k]);
            sum += peaks[static_cast<size_t>(k)] * std::pow(10.0, master / 20.0) *
                   room.couplings[static_cast<size_t>(k)];
        }
    }
    return std::pow(10.0, room.micDb / 20.0) * 32768.0 * sum;
}

inline std::array<BandWindow, kBands> PredictBandWindows(const PcModel& room, int32_t channel,
                                                         const std::vector<float>& levels) {
    std::array<BandWindow, kBands> windows;
    if (!room.present[static_cast<size_t>(channel)])
        return windows;
    const double noise = room.noiseAmplitude * std::pow(10.0, room.micDb / 20.0);
    const double other = MixerPeakAtMicrophone(room, channel);
    const double toneHz = channel == 4 ? kSubwooferToneHz : kMeasuringToneHz;
    int from = 0;        // the earliest cycle the band below may have been met in
    int fromLatest = 0;  // the latest (-1: it may never have been)
    for (int32_t band = 0; band < kBands && from >= 0; ++band) {
        BandWindow& window = windows[static_cast<size_t>(band)];
        if (room.cyclesMayMiss)
            fromLatest = -1;
        const double threshold = Threshold(room, band);
        // The cycles repeat a few levels (the control's maximum from some cycle on).
        std::map<float, Outcome> ofLevel;
        std::vector<Outcome> outcomes;
        for (float level : levels) {
            auto known = ofLevel.find(level);
            if (known == ofLevel.end()) {
                known = ofLevel
                            .emplace(level, BlockOutcome(PeakAtMicrophone(room, channel, level),
                                                         noise, other, threshold, toneHz))
                            .first;
            }
            outcomes.push_back(known->second);
        }
        for (int cycle = from; cycle < static_cast<int>(levels.size()); ++cycle) {
            if (outcomes[static_cast<size_t>(cycle)] != Outcome::kNever) {
                window.earliest = cycle;
                break;
            }
        }
        if (fromLatest >= 0) {
            for (int cycle = fromLatest; cycle < static_cast<int>(levels.size()); ++cycle) {
                if (outcomes[static_cast<size_t>(cycle)] == Outcome::kSurely) {
                    window.latest = cycle;
                    break;
                }
            }
        }
        from = window.earliest;
        fromLatest = window.latest;
    }
    return windows;
}

// The progress pairs a run posts: (1, 0) for the warm-up, (1, bit) for each channel of the first
// measuring pass, (2, bit of the last one) when the second pass begins and (2, bit) for its
// channel; a pair equal to the one before is not posted again.
inline std::vector<Message> ExpectedProgress(int32_t mode, int32_t singleChannel) {
    std::vector<Message> pairs;
    auto add = [&pairs](uint32_t pass, int32_t bit) {
        const Message m{WM_PEER_COMMAND, pass, bit};
        if (pairs.empty() || !(pairs.back() == m))
            pairs.push_back(m);
    };
    add(1, 0);
    int32_t bit = 0;
    for (int32_t channel : MeasuredChannels(mode, singleChannel, 0)) {
        bit = 1 << channel;
        add(1, bit);
    }
    add(2, bit);
    for (int32_t channel : MeasuredChannels(mode, singleChannel, 1))
        add(2, 1 << channel);
    return pairs;
}

// The results a run may write: for each key, the levels in dB it may hold (a band not met holds
// 0 dB); and for each measured channel the cycles' levels.
struct ExpectedResults {
    std::map<std::string, std::set<float>> keys;
    std::map<int32_t, std::vector<float>> cycleLevels;
};

inline ExpectedResults PredictResults(const PcModel& model, int32_t mode, int32_t single) {
    // Tables as the start leaves them: a full run clears them (the channels beyond a smaller
    // layout to the floor); a single-channel run on a fresh worker finds them empty.
    std::set<float> channels[kSpeakerChannels][kBands];
    std::set<float> master[kMasterSides][kBands];
    for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
        for (auto& band : channels[channel])
            band = {(mode != 1 && mode < 8 && channel >= mode) ? kLevelFloorDb : 0.0f};
    }
    bool masterSure[kMasterSides][kBands] = {};
    bool masterMaybe[kMasterSides][kBands] = {};
    ExpectedResults expected;
    for (int32_t pass = 0; pass < 2; ++pass) {
        for (int32_t channel : MeasuredChannels(mode, single, pass)) {
            const std::vector<float> levels =
                CycleLevels(model.channels[static_cast<size_t>(channel)]);
            expected.cycleLevels[channel] = levels;
            const std::array<BandWindow, kBands> windows =
                PredictBandWindows(model, channel, levels);
            for (int32_t band = 0; band < kBands; ++band) {
                const BandWindow& w = windows[static_cast<size_t>(band)];
                std::set<float>& allowed = channels[channel][band];
                if (w.latest >= 0)
                    allowed.clear();  // surely met
                if (w.earliest >= 0) {
                    const int last = w.latest >= 0 ? w.latest : static_cast<int>(levels.size()) - 1;
                    for (int cycle = w.earliest; cycle <= last; ++cycle)
                        allowed.insert(levels[static_cast<size_t>(cycle)]);
                }
                if (pass == 0) {
                    masterSure[MasterSideOf(channel)][band] |= w.latest >= 0;
                    masterMaybe[MasterSideOf(channel)][band] |= w.earliest >= 0;
                }
            }
        }
    }
    for (int32_t side = 0; side < kMasterSides; ++side) {
        for (int32_t band = 0; band < kBands; ++band) {
            if (masterMaybe[side][band])
                master[side][band].insert(OpenMasterLevel(model, side));
            if (!masterSure[side][band])
                master[side][band].insert(0.0f);
        }
    }
    for (int32_t side = 0; side < kMasterSides; ++side) {
        if (mode == 1 && side != MasterSideOf(single))
            continue;
        for (int32_t band = 0; band < kBands; ++band)
            expected.keys[ResultsMasterKey(side, band)] = master[side][band];
    }
    for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
        if (mode == 1 && channel != single)
            continue;
        for (int32_t band = 0; band < kBands; ++band)
            expected.keys[ResultsChannelKey(channel, band)] = channels[channel][band];
    }
    return expected;
}

// The text the results file stores for a level.
inline std::string ResultsText(float level) {
    char text[kResultsValueCapacity];
    std::snprintf(text, sizeof(text), "%.4f", static_cast<double>(ResultsPercentOfLevel(level)));
    return text;
}

// The level a stored text reads as, and the level applying it sets on a control: clamped into
// the control's range, on its step.
inline float StoredLevel(const std::string& text) {
    return ResultsLevelOfPercent(ResultsPercentOfText(text.c_str()));
}
inline float AppliedLevel(const std::string& text, const LevelRange& range) {
    return OnStep(StoredLevel(text), range);
}

// The gain value the peer is told for a level.
inline int32_t GainOf(float level) {
    return static_cast<int32_t>((static_cast<double>(level) + kResultsScaleDb) / kResultsScaleDb *
                                50.0);
}

}  // namespace zelk::testing
