#include "app/czelk_dlg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <vector>

#include "app/czelk_app.h"
#include "peer/peer_messages.h"
#include "platform/core_audio.h"
#include "platform/sim/sim_pc.h"
#include "platform/sim/sim_sync.h"
#include "platform/sim/sim_windowing.h"
#include "platform/sim/virtual_clock.h"

namespace zelk {
namespace {

// A machine without the codec: every look-up fails.
class NoAudio : public CoreAudio {
  public:
    void InitializeThread() override {}
    Status CreateDeviceEnumerator(Ref<AudioDeviceEnumerator>*) override { return kNotFound; }
};

struct Message {
    uint32_t message;
    uint32_t wParam;
    int32_t lParam;
    bool operator==(const Message&) const = default;
    friend void PrintTo(const Message& m, std::ostream* os) {
        *os << "{" << m.message << ", " << m.wParam << ", " << m.lParam << "}";
    }
};

class PeerWindow : public WindowHandler {
  public:
    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t lParam) override {
        received.push_back({message, wParam, lParam});
        if (react)
            react(received.back());
        return 0;
    }
    std::vector<Message> received;
    std::function<void(const Message&)> react;
};

constexpr uint32_t Click(int controlId) {
    return static_cast<uint32_t>(controlId);
}

class DialogTest : public ::testing::Test {
  protected:
    DialogTest() {
        platform.windowing = &windowing;
        platform.coreAudio = &audio;
        platform.sync = &sync;
        EXPECT_EQ(windowing.OpenWindow("Speaker", &peer, &peerWindow), kOk);
    }

    // Runs fn once the clock reaches atMs, while the dialog's loop waits.
    void At(int64_t atMs, std::function<void()> fn) {
        clock.Schedule(atMs * 1000, 0, sim::VirtualClock::Kind::kDevice, std::move(fn));
    }
    // Posts to the worker's window, looked up by its title as a peer does.
    void PostAt(int64_t atMs, Message m) {
        At(atMs, [this, m] {
            windowing.Post(windowing.FindWindowByTitle("zelk"), m.message, m.wParam, m.lParam);
        });
    }

