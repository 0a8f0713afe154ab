// zelk-sim as a process: what it prints for a whole calibration, that it prints it the same way
// every time, its state file, and its refusals of bad command lines and bad scenarios.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
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
using testing::ReadFile;
using testing::WaitInFolder;

struct SimRun {
    int code;
    std::vector<std::string> lines;
    std::string out;
    std::string err;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Runs zelk-sim in folder (its results file lands there).
SimRun RunSim(const TempRuntimeFolder& folder, std::vector<std::string> args) {
    args.insert(args.begin(), ZELK_SIM_PATH);
    Child sim(args, {}, folder / "zelk-sim");
    const int code = sim.Wait(120000);
    return SimRun{code, Lines(sim.out()), sim.out(), sim.err()};
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

const std::vector<std::string> kCalibrate = {"--", "4332", "2201", "1", "0", "5", "0"};

TEST(ZelkSimTest, ACalibrationPrintsItsProgressResultAndGains) {
    TempRuntimeFolder folder;
    const SimRun run = RunSim(folder, kCalibrate);
    ASSERT_EQ(run.code, 0) << run.err;
    ASSERT_GE(run.lines.size(), 11u) << run.out;

    // Progress pairs of pass 1 first, the completion, then the eight gains.
    EXPECT_EQ(run.lines.front().rfind("9912 1 ", 0), 0u) << run.out;
    size_t calibrated = 0;
    while (calibrated < run.lines.size() && run.lines[calibrated] != "9912 4 1") {
        EXPECT_EQ(run.lines[calibrated].rfind("9912 ", 0), 0u) << run.lines[calibrated];
        ++calibrated;
    }
    ASSERT_LT(calibrated, run.lines.size()) << "no \"9912 4 1\" in\n" << run.out;
    EXPECT_TRUE(std::count(run.lines.begin(), run.lines.end(), "9912 1 1") == 1) << run.out;
    ASSERT_EQ(run.lines.size(), calibrated + 1 + 8 + 1) << run.out;
    std::set<std::string> gains;
    for (int k = 0; k < 8; ++k) {
        const std::string& line = run.lines[calibrated + 1 + static_cast<size_t>(k)];
        const std::string prefix = "9914 " + std::to_string(k) + " ";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        gains.insert(line.substr(prefix.size()));
    }
    // The default room puts the channels on different levels.
    EXPECT_GT(gains.size(), 1u) << run.out;
    EXPECT_EQ(run.lines.back().rfind("simulated_seconds=", 0), 0u) << run.lines.back();
    EXPECT_NE(ReadFile(folder / "Qalto.ini").find("qaltoOK=YES"), std::string::npos);
}

TEST(ZelkSimTest, TheSameCommandsPrintTheSameLinesAndResults) {
    TempRuntimeFolder first;
    TempRuntimeFolder second;
    const SimRun a = RunSim(first, kCalibrate);
    const SimRun b = RunSim(second, kCalibrate);
    ASSERT_EQ(a.code, 0) << a.err;
    ASSERT_EQ(b.code, 0) << b.err;
    EXPECT_EQ(a.out, b.out);
    const std::string results = ReadFile(first / "Qalto.ini");
    EXPECT_FALSE(results.empty());
    EXPECT_EQ(results, ReadFile(second / "Qalto.ini"));
}

TEST(ZelkSimTest, ThePrintedScenarioRunsAsTheDefaultDoes) {
    TempRuntimeFolder folder;
    const SimRun printed = RunSim(folder, {"--print-scenario"});
    ASSERT_EQ(printed.code, 0) << printed.err;
    const std::string json = printed.out.substr(0, printed.out.rfind("simulated_seconds="));
    EXPECT_NE(json.find("\"device\": \"0x0899\""), std::string::npos) << json;
    WriteText(folder / "effective.json", json);

    std::vector<std::string> withFile = {"--scenario", folder / "effective.json"};
    withFile.insert(withFile.end(), kCalibrate.begin(), kCalibrate.end());
    const SimRun fromFile = RunSim(folder, withFile);
    const SimRun builtIn = RunSim(folder, kCalibrate);
    ASSERT_EQ(fromFile.code, 0) << fromFile.err;
    EXPECT_EQ(fromFile.out, builtIn.out);
}

TEST(ZelkSimTest, TheStateFileCarriesALayoutToTheNextRun) {
    TempRuntimeFolder folder;
    const std::string state = folder / "pc-state";
    const SimRun set = RunSim(folder, {"--state", state, "--", "4332", "2201", "100", "6"});
    ASSERT_EQ(set.code, 0) << set.err;
    EXPECT_EQ(set.lines.front(), "9912 10 63");
    const SimRun query = RunSim(folder, {"--state", state, "--", "4332", "2201", "3", "0"});
    ASSERT_EQ(query.code, 0) << query.err;
    EXPECT_EQ(query.lines.front(), "9912 10 63");
    // Without the state the machine starts from the scenario: 7.1.
    const SimRun fresh = RunSim(folder, {"--", "4332", "2201", "3", "0"});
    EXPECT_EQ(fresh.lines.front(), "9912 10 1599");
}

// A scenario whose codec refuses property writes: the layout stays 7.1.
TEST(ZelkSimTest, ADeniedLayoutWriteKeepsTheLayout) {
    TempRuntimeFolder folder;
    const std::string path = folder / "denied.json";
    WriteText(path, R"({"codecs": [{"device": "0x0899", "propertyWritesDenied": true}]})");
    const SimRun denied =
        RunSim(folder, {"--scenario", path, "--", "4332", "2201", "100", "6", "3", "0"});
    ASSERT_EQ(denied.code, 0) << denied.err;
    EXPECT_EQ(denied.lines, (std::vector<std::string>{"9912 10 1599", "9912 10 1599",
                                                      "simulated_seconds=0.030"}));
    const SimRun allowed = RunSim(folder, {"--", "4332", "2201", "100", "6", "3", "0"});
    EXPECT_EQ(allowed.lines.front(), "9912 10 63");
}

TEST(ZelkSimTest, BadCommandLinesExitWithTwo) {
    TempRuntimeFolder folder;
    const std::vector<std::vector<std::string>> cases = {
        {"--", "1"},       {"--", "1", "0", "5"},     {"--loud"},
        {"--scenario"},    {"--state", ""},           {"--", "x", "0"},
        {"--", "1", "0x"}, {"--", "4294967296", "0"}, {"--", "1", "2147483648"},
        {"1", "0"},
    };
    for (const std::vector<std::string>& args : cases) {
        SCOPED_TRACE(args.empty() ? "" : args.back());
        const SimRun run = RunSim(folder, args);
        EXPECT_EQ(run.code, 2);
        EXPECT_EQ(run.err.rfind("zelk-sim: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("usage: zelk-sim"), std::string::npos);
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
}

TEST(ZelkSimTest, ABadScenarioExitsWithOneAndNamesTheField) {
    TempRuntimeFolder folder;
    const std::string path = folder / "bad.json";
    WriteText(path, R"({"codecs": [{"device": "0x0899", "controls": {"front": {"stepDb": 0}}}]})");
    std::vector<std::string> args = {"--scenario", path};
    args.insert(args.end(), kCalibrate.begin(), kCalibrate.end());
    const SimRun bad = RunSim(folder, args);
    EXPECT_EQ(bad.code, 1);
    EXPECT_EQ(bad.err,
              "zelk-sim: " + path + ": codecs[0].controls.front.stepDb: must be above 0 dB\n");
    EXPECT_TRUE(bad.out.empty()) << bad.out;

    const SimRun missing = RunSim(folder, {"--scenario", folder / "none.json"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "zelk-sim: " + (folder / "none.json") + ": cannot be opened\n");
}

// The worker refuses to start on a bad scenario, with one line naming the file and the field.
TEST(ZelkSimTest, TheWorkerDoesNotStartOnABadScenario) {
    TempRuntimeFolder folder;
    const std::string path = folder / "bad.json";
    WriteText(path, R"({"codecs": [{"device": "0x0899", "masterInputs": 3}]})");
    Child worker({ZELK_WORKER_PATH},
                 {{"ZELK_RUNTIME_DIR", folder.path()},
                  {"ZELK_SIM_SCENARIO", path},
                  {"ZELK_CLOCK", "virtual"},
                  {"ZELK_SIM_STATE", "none"}},
                 folder / "worker");
    EXPECT_EQ(worker.Wait(), 1);
    EXPECT_EQ(worker.err(), "zelk: scenario " + path +
                                ": codecs[0].masterInputs: 3 is outside 7..12; not starting\n");
}

// The worker runs on the scenario ZELK_SIM_SCENARIO names, and ZELK_CLOCK overrides its clock.
TEST(ZelkSimTest, TheWorkerRunsOnTheScenarioItIsGiven) {
    TempRuntimeFolder folder;
    const std::string path = folder / "six.json";
    // A six-channel codec on a real-time clock at twice the speed of the steady clock; the
    // worker runs it in virtual time.
    WriteText(path, R"({"clock": {"mode": "real", "speed": 2}, "codecs": [{"device": "0x0662"}]})");
    const std::map<std::string, std::string> env = {{"ZELK_RUNTIME_DIR", folder.path()},
                                                    {"ZELK_SIM_SCENARIO", path},
                                                    {"ZELK_CLOCK", "virtual"},
                                                    {"ZELK_SIM_STATE", "none"}};
    Child worker({ZELK_WORKER_PATH}, env, folder / "worker");
    const std::string socket = folder / WORKER_WINDOW_TITLE;
    ASSERT_TRUE(WaitInFolder(
        folder.path(),
        [&] { return posix::ProbeWindowSocket(socket) == posix::SocketLiveness::kLive; }, 20000))
        << worker.err();
    auto speaker = [&](std::vector<std::string> args, const std::string& name) {
        args.insert(args.begin(), ZELK_SPEAKER_PATH);
        Child tool(args, {{"ZELK_RUNTIME_DIR", folder.path()}}, folder / name);
        EXPECT_EQ(tool.Wait(), 0) << tool.err();
        return tool.out();
    };
    speaker({"select", "0x0662"}, "select");
    EXPECT_NE(speaker({"layout"}, "layout").find("0x3F"), std::string::npos);
    speaker({"close"}, "close");
    EXPECT_EQ(worker.Wait(), 0) << worker.err();
}

}  // namespace
}  // namespace zelk::tools
