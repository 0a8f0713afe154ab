// zelk-sim: runs the worker's hidden dialog in this process on the simulated PC of a scenario, in
// virtual time, posts it peer commands one after the other, and prints every message the worker
// posts to its peer. The same scenario and commands print the same lines on every run: a case can
// be replayed.
//
//     zelk-sim [--scenario FILE] [--state FILE] [--print-scenario] -- CODE ARG [CODE ARG ...]
//
// Exit status: 0 when the commands ran (whatever the worker answered), 1 when the scenario cannot
// be used or the state cannot be saved, 2 for a bad command line, 3 when the worker was still busy
// after the time limit.

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/czelk_dlg.h"
#include "app/linux/sim_state_file.h"
#include "engine/calibration_engine.h"
#include "peer/peer_messages.h"
#include "platform/platform.h"
#include "platform/posix/posix_files.h"
#include "platform/sim/scenario/scenario.h"
#include "platform/sim/sim_pc.h"
#include "platform/sim/sim_windowing.h"
#include "platform/sim/virtual_clock.h"
#include "platform/windowing.h"

namespace {

using namespace zelk;

constexpr int kExitBadScenario = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStillBusy = 3;

// How often the driver looks whether the worker is idle, and how long one command may keep it
// busy (a full calibration takes about two minutes of simulated time).
constexpr int64_t kIdleCheckUs = 10'000;
constexpr int64_t kCommandLimitUs = 3600LL * 1'000'000;

constexpr char kUsage[] =
    "usage: zelk-sim [--scenario FILE] [--state FILE] [--print-scenario] -- CODE ARG [ARG...]\n"
    "\n"
    "Runs the worker on the simulated PC of the scenario (default: the built-in one) in virtual\n"
    "time and posts it the peer commands (WM_PEER_COMMAND with wParam CODE, lParam ARG) in order;\n"
    "after each, the simulated time runs until the worker is idle. Prints every message the\n"
    "worker posts to its peer as \"MSG WPARAM LPARAM\", then \"simulated_seconds=S\". The results\n"
    "file is written to the current directory.\n"
    "\n"
    "  --scenario FILE    the scenario file (JSON; docs/simulator.md)\n"
    "  --state FILE       the simulated PC's levels, mutes and formats: loaded at start when the\n"
    "                     file exists, saved when the commands have run\n"
    "  --print-scenario   print the scenario with every default filled in, then run the commands\n"
    "\n"
    "Exit status: 0 commands ran, 1 bad scenario or state not saved, 2 bad command line, 3\n"
    "worker still busy after an hour of simulated time.\n";

struct Command {
    uint32_t code;
    int32_t argument;
};

struct Options {
    std::string scenarioPath;
    std::string statePath;
    bool printScenario = false;
    std::vector<Command> commands;
};

int Usage(const std::string& problem) {
    std::fprintf(stderr, "zelk-sim: %s\n%s", problem.c_str(), kUsage);
    return kExitUsage;
}

// A whole number, decimal or hexadecimal with "0x", in lowest..highest.
bool ParseNumber(const char* text, int64_t lowest, int64_t highest, int64_t* value) {
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text, &end, hex ? 16 : 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < lowest || parsed > highest)
        return false;
    *value = parsed;
    return true;
}

// Returns -1 when the command line is good, else the exit status (after a message).
int ParseArguments(int argc, char** argv, Options* options) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return EXIT_SUCCESS;
        }
        if (arg == "--print-scenario") {
            options->printScenario = true;
        } else if (arg == "--scenario" || arg == "--state") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return Usage(arg + " needs a file");
            (arg == "--scenario" ? options->scenarioPath : options->statePath) = argv[++i];
        } else {
            return Usage("unknown option \"" + arg + "\" (commands follow \"--\")");
        }
    }
    if ((argc - i) % 2 != 0)
        return Usage("commands come in pairs: CODE ARG");
    for (; i + 1 < argc; i += 2) {
        int64_t code = 0;
        int64_t argument = 0;
        if (!ParseNumber(argv[i], 0, UINT32_MAX, &code))
            return Usage(std::string("\"") + argv[i] + "\" is not a command code (0..4294967295)");
        if (!ParseNumber(argv[i + 1], INT32_MIN, INT32_MAX, &argument))
            return Usage(std::string("\"") + argv[i + 1] +
                         "\" is not a command argument (-2147483648..2147483647)");
        options->commands.push_back({static_cast<uint32_t>(code), static_cast<int32_t>(argument)});
    }
    return -1;
}

