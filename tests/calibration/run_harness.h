#pragma once

// A calibration context on the simulated PC, driven in virtual time: the simulated windowing
// delivers the 10 ms timer to a window whose handler calls CalibrationTick, and every tick is
// recorded with the sequencer's position before and after it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "calibration/calibration_sequencer.h"
#include "engine/calibration_context.h"
#include "platform/files.h"
#include "platform/sim/sim_pc.h"
#include "platform/sim/sim_windowing.h"
#include "support/memory_files.h"
#include "support/wav_bytes.h"

namespace zelk::testing {

// A 16-bit PCM WAV file of the given length, a quiet tone on every channel.
inline std::vector<uint8_t> ToneWav(uint16_t channels, uint32_t milliseconds) {
    constexpr uint32_t kRate = 48000;
    const uint32_t frames = kRate / 1000 * milliseconds;
    Bytes data;
    data.reserve(static_cast<size_t>(frames) * channels * 2u);
    for (uint32_t frame = 0; frame < frames; ++frame) {
        const int16_t sample = static_cast<int16_t>((frame % 96) < 48 ? 3000 : -3000);
        for (uint16_t c = 0; c < channels; ++c)
            Put16(data, static_cast<uint16_t>(sample));
    }
    return Riff(
        {Chunk("fmt ", PlainFormat(kWaveFormatPcm, channels, kRate, 16)), Chunk("data", data)});
}

// What one tick of the calibration timer saw and did.
struct TickRecord {
    int32_t result = 0;
    uint32_t warmupBefore = 0;
    int32_t passBefore = 0;
    int32_t positionBefore = 0;
    int32_t toneOnBefore = 0;
    int32_t pass = 0;
    int32_t position = 0;
    int32_t reportedChannelBit = 0;
    int32_t countdown = 0;
    int32_t passNumber = 0;
    int32_t channelBit = 0;
};

// The detector's thresholds the dialog sets before every start: 20, 30 and 50 percent of full
// scale for Low, Medium and High.
inline constexpr int32_t kLowPercent = 20;
inline constexpr int32_t kMediumPercent = 30;
inline constexpr int32_t kHighPercent = 50;

class RunHarness : public WindowHandler {
  public:
    explicit RunHarness(sim::SimPcOptions options = {})
        : pc(std::move(options)), windowing(pc.clock()) {
        platform = pc.platform();
        platform.windowing = &windowing;
        platform.files = &files;
        EXPECT_EQ(windowing.OpenWindow("zelk", this, &window), kOk);
        context = std::make_unique<CalibrationContext>(platform);
        context->recorder.SetDetectionThresholds(kLowPercent, kMediumPercent, kHighPercent);
    }
    ~RunHarness() override {
        if (context)
            context->Teardown();
        context.reset();
        windowing.CloseWindow(window);
    }

    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t) override {
        if (message != kWmTimer)
            return 0;
        TickRecord record;
        record.warmupBefore = context->warmupTicks;
        record.passBefore = context->pass;
        record.positionBefore = context->position;
        record.toneOnBefore = context->toneOn;
        record.countdown = -7;
        record.passNumber = -7;
        record.channelBit = -7;
        record.result = CalibrationTick(context.get(), wParam, &record.countdown,
                                        &record.passNumber, &record.channelBit);
        record.pass = context->pass;
        record.position = context->position;
        record.reportedChannelBit = context->reportedChannelBit;
        ticks.push_back(record);
        if (afterTick)
            afterTick(record);
        return 0;
    }

    Status Begin(int32_t mode, int32_t singleChannel = 0, const char* wavPath = nullptr) {
        return context->BeginRun(window, sim::kSimCodecVendor, pc.options().codecDevice, wavPath,
                                 mode, singleChannel);
    }

    // Advances virtual time by one timer period; the timer message, if any, is handled in it.
    void Step() { pc.AdvanceMs(CALIBRATION_TIMER_PERIOD_MS); }

    // Steps until a tick ends the run; returns its result, or -100 when it did not end within
    // maxTicks.
    int32_t RunToEnd(size_t maxTicks = 30000) {
        for (size_t i = 0; i < maxTicks; ++i) {
            size_t before = ticks.size();
            Step();
            for (size_t t = before; t < ticks.size(); ++t) {
                if (ticks[t].result == kTickFinished || ticks[t].result == kTickFailed)
                    return ticks[t].result;
            }
        }
        return -100;
    }

    sim::SimPc pc;
    sim::SimWindowing windowing;
    MemoryFiles files;
    Platform platform;
    WindowHandle window = kNoWindow;
    std::unique_ptr<CalibrationContext> context;
    std::vector<TickRecord> ticks;
    // Called after every tick, inside the timer message.
    std::function<void(const TickRecord&)> afterTick;
};