    sim::VirtualClock clock;
    sim::SimWindowing windowing{clock};
    sim::SimSync sync{clock};
    NoAudio audio;
    Platform platform;
    PeerWindow peer;
    WindowHandle peerWindow = kNoWindow;
};

TEST_F(DialogTest, WhatEndsTheDialogAndWhatIsIgnored) {
    struct Case {
        const char* name;
        std::vector<Message> posted;
        intptr_t result;
    };
    const Message ok{kWmCommand, Click(IDC_OK), 0};
    const Case cases[] = {
        {"OK", {ok}, IDC_OK},
        {"Cancel", {{kWmCommand, Click(IDC_CANCEL), 0}}, IDC_CANCEL},
        {"close request", {{kWmClose, 0, 0}}, IDC_CANCEL},
        {"not a click of OK", {{kWmCommand, 0x00010001u, 0}, {kWmClose, 0, 0}}, IDC_CANCEL},
        {"not a click of Cancel", {{kWmCommand, 0xFFFF0002u, 0}, ok}, IDC_OK},
        {"Button1 and unknown controls",
         {{kWmCommand, Click(IDC_BUTTON1), 0},
          {kWmCommand, 0, 0},
          {kWmCommand, 3, 0},
          {kWmCommand, 1000, 0},
          {kWmCommand, 1004, 0},
          {kWmCommand, 0xFFFF, -1},
          ok},
         IDC_OK},
        {"other messages",
         {{0, 0, 0},
          {0x0002, 0, 0},
          {kWmTimer, 30309, 0},
          {WM_PEER_COMMAND + 1, 1, 0},
          {WM_PEER_CHANNEL_VALUE, 0, 50},
          {kWmUser, 0, 0},
          {0xFFFFFFFFu, 0xFFFFFFFFu, INT32_MIN},
          ok},
         IDC_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CzelkDlg dialog(platform);
        int64_t atMs = clock.NowUs() / 1000 + 1;
        for (const Message& m : c.posted)
            PostAt(atMs++, m);
        EXPECT_EQ(dialog.DoModal(), c.result);
        EXPECT_EQ(windowing.FindWindowByTitle("zelk"), kNoWindow);  // closed again
        EXPECT_EQ(dialog.engine.GetState(), ENGINE_IDLE);
        windowing.DispatchPending();
        EXPECT_TRUE(peer.received.empty());
    }
}

TEST_F(DialogTest, PeerCommandsAreServedWhileTheDialogRuns) {
    CzelkDlg dialog(platform);
    PostAt(1, {WM_PEER_COMMAND, CMD_QUERY_SPEAKERS, 0});
    PostAt(2, {WM_PEER_COMMAND, CMD_SELECT_CODEC, 1634});
    PostAt(3, {kWmClose, 0, 0});
    EXPECT_EQ(dialog.DoModal(), IDC_CANCEL);
    windowing.DispatchPending();
    EXPECT_EQ(peer.received, (std::vector<Message>{{WM_PEER_COMMAND, REPLY_SPEAKERS_FAILED, 0}}));
    EXPECT_EQ(dialog.channel.deviceId, 0x0662);
}

TEST_F(DialogTest, StartButtonUsesItsCodecAndStopButtonStops) {
    CzelkDlg dialog(platform);
    int32_t stateAfterStart = 0;
    uint16_t deviceAfterStart = 0;
    bool startEnabledAfterStart = false;
    PostAt(1, {WM_PEER_COMMAND, CMD_SELECT_CODEC, 2194});
    PostAt(2, {kWmCommand, Click(IDC_START_BUTTON), 0});
    At(3, [&] {
        stateAfterStart = dialog.engine.GetState();
        deviceAfterStart = dialog.channel.deviceId;
        startEnabledAfterStart = windowing.IsControlEnabled(dialog.window(), IDC_START_BUTTON);
    });
    PostAt(4, {kWmCommand, Click(IDC_STOP_BUTTON), 0});
    PostAt(5, {kWmCommand, Click(IDC_OK), 0});
    EXPECT_EQ(dialog.DoModal(), IDC_OK);
    EXPECT_EQ(deviceAfterStart, 0x0899);
    EXPECT_EQ(stateAfterStart, ENGINE_FAILED);  // no codec on this machine
    EXPECT_TRUE(startEnabledAfterStart);        // enabled again after the failed start
    EXPECT_EQ(dialog.engine.GetState(), ENGINE_STOPPED);
    windowing.DispatchPending();
    EXPECT_TRUE(peer.received.empty());  // neither a failed start nor a stop is reported
}

TEST_F(DialogTest, EveryTimerForwardsChangedProgressOnce) {
    CzelkDlg dialog(platform);
    At(1, [&] {
        // The pair a run's tick would have left behind, and a timer that is not the
        // calibration timer.
        dialog.engine.passNumber = 2;
        dialog.engine.channelBit = 16;
        windowing.SetTimer(dialog.window(), 7, 10);
    });
    PostAt(45, {kWmCommand, Click(IDC_CANCEL), 0});
    EXPECT_EQ(dialog.DoModal(), IDC_CANCEL);
    windowing.DispatchPending();
    // Four ticks; only the first finds a changed pair. The foreign timer left the pair alone.
    EXPECT_EQ(peer.received, (std::vector<Message>{{WM_PEER_COMMAND, 2, 16}}));
    EXPECT_EQ(dialog.engine.passNumber, 2);
    EXPECT_EQ(dialog.engine.channelBit, 16);
    EXPECT_EQ(clock.NextDueUs(), -1);  // the timer died with the window
}

TEST_F(DialogTest, ATakenTitleOrNoWindowingMeansNoDialog) {
    PeerWindow other;
    WindowHandle held = kNoWindow;
    ASSERT_EQ(windowing.OpenWindow("zelk", &other, &held), kOk);
    {
        CzelkDlg dialog(platform);
        EXPECT_EQ(dialog.DoModal(), CzelkDlg::kNoDialog);
        EXPECT_EQ(dialog.window(), kNoWindow);
    }
    EXPECT_EQ(windowing.FindWindowByTitle("zelk"), held);  // the live holder keeps it

    CzelkApp app(platform);
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(app.modalResult(), -1);

    Platform none;
    CzelkDlg dialog(none);
    EXPECT_EQ(dialog.DoModal(), CzelkDlg::kNoDialog);
}

TEST_F(DialogTest, AppRunsTheDialogOnceAndReturnsFalse) {
    PostAt(1, {WM_PEER_COMMAND, CMD_QUERY_SPEAKERS, 0});
    PostAt(2, {kWmClose, 0, 0});
    CzelkApp app(platform);
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(app.modalResult(), IDC_CANCEL);
    EXPECT_EQ(windowing.FindWindowByTitle("zelk"), kNoWindow);
    windowing.DispatchPending();
    EXPECT_EQ(peer.received.size(), 1u);
}

TEST_F(DialogTest, ALoopWithNothingLeftToWaitForEnds) {
    CzelkDlg dialog(platform);
    EXPECT_EQ(dialog.DoModal(), -1);
    EXPECT_EQ(windowing.FindWindowByTitle("zelk"), kNoWindow);
}

}  // namespace
}  // namespace zelk

