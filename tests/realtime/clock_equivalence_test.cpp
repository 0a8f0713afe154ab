// The same calibration on the simulated PC's real-time clock and on its virtual clock: the peer
// sees the same progress and the worker stores the same results file, byte for byte.

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "peer/peer_messages.h"
#include "platform/posix/window_socket.h"
#include "posix/temp_runtime_folder.h"
#include "tools/child_process.h"

namespace zelk::tools {
namespace {

using posix::testing::TempRuntimeFolder;
using testing::Child;
using testing::WaitInFolder;

struct Outcome {
    int workerCode = -1;
    int speakerCode = -1;
    std::vector<std::string> progress;  // the progress lines without their elapsed time
    std::string results;                // the results file's bytes
};

// The tool's progress lines, each without its time ("...,\"elapsed\":1.234}").
std::vector<std::string> ProgressLines(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream text(out);
    for (std::string line; std::getline(text, line);) {
        if (line.rfind("{\"event\":\"progress\"", 0) != 0 &&
            line.rfind("{\"event\":\"calibrated\"", 0) != 0)
            continue;
        lines.push_back(line.substr(0, line.find(",\"elapsed\"")));
    }
    return lines;
}

// A full calibration of the default machine's codec, from a fresh machine, on one clock.
Outcome Calibrate(const std::string& clock) {
    TempRuntimeFolder folder;
    TempRuntimeFolder output;
    Outcome outcome;
    Child worker({ZELK_WORKER_PATH},
                 {{"ZELK_RUNTIME_DIR", folder.path()},
                  {"ZELK_CLOCK", clock},
                  {"ZELK_SIM_STATE", ""},
                  {"ZELK_SIM_SCENARIO", ""}},
                 output / "worker");
    const std::string window = folder / WORKER_WINDOW_TITLE;
    EXPECT_TRUE(WaitInFolder(
        folder.path(),
        [&] { return posix::ProbeWindowSocket(window) == posix::SocketLiveness::kLive; }, 10000))
        << worker.err();
    auto speaker = [&](const std::vector<std::string>& args, const std::string& name) {
        std::vector<std::string> argv = {ZELK_SPEAKER_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        Child tool(argv, {{"ZELK_RUNTIME_DIR", folder.path()}}, output / name);
        const int code = tool.Wait();
        return std::make_pair(code, tool.out());
    };
    speaker({"select", "2201"}, "select");
    const auto [code, out] = speaker({"--json", "calibrate"}, "calibrate");
    outcome.speakerCode = code;
    outcome.progress = ProgressLines(out);
    speaker({"close"}, "close");
    outcome.workerCode = worker.Wait();
    outcome.results = testing::ReadFile(output / "Qalto.ini");
    return outcome;
}

TEST(ClockEquivalenceTest, RealTimeAndVirtualTimeRunsAgree) {
    const Outcome virtualRun = Calibrate("virtual");
    const Outcome realRun = Calibrate("real");
    for (const Outcome* run : {&virtualRun, &realRun}) {
        EXPECT_EQ(run->speakerCode, 0);
        EXPECT_EQ(run->workerCode, 0);
        ASSERT_FALSE(run->progress.empty());
        EXPECT_EQ(run->progress.back().rfind("{\"event\":\"calibrated\"", 0), 0u);
        EXPECT_NE(run->results.find("qaltoOK=YES"), std::string::npos) << run->results;
    }
    EXPECT_EQ(realRun.progress, virtualRun.progress);
    EXPECT_EQ(realRun.results, virtualRun.results);
}

}  // namespace
}  // namespace zelk::tools
