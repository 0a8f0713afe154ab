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

namespace zelk::testing {

// Files in memory: WAV files to play, and an INI store keyed by path, section and key.
class RunFiles : public Files {
  public:
    std::map<std::u16string, std::vector<uint8_t>> files;
    std::map<std::string, std::map<std::string, std::string>> ini;  // path -> key -> value
    std::string currentDirectory = "C:\\zelk";
    std::vector<std::string> iniWritten;  // keys, in the order written
    std::vector<std::string> iniReads;    // keys, in the order read

    std::unique_ptr<ByteStream> OpenForReading(const std::u16string& path) override {
        auto it = files.find(path);
        if (it == files.end())
            return nullptr;
        return std::make_unique<Stream>(it->second);
    }
    std::u16string NarrowToWide(const char* text) override {
        std::u16string wide;
        for (; text != nullptr && *text != '\0'; ++text)
            wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
        return wide;
    }
    uint32_t CurrentDirectory(char* buffer, uint32_t capacity) override {
        if (currentDirectory.size() + 1 > capacity)
            return 0;
        std::memcpy(buffer, currentDirectory.c_str(), currentDirectory.size() + 1);
        return static_cast<uint32_t>(currentDirectory.size());
    }
    bool WriteIniString(const char* section, const char* key, const char* value,
                        const char* path) override {
        iniWritten.push_back(key);
        ini[path][std::string(section) + "/" + key] = value;
        return true;
    }
    uint32_t ReadIniString(const char* section, const char* key, const char* defaultValue,
                           char* buffer, uint32_t capacity, const char* path) override {
        iniReads.push_back(key);
        std::string value = defaultValue != nullptr ? defaultValue : "";
        auto file = ini.find(path);
        if (file != ini.end()) {
            auto entry = file->second.find(std::string(section) + "/" + key);
            if (entry != file->second.end())
                value = entry->second;
        }
        if (capacity == 0)
            return 0;
        size_t length = std::min<size_t>(value.size(), capacity - 1);
        std::memcpy(buffer, value.data(), length);
        buffer[length] = '\0';
        return static_cast<uint32_t>(length);
    }

  private:
    class Stream : public ByteStream {
      public:
        explicit Stream(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
        size_t Read(void* buffer, size_t count) override {
            if (position_ >= static_cast<int64_t>(bytes_.size()))
                return 0;
            size_t got = std::min(count, bytes_.size() - static_cast<size_t>(position_));
            std::memcpy(buffer, bytes_.data() + position_, got);
            position_ += static_cast<int64_t>(got);
            return got;
        }
        bool Seek(int64_t offset, SeekOrigin origin) override {
            int64_t base = origin == SeekOrigin::kBegin     ? 0
                           : origin == SeekOrigin::kCurrent ? position_
                                                            : static_cast<int64_t>(bytes_.size());
            if (base + offset < 0)
                return false;
            position_ = base + offset;
            return true;
        }
        bool Tell(int64_t* position) override {
            *position = position_;
            return true;
        }

      private:
        const std::vector<uint8_t>& bytes_;
        int64_t position_ = 0;
    };
};

// A 16-bit PCM WAV file of the given length, a quiet tone on every channel.
inline std::vector<uint8_t> ToneWav(uint16_t channels, uint32_t milliseconds) {
    const uint32_t rate = 48000;
    const uint32_t frames = rate / 1000 * milliseconds;
    const uint32_t dataBytes = frames * channels * 2u;
    std::vector<uint8_t> out;
    auto put16 = [&](uint32_t v) {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto put32 = [&](uint32_t v) {
        put16(v & 0xFFFF);
        put16(v >> 16);
    };
    auto id = [&](const char* text) {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(text[i]));
    };
    id("RIFF");
    put32(36 + dataBytes);
    id("WAVE");
    id("fmt ");
    put32(16);
    put16(1);
    put16(channels);
    put32(rate);
    put32(rate * channels * 2u);
    put16(channels * 2u);
    put16(16);
    id("data");
    put32(dataBytes);
    for (uint32_t frame = 0; frame < frames; ++frame) {
        int16_t sample = static_cast<int16_t>((frame % 96) < 48 ? 3000 : -3000);
        for (uint16_t c = 0; c < channels; ++c)
            put16(static_cast<uint16_t>(sample));
    }
    return out;
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
    RunFiles files;
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
            text += name + " levels:";
            for (float level : levels)
                text += " " + std::to_string(level);
            text += " ->";
            if (it != actual.levels.end()) {
                for (float level : it->second)
                    text += " " + std::to_string(level);
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