namespace zelk {
namespace {

// The dialog on the simulated PC.
class DialogOnPcTest : public ::testing::Test {
  protected:
    DialogOnPcTest() {
        platform = pc.platform();
        platform.windowing = &windowing;
        EXPECT_EQ(windowing.OpenWindow("Speaker", &peer, &peerWindow), kOk);
    }

    void PostAt(int64_t atMs, Message m) {
        pc.clock().Schedule(atMs * 1000, 0, sim::VirtualClock::Kind::kDevice, [this, m] {
            windowing.Post(windowing.FindWindowByTitle("zelk"), m.message, m.wParam, m.lParam);
        });
    }

    sim::SimPc pc;
    sim::SimWindowing windowing{pc.clock()};
    Platform platform;
    PeerWindow peer;
    WindowHandle peerWindow = kNoWindow;
};

TEST_F(DialogOnPcTest, StartButtonRunsAFullCalibrationToItsReply) {
    CzelkDlg dialog(platform);
    PostAt(1, {WM_PEER_COMMAND, CMD_SET_SPEAKERS, 0x3});  // stereo: the shortest full run
    PostAt(2, {WM_PEER_COMMAND, CMD_SELECT_CODEC, 0x0662});
    PostAt(3, {kWmCommand, Click(IDC_START_BUTTON), 0});
    // Button1 does nothing, also during a run.
    PostAt(500, {kWmCommand, Click(IDC_BUTTON1), 0});
    // The peer closes the worker once it has heard the reply.
    peer.react = [&](const Message& m) {
        if (m == Message{WM_PEER_COMMAND, REPLY_CALIBRATED, 1})
            windowing.Post(windowing.FindWindowByTitle("zelk"), kWmClose, 0, 0);
    };

    EXPECT_EQ(dialog.DoModal(), IDC_CANCEL);
    EXPECT_EQ(dialog.engine.GetState(), ENGINE_DONE);
    EXPECT_EQ(dialog.channel.deviceId, 0x0899);
    EXPECT_EQ(dialog.channel.runMode, 2);
    ASSERT_FALSE(peer.received.empty());
    EXPECT_EQ(peer.received.front(), (Message{WM_PEER_COMMAND, REPLY_SPEAKERS, 0x3}));
    EXPECT_EQ(peer.received.back(), (Message{WM_PEER_COMMAND, REPLY_CALIBRATED, 1}));
    EXPECT_EQ(
        std::count(peer.received.begin(), peer.received.end(), Message{WM_PEER_COMMAND, 1, 1}), 1);
}

TEST_F(DialogOnPcTest, EndingTheDialogDuringARunReleasesTheDevices) {
    int64_t refsDuringRun = 0;
    {
        CzelkDlg dialog(platform);
        PostAt(1, {WM_PEER_COMMAND, CMD_CALIBRATE, 0});
        pc.clock().Schedule(2'000'000, 0, sim::VirtualClock::Kind::kDevice, [&] {
            refsDuringRun = pc.audio().TotalLiveRefs();
            windowing.Post(dialog.window(), kWmCommand, Click(IDC_OK), 0);
        });
        EXPECT_EQ(dialog.DoModal(), IDC_OK);
        EXPECT_EQ(dialog.engine.GetState(), ENGINE_RUNNING);  // not stopped first
    }
    EXPECT_GT(refsDuringRun, 0);
    EXPECT_EQ(pc.audio().TotalLiveRefs(), 0);
    EXPECT_EQ(pc.audio().OverReleases(), 0);
    EXPECT_EQ(pc.clock().NextDueUs(), -1);  // no timer, no device left stepping
    windowing.DispatchPending();
    // Progress of the warm-up only; no reply for the ended run.
    EXPECT_EQ(peer.received, (std::vector<Message>{{WM_PEER_COMMAND, 1, 0}}));
}

}  // namespace
}  // namespace zelk
