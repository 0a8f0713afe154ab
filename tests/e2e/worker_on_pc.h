#pragma once

// The worker's dialog on a scenario's simulated PC, in virtual time, driven by a peer that posts
// its messages one after the other: each one once the worker is idle (nothing queued, no run), or
// a given time after the one before it (to stop or close during a run). The peer window records
// every message the worker posts; the results file lives in memory.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "app/czelk_dlg.h"
#include "calibration/results_file_format.h"
#include "engine/calibration_engine.h"
#include "peer/peer_messages.h"
#include "platform/sim/pc_state.h"
#include "platform/sim/sim_pc.h"
#include "platform/sim/sim_windowing.h"
#include "platform/sim/virtual_clock.h"
#include "platform/windowing.h"
#include "support/memory_files.h"

namespace zelk::testing {

struct Message {
    uint32_t message;
    uint32_t wParam;
    int32_t lParam;
    bool operator==(const Message&) const = default;
    friend void PrintTo(const Message& m, std::ostream* os) {
        *os << "{" << m.message << ", " << m.wParam << ", " << m.lParam << "}";
    }
};

// A message of the peer, posted when the worker is idle (afterMs < 0) or afterMs after the
// message before it.
struct PeerStep {
    Message message;
    int64_t afterMs = -1;
};

inline PeerStep Command(uint32_t code, int32_t argument) {
    return {{WM_PEER_COMMAND, code, argument}};
}
inline PeerStep CommandAfter(int64_t afterMs, uint32_t code, int32_t argument) {
    return {{WM_PEER_COMMAND, code, argument}, afterMs};
}

class PeerRecorder : public WindowHandler {
  public:
    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t lParam) override {
        received.push_back({message, wParam, lParam});
        return 0;
    }
    std::vector<Message> received;
};

class WorkerOnPc {
  public:
    // How often the peer looks whether the worker is idle, and how long a step may keep it busy.
    static constexpr int64_t kIdleCheckUs = 10'000;
    static constexpr int64_t kStepLimitUs = 3600LL * 1'000'000;

    explicit WorkerOnPc(sim::SimPcOptions options) : pc(Virtual(std::move(options))) {
        platform = pc.platform();
        platform.windowing = &windowing;
        platform.files = &files;
        EXPECT_EQ(windowing.OpenWindow(PEER_WINDOW_TITLE, &peer, &peerWindow), kOk);
    }
    ~WorkerOnPc() { windowing.CloseWindow(peerWindow); }

    // Runs the dialog until every step was posted and the worker is idle again (then the peer
    // ends it with OK), or until a step ended it; returns what the dialog returned.
    intptr_t Run(const std::vector<PeerStep>& steps) {
        intptr_t result = 0;
        {
            CzelkDlg dialog(platform);
            size_t next = 0;
            int64_t postedUs = pc.clock().NowUs();
            sim::VirtualClock& clock = pc.clock();
            const sim::VirtualClock::TaskId driver =
                clock.Schedule(clock.NowUs(), kIdleCheckUs, sim::VirtualClock::Kind::kDevice, [&] {
                    const bool busy =
                        windowing.PendingCount() != 0 || dialog.engine.GetState() == ENGINE_RUNNING;
                    if (next < steps.size() && steps[next].afterMs >= 0) {
                        if (clock.NowUs() - postedUs < steps[next].afterMs * 1000)
                            return;
                    } else if (busy) {
                        if (clock.NowUs() - postedUs <= kStepLimitUs)
                            return;
                        ADD_FAILURE() << "the worker was still busy an hour after a step";
                        windowing.EndModal(dialog.window(), IDC_OK);
                        return;
                    }
                    if (next == steps.size()) {
                        windowing.EndModal(dialog.window(), IDC_OK);
                        return;
                    }
                    const Message& m = steps[next++].message;
                    postedUs = clock.NowUs();
                    windowing.Post(windowing.FindWindowByTitle(WORKER_WINDOW_TITLE), m.message,
                                   m.wParam, m.lParam);
                });
            result = dialog.DoModal();
            clock.Cancel(driver);
            finalState = dialog.engine.GetState();
        }
        windowing.DispatchPending();
        return result;
    }

    // The value the results file holds for a key, or "" when the key (or the file) is missing.
    std::string ResultsValue(const std::string& key) const {
        const auto file = files.ini.find(files.currentDirectory + "\\Qalto.ini");
        if (file == files.ini.end())
            return "";
        const auto entry = file->second.find(std::string(kResultsSection) + "/" + key);
        return entry == file->second.end() ? "" : entry->second;
    }

    // The messages of one kind the peer received, in order.
    std::vector<Message> Received(uint32_t message) const {
        std::vector<Message> of;
        for (const Message& m : peer.received) {
            if (m.message == message)
                of.push_back(m);
        }
        return of;
    }

    sim::SimPc pc;
    sim::SimWindowing windowing{pc.clock()};
    MemoryFiles files;
    PeerRecorder peer;
    Platform platform;
    WindowHandle peerWindow = kNoWindow;
    int32_t finalState = ENGINE_IDLE;

  private:
    static sim::SimPcOptions Virtual(sim::SimPcOptions options) {
        options.clockMode = sim::SimPcOptions::ClockMode::kVirtual;
        return options;
    }
};

}  // namespace zelk::testing
