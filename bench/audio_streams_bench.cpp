// CPU use of playing a tone and recording the microphone in real time on the simulated PC. Each
// iteration is one second of wall time; the process CPU time per iteration over the real time is
// the share of one core the audio path takes (the simulated machine's pacing and device threads
// included; the idle machine alone is the baseline).

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include "audio/wave_in_recorder.h"
#include "audio/wave_out_player.h"
#include "platform/sim/sim_pc.h"

namespace zelk {
namespace {

sim::SimPcOptions RealTime() {
    sim::SimPcOptions options;
    options.clockMode = sim::SimPcOptions::ClockMode::kRealTime;
    return options;
}

void IdleSimulatedPc(benchmark::State& state) {
    sim::SimPc pc(RealTime());
    for (auto _ : state)
        std::this_thread::sleep_for(std::chrono::seconds(1));
}

void PlayAndRecord(benchmark::State& state) {
    sim::SimPc pc(RealTime());
    Platform platform = pc.platform();
    WaveOutPlayer player(platform);
    WaveInRecorder recorder(platform);
    char info[kPlayerTextLength] = {};
    char error[kPlayerTextLength] = {};
    const auto channels = static_cast<uint16_t>(state.range(0));
    const uint32_t mask = channels == 8 ? 0xFF : 0x3;
    if (recorder.Start(0x10EC, 0x0899) != kOk ||
        !player.Start(info, 0x0899, 0x10EC, 1, channels, mask, nullptr, error, 261.63)) {
        state.SkipWithError("the streams did not start");
        return;
    }
    recorder.SetDetectionThresholds(30, 20, 50);
    for (auto _ : state) {
        // The measurement arms the detector every tick; here once per 10 ms as well.
        for (int tick = 0; tick < 100; ++tick) {
            recorder.ArmDetection(kBandMedium);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    recorder.Stop();
    player.Stop();
}

BENCHMARK(IdleSimulatedPc)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(PlayAndRecord)
    ->Arg(2)
    ->Arg(8)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zelk