// The peer's window: records what the worker posts to it.
class PeerRecorder : public WindowHandler {
  public:
    struct Message {
        uint32_t message;
        uint32_t wParam;
        int32_t lParam;
    };
    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t lParam) override {
        received.push_back({message, wParam, lParam});
        return 0;
    }
    std::vector<Message> received;
};

enum class RunResult { kDone, kStillBusy, kStateNotSaved };

// Runs the commands against the dialog. With a state file, the machine starts from it and it is
// saved at the end.
RunResult RunCommands(const sim::Scenario& scenario, const Options& options, PeerRecorder* peer,
                      double* simulatedSeconds, std::string* message) {
    const std::vector<Command>& commands = options.commands;
    sim::SimPcOptions machine = scenario.options;
    machine.clockMode = sim::SimPcOptions::ClockMode::kVirtual;
    sim::SimPc pc(machine);
    if (!options.statePath.empty()) {
        const std::string note = linux_worker::LoadSimState(options.statePath, &pc.audio());
        if (!note.empty())
            std::fprintf(stderr, "zelk-sim: %s\n", note.c_str());
    }
    sim::SimWindowing windowing(pc.clock());
    WindowHandle peerWindow = kNoWindow;
    windowing.OpenWindow(PEER_WINDOW_TITLE, peer, &peerWindow);

    PosixFiles files;
    Platform platform = pc.platform();
    platform.windowing = &windowing;
    platform.files = &files;

    bool stillBusy = false;
    {
        CzelkDlg dialog(platform);
        size_t next = 0;
        int64_t postedUs = 0;
        // Between two commands the worker is idle: nothing queued for any window and no run.
        sim::VirtualClock& clock = pc.clock();
        const sim::VirtualClock::TaskId driver =
            clock.Schedule(clock.NowUs(), kIdleCheckUs, sim::VirtualClock::Kind::kDevice, [&] {
                const bool busy =
                    windowing.PendingCount() != 0 || dialog.engine.GetState() == ENGINE_RUNNING;
                if (busy && clock.NowUs() - postedUs <= kCommandLimitUs)
                    return;
                if (busy || next == commands.size()) {
                    stillBusy = busy;
                    windowing.EndModal(dialog.window(), IDC_OK);
                    return;
                }
                const Command& command = commands[next++];
                postedUs = clock.NowUs();
                windowing.Post(windowing.FindWindowByTitle(WORKER_WINDOW_TITLE), WM_PEER_COMMAND,
                               command.code, command.argument);
            });
        dialog.DoModal();
        clock.Cancel(driver);
    }
    windowing.DispatchPending();
    windowing.CloseWindow(peerWindow);
    *simulatedSeconds = static_cast<double>(pc.clock().NowUs()) / 1e6;
    if (!options.statePath.empty() &&
        !linux_worker::SaveSimState(options.statePath, pc.audio(), message)) {
        *message = "cannot save the state to " + options.statePath + ": " + *message;
        return RunResult::kStateNotSaved;
    }
    return stillBusy ? RunResult::kStillBusy : RunResult::kDone;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = ParseArguments(argc, argv, &options); status >= 0)
        return status;

    sim::Scenario scenario;
    std::string message;
    if (options.scenarioPath.empty()) {
        scenario = sim::DefaultScenario();
    } else if (!sim::LoadScenarioFile(options.scenarioPath, &scenario, &message)) {
        std::fprintf(stderr, "zelk-sim: %s\n", message.c_str());
        return kExitBadScenario;
    }
    if (options.printScenario)
        std::fputs(scenario.effectiveJson.c_str(), stdout);

    PeerRecorder peer;
    double simulatedSeconds = 0.0;
    const RunResult result = RunCommands(scenario, options, &peer, &simulatedSeconds, &message);
    for (const PeerRecorder::Message& m : peer.received)
        std::printf("%" PRIu32 " %" PRIu32 " %" PRId32 "\n", m.message, m.wParam, m.lParam);
    std::printf("simulated_seconds=%.3f\n", simulatedSeconds);
    std::fflush(stdout);
    switch (result) {
        case RunResult::kDone:
            return EXIT_SUCCESS;
        case RunResult::kStillBusy:
            std::fprintf(stderr, "zelk-sim: the worker was still busy an hour after a command\n");
            return kExitStillBusy;
        case RunResult::kStateNotSaved:
            std::fprintf(stderr, "zelk-sim: %s\n", message.c_str());
            return kExitBadScenario;
    }
    return EXIT_SUCCESS;
}