// Every level and mute state of the codec's parts, by part name ("render0.front") and channel.
struct CodecState {
    std::map<std::string, std::vector<float>> levels;
    std::map<std::string, bool> mutes;

    friend bool operator==(const CodecState&, const CodecState&) = default;
};

inline CodecState SnapshotCodec(sim::SimPc& pc) {
    CodecState state;
    int32_t index[2] = {0, 0};
    sim::SimAudioSystemBuilder builder = pc.options().audio;
    for (const sim::EndpointDesign& design : builder.designs()) {
        bool render = design.flow == DataFlow::kRender;
        std::string prefix =
            (render ? "render" : "capture") + std::to_string(index[render ? 0 : 1]++);
        std::vector<const sim::PartDesign*> parts;
        for (const sim::PartDesign& part : design.path)
            parts.push_back(&part);
        for (const sim::MixerEntryDesign& entry : design.mixerEntries) {
            parts.push_back(&entry.part);
            if (entry.next)
                parts.push_back(&*entry.next);
        }
        for (const sim::PartDesign* part : parts) {
            std::string name = prefix + "." + part->name;
            for (uint32_t channel = 0; channel < part->level.size(); ++channel) {
                float level = 0.0f;
                EXPECT_TRUE(pc.audio().PartLevel(name, channel, &level)) << name;
                state.levels[name].push_back(level);
            }
            if (part->hasMute) {
                bool muted = false;
                EXPECT_TRUE(pc.audio().PartMuted(name, &muted)) << name;
                state.mutes[name] = muted;
            }
        }
    }
    return state;
}

inline std::string DescribeDifferences(const CodecState& expected, const CodecState& actual) {
    std::string text;
    for (const auto& [name, levels] : expected.levels) {
        auto it = actual.levels.find(name);
        if (it == actual.levels.end() || it->second != levels) {
            // Appended piece by piece: GCC 12 misreads `" " + std::to_string(...)` at -O2 and
            // warns.
            text.append(name).append(" levels:");
            for (float level : levels)
                text.append(" ").append(std::to_string(level));
            text.append(" ->");
            if (it != actual.levels.end()) {
                for (float level : it->second)
                    text.append(" ").append(std::to_string(level));
            }
            text += "; ";
        }
    }
    for (const auto& [name, muted] : expected.mutes) {
        auto it = actual.mutes.find(name);
        if (it == actual.mutes.end() || it->second != muted)
            text += name + " mute " + std::to_string(muted) + " -> changed; ";
    }
    return text;
}

// References the engine holds on the codec's level and mute controls and on the topology's parts.
inline int64_t ControlRefs(sim::SimPc& pc) {
    return pc.audio().LiveRefs(sim::SimKind::kVolumeLevel) +
           pc.audio().LiveRefs(sim::SimKind::kMute) + pc.audio().LiveRefs(sim::SimKind::kPart) +
           pc.audio().LiveRefs(sim::SimKind::kTopology) +
           pc.audio().LiveRefs(sim::SimKind::kConnector) +
           pc.audio().LiveRefs(sim::SimKind::kPartsList);
}

// One channel phase as the tick records show it.
struct Phase {
    int32_t pass = 0;
    int32_t channel = 0;
    int32_t ticks = 0;

    friend bool operator==(const Phase&, const Phase&) = default;
};

inline int32_t ChannelOfBit(int32_t bit) {
    for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
        if (bit == (1 << channel))
            return channel;
    }
    return -1;
}

// A tick did channel work when a measuring pass was in its channel loop before it and the loop
// had not been left without work (the subwoofer's redirect of a single-channel run).
inline bool IsChannelTick(const TickRecord& tick) {
    return tick.result == kTickContinue && tick.warmupBefore >= kWarmupTicks &&
           tick.toneOnBefore == 1 && tick.positionBefore < kChannelLoopEnd &&
           tick.position <= kChannelLoopEnd && tick.passBefore == tick.pass;
}

inline std::vector<Phase> PhasesOf(const std::vector<TickRecord>& ticks) {
    std::vector<Phase> phases;
    for (const TickRecord& tick : ticks) {
        if (!IsChannelTick(tick))
            continue;
        int32_t channel = ChannelOfBit(tick.reportedChannelBit);
        bool continues = !phases.empty() && phases.back().pass == tick.pass &&
                         phases.back().channel == channel && tick.positionBefore % 1024 != 0;
        if (continues)
            phases.back().ticks += 1;
        else
            phases.push_back(Phase{tick.pass, channel, 1});
    }
    return phases;
}

inline std::string DescribePhases(const std::vector<Phase>& phases) {
    std::string text;
    for (const Phase& phase : phases) {
        text += "(pass " + std::to_string(phase.pass) + ", ch " + std::to_string(phase.channel) +
                ", " + std::to_string(phase.ticks) + " ticks) ";
    }
    return text;
}

}  // namespace zelk::testing
