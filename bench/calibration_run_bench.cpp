// Wall time of a whole eight-channel calibration on the simulated PC in virtual time, with every
// channel running its full phase (the room never hears the High band): about 88 s of the machine's
// time without a WAV file, about 170 s with one played in the last pass.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "calibration/calibration_sequencer.h"
#include "engine/calibration_context.h"
#include "platform/files.h"
#include "platform/sim/sim_pc.h"
#include "platform/sim/sim_windowing.h"

namespace zelk {
namespace {

constexpr const char* kWavPath = "C:\\media\\music.wav";

// One WAV file in memory, long enough for the whole playback pass.
class BenchFiles : public Files {
  public:
    BenchFiles() {
        const uint32_t rate = 48000;
        const uint32_t frames = rate * 83;
        const uint32_t dataBytes = frames * 4;
        wav_.reserve(44 + dataBytes);
        auto put = [this](uint32_t value, int bytes) {
            for (int i = 0; i < bytes; ++i)
                wav_.push_back(static_cast<uint8_t>(value >> (8 * i)));
        };
        auto id = [this](const char* text) { wav_.insert(wav_.end(), text, text + 4); };
        id("RIFF");
        put(36 + dataBytes, 4);
        id("WAVE");
        id("fmt ");
        put(16, 4);
        put(1, 2);
        put(2, 2);
        put(rate, 4);
        put(rate * 4, 4);
        put(4, 2);
        put(16, 2);
        id("data");
        put(dataBytes, 4);
        for (uint32_t frame = 0; frame < frames; ++frame) {
            uint32_t sample = (frame % 100) < 50 ? 2000u : 63536u;
            put(sample, 2);
            put(sample, 2);
        }
    }

    std::unique_ptr<ByteStream> OpenForReading(const std::u16string&) override {
        return std::make_unique<Stream>(wav_);
    }
    std::u16string NarrowToWide(const char* text) override {
        std::u16string wide;
        for (; *text != '\0'; ++text)
            wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
        return wide;
    }
    uint32_t CurrentDirectory(char*, uint32_t) override { return 0; }
    bool WriteIniString(const char*, const char*, const char*, const char*) override {
        return true;
    }
    uint32_t ReadIniString(const char*, const char*, const char* defaultValue, char* buffer,
                           uint32_t capacity, const char*) override {
        std::strncpy(buffer, defaultValue, capacity - 1);
        buffer[capacity - 1] = '\0';
        return static_cast<uint32_t>(std::strlen(buffer));
    }

  private:
    class Stream : public ByteStream {
      public:
        explicit Stream(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
        size_t Read(void* buffer, size_t count) override {
            size_t got = std::min(count, bytes_.size() - std::min(bytes_.size(), position_));
            std::memcpy(buffer, bytes_.data() + position_, got);
            position_ += got;
            return got;
        }
        bool Seek(int64_t offset, SeekOrigin origin) override {
            int64_t base = origin == SeekOrigin::kBegin     ? 0
                           : origin == SeekOrigin::kCurrent ? static_cast<int64_t>(position_)
                                                            : static_cast<int64_t>(bytes_.size());
            if (base + offset < 0)
                return false;
            position_ = static_cast<size_t>(base + offset);
            return true;
        }
        bool Tell(int64_t* position) override {
            *position = static_cast<int64_t>(position_);
            return true;
        }

      private:
        const std::vector<uint8_t>& bytes_;
        size_t position_ = 0;
    };

    std::vector<uint8_t> wav_;
};

// The dialog's part: the timer message goes to the sequencer.
class Dialog : public WindowHandler {
  public:
    CalibrationContext* context = nullptr;
    int32_t result = 0;
    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t) override {
        if (message != kWmTimer)
            return 0;
        int32_t countdown = 0;
        int32_t passNumber = 0;
        int32_t channelBit = 0;
        int32_t tick = CalibrationTick(context, wParam, &countdown, &passNumber, &channelBit);
        if (tick == kTickFinished || tick == kTickFailed)
            result = tick;
        return 0;
    }
};

void FullEightChannelRun(benchmark::State& state, bool withWav) {
    BenchFiles files;
    double simulatedSeconds = 0.0;
    for (auto _ : state) {
        sim::SimPcOptions options;
        // Nothing reaches the microphone: every channel runs all 64 cycles.
        options.room.couplings.fill(0.0);
        sim::SimPc pc(options);
        sim::SimWindowing windowing(pc.clock());
        Platform platform = pc.platform();
        platform.windowing = &windowing;
        platform.files = &files;
        Dialog dialog;
        WindowHandle window = kNoWindow;
        windowing.OpenWindow("zelk", &dialog, &window);
        {
            CalibrationContext context(platform);
            dialog.context = &context;
            context.recorder.SetDetectionThresholds(20, 30, 50);
            if (Failed(context.BeginRun(window, sim::kSimCodecVendor, sim::kSimDefaultCodec,
                                        withWav ? kWavPath : nullptr, 8, 0))) {
                state.SkipWithError("the run did not start");
                break;
            }
            const int64_t startUs = pc.clock().NowUs();
            while (dialog.result == 0)
                pc.AdvanceMs(CALIBRATION_TIMER_PERIOD_MS);
            simulatedSeconds = static_cast<double>(pc.clock().NowUs() - startUs) / 1e6;
            if (dialog.result != kTickFinished)
                state.SkipWithError("the run did not finish");
            context.Teardown();
        }
        windowing.CloseWindow(window);
    }
    state.counters["simulated_s"] = simulatedSeconds;
}

void BM_EightChannelRun(benchmark::State& state) {
    FullEightChannelRun(state, false);
}
void BM_EightChannelRunWithWavPlayback(benchmark::State& state) {
    FullEightChannelRun(state, true);
}

BENCHMARK(BM_EightChannelRun)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EightChannelRunWithWavPlayback)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace zelk
