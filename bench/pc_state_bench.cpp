// The cost of keeping the simulated PC's state on disk, as the Linux worker does after every
// window message that changed it: the state's text for the default PC (eight-channel speakers and
// a microphone), and one atomic replacement of the file (temporary file, flushed to the disk,
// renamed, folder flushed) in a folder of /tmp and in /dev/shm when it exists.
//
// Measured on the 2-core build machine (Debug build, ext4 /tmp): the text about 55 us of CPU for
// its 1.7 kB; a save about 11 ms of wall time on ext4 (the two flushes to the disk) and 0.13 ms
// on tmpfs. A full eight-channel calibration changes the state in 17 of its messages, so saving
// costs it at most about 0.2 s on ext4, less than the 35 atomic writes of its results file.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/posix/whole_file.h"
#include "platform/sim/pc_state.h"
#include "platform/sim/sim_codec_builder.h"

namespace zelk {
namespace {

void BM_PcStateText(benchmark::State& state) {
    auto pc = sim::BuildDefaultPc();
    size_t bytes = 0;
    for (auto _ : state) {
        std::string text = sim::PcStateText(*pc);
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_PcStateText);

// A level changed, then the saver's check and write: what one message of a calibration costs.
void SaveAfterEachChange(benchmark::State& state, const char* base) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(base, error)) {
        state.SkipWithError("no such folder");
        return;
    }
    std::string pattern = std::string(base) + "/zelk-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        state.SkipWithError("cannot make a folder");
        return;
    }
    const std::string path = pattern + "/sim-state";
    auto pc = sim::BuildDefaultPc();
    sim::PcStateSaver saver(pc.get(), [&path](const std::string& text, std::string* why) {
        return posix::ReplaceWholeFile(path, text, why);
    });
    int step = 0;
    for (auto _ : state) {
        pc->SetPartLevel("render0.front", 0, -1.5f * static_cast<float>(++step % 30));
        std::string why;
        if (!saver.SaveIfChanged(&why)) {
            state.SkipWithError(why.c_str());
            break;
        }
    }
    fs::remove_all(pattern, error);
}
BENCHMARK_CAPTURE(SaveAfterEachChange, tmp, "/tmp")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(SaveAfterEachChange, shm, "/dev/shm")->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zelk
