// The worker on Linux: the hidden dialog's window is "zelk" in the runtime folder, the machine
// behind it is the simulated PC of a scenario ($ZELK_SIM_SCENARIO, else the built-in default), in
// real time or (ZELK_CLOCK=virtual) as fast as it can go.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/czelk_app.h"
#include "app/linux/after_each_message.h"
#include "app/linux/sim_state_file.h"
#include "app/linux/worker_scenario.h"
#include "peer/peer_messages.h"
#include "platform/platform.h"
#include "platform/posix/close_on_signal.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_windowing.h"
#include "platform/posix/runtime_folder.h"
#include "platform/posix/window_socket.h"
#include "platform/sim/sim_pc.h"

namespace {

int Refuse(const std::string& why) {
    std::fprintf(stderr, "zelk: %s\n", why.c_str());
    return EXIT_FAILURE;
}

}  // namespace

int main() {
    using namespace zelk;

    // The machine: $ZELK_SIM_SCENARIO or the built-in default, its clock overridden by ZELK_CLOCK.
    sim::Scenario scenario;
    std::string scenarioProblem;
    if (!linux_worker::WorkerScenarioFromEnvironment(&scenario, &scenarioProblem))
        return Refuse(scenarioProblem + "; not starting");
    const bool virtualTime = scenario.options.clockMode == sim::SimPcOptions::ClockMode::kVirtual;

    const std::string folder = posix::RuntimeFolderFromEnvironment();
    const posix::RuntimeFolderCheck check = posix::PrepareRuntimeFolder(folder);
    if (!check.ok())
        return Refuse(check.message + "; not starting");

    // The machine outlives everything that uses it: the windowing's timers and the dialog.
    sim::SimPc pc(scenario.options);
    std::unique_ptr<posix::PosixWindowing> windowing =
        virtualTime
            ? std::make_unique<posix::PosixWindowing>(folder, &pc.clock())
            : std::make_unique<posix::PosixWindowing>(folder, scenario.options.realTimeSpeed);

    // Two workers must never drive one codec.
    if (windowing->FindWindowByTitle(WORKER_WINDOW_TITLE) != kNoWindow) {
        return Refuse(std::string("another worker holds the window \"") + WORKER_WINDOW_TITLE +
                      "\" in " + folder + "; not starting");
    }

    // The machine's levels, mutes and formats outlive the worker: loaded here, saved after every
    // message that changed them and once more at the end (sim_state_file.h).
    std::optional<linux_worker::SimStateAutoSaver> stateSaver;
    if (const auto statePath = linux_worker::SimStatePathFromEnvironment(folder)) {
        const std::string note = linux_worker::LoadSimState(*statePath, &pc.audio());
        if (!note.empty())
            std::fprintf(stderr, "zelk: %s\n", note.c_str());
        stateSaver.emplace(*statePath, &pc.audio());
    }
    linux_worker::AfterEachMessage savingWindowing(windowing.get(), [&stateSaver] {
        if (stateSaver)
            stateSaver->Flush();
    });

    PosixFiles files;
    Platform platform = pc.platform();
    platform.windowing = &savingWindowing;
    platform.files = &files;

    posix::PostCloseOnSignals(posix::WindowSocketPath(folder, WORKER_WINDOW_TITLE));

    CzelkApp app(platform);
    app.InitInstance();
    if (app.modalResult() == -1) {
        const std::string why = windowing->lastError();
        return Refuse(std::string("cannot run the window \"") + WORKER_WINDOW_TITLE + "\"" +
                      (why.empty() ? std::string() : ": " + why));
    }
    return EXIT_SUCCESS;
}
