#include "peer/peer_channel.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <vector>

#include "engine/calibration_engine.h"
#include "peer/peer_messages.h"
#include "peer/peer_window.h"
#include "platform/core_audio.h"
#include "platform/sim/sim_sync.h"
#include "platform/sim/sim_windowing.h"
#include "platform/sim/virtual_clock.h"

namespace zelk {
namespace {

// A machine whose audio stack offers no endpoints: every codec look-up fails. It counts the
// look-ups (each endpoint control asks for one enumerator).
class NoAudio : public CoreAudio {
  public:
    void InitializeThread() override {}
    Status CreateDeviceEnumerator(Ref<AudioDeviceEnumerator>*) override {
        ++lookups;
        return kNotFound;
    }
    int lookups = 0;
};

using test::PeerWindow;
using test::Reply;

class IgnoreAll : public WindowHandler {
  public:
    intptr_t OnMessage(uint32_t, uint32_t, int32_t) override { return 0; }
};

class PeerChannelWithoutCodecTest : public ::testing::Test {
  protected:
    PeerChannelWithoutCodecTest() {
        EXPECT_EQ(windowing.OpenWindow("zelk", &dialog, &window), kOk);
        EXPECT_EQ(windowing.OpenWindow("Speaker", &peer, &peerWindow), kOk);
        channel.SetWindow(window);
    }

    Platform MakePlatform() {
        Platform p;
        p.windowing = &windowing;
        p.coreAudio = &audio;
        p.sync = &sync;
        return p;
    }

    // Delivers the replies posted so far and hands them out.
    std::vector<Reply> Replies() {
        windowing.DispatchPending();
        std::vector<Reply> out;
        out.swap(peer.replies);
        return out;
    }

    sim::VirtualClock clock;
    sim::SimWindowing windowing{clock};
    sim::SimSync sync{clock};
    NoAudio audio;
    IgnoreAll dialog;
    PeerWindow peer;
    WindowHandle window = kNoWindow;
    WindowHandle peerWindow = kNoWindow;
    CalibrationEngine engine{MakePlatform()};
    PeerChannel channel{engine, windowing};
};

TEST_F(PeerChannelWithoutCodecTest, InitialSelectionIsTheStartButtonCodec) {
    EXPECT_EQ(channel.vendorId, 0x10EC);
    EXPECT_EQ(channel.deviceId, 0x0899);
    EXPECT_EQ(channel.runMode, 2);
    EXPECT_EQ(channel.runSingleChannel, 0);
    EXPECT_EQ(channel.lastPassNumber, 0);
    EXPECT_EQ(channel.lastChannelBit, 0);
}

// Every command code with edge arguments: what it posts, how many codec look-ups it makes and
// what it leaves in the engine and the channel.
TEST_F(PeerChannelWithoutCodecTest, DispatchTable) {
    const Reply failed{WM_PEER_COMMAND, REPLY_SPEAKERS_FAILED, 0};
    struct Case {
        uint32_t code;
        int32_t argument;
        std::vector<Reply> replies;
        int lookups;
        int32_t state;
        int32_t runMode;
    };
    const Case cases[] = {
        // Full start: the query fails, stereo is tried, the start fails; nothing is posted.
        {CMD_CALIBRATE, 0, {}, 3, ENGINE_FAILED, 2},
        {CMD_CALIBRATE, -1, {}, 3, ENGINE_FAILED, 2},
        // Single channel: the argument is the channel; outside 0..7 nothing starts.
        {CMD_CALIBRATE_CHANNEL, 0, {}, 1, ENGINE_FAILED, 1},
        {CMD_CALIBRATE_CHANNEL, 7, {}, 1, ENGINE_FAILED, 1},
        {CMD_CALIBRATE_CHANNEL, 8, {}, 0, ENGINE_IDLE, 4},
        {CMD_CALIBRATE_CHANNEL, -1, {}, 0, ENGINE_IDLE, 4},
        {CMD_CALIBRATE_CHANNEL, INT32_MIN, {}, 0, ENGINE_IDLE, 4},
        {CMD_CALIBRATE_CHANNEL, INT32_MAX, {}, 0, ENGINE_IDLE, 4},
        // Speaker query: failure reply, then the stereo fallback.
        {CMD_QUERY_SPEAKERS, 0, {failed}, 2, ENGINE_IDLE, 4},
        {CMD_QUERY_SPEAKERS, INT32_MIN, {failed}, 2, ENGINE_IDLE, 4},
        // Apply: every band reaches the results file, which fails; nothing is posted.
        {CMD_APPLY_RESULTS, 0, {}, -1, ENGINE_IDLE, 4},
        {CMD_APPLY_RESULTS, 2, {}, -1, ENGINE_IDLE, 4},
        {CMD_APPLY_RESULTS, 3, {}, 0, ENGINE_IDLE, 4},
        {CMD_APPLY_RESULTS, -1, {}, 0, ENGINE_IDLE, 4},
        // Gains: eight look-ups, every one fails, nothing is posted.
        {CMD_QUERY_GAINS, 0, {}, 8, ENGINE_IDLE, 4},
        // Set speakers: a layout the engine accepts reaches the device; a value it refuses does
        // not. Both are followed by a speaker report (with its fallback).
        {CMD_SET_SPEAKERS, 0x33, {failed}, 3, ENGINE_IDLE, 4},
        {CMD_SET_SPEAKERS, 6, {failed}, 3, ENGINE_IDLE, 4},
        {CMD_SET_SPEAKERS, 0x60F, {failed}, 2, ENGINE_IDLE, 4},
        {CMD_SET_SPEAKERS, 0, {failed}, 2, ENGINE_IDLE, 4},
        {CMD_SET_SPEAKERS, -1, {failed}, 2, ENGINE_IDLE, 4},
        {CMD_SELECT_CODEC, 2194, {}, 0, ENGINE_IDLE, 4},
        {CMD_STOP, 0, {}, 0, ENGINE_STOPPED, 4},
        {CMD_STOP, INT32_MAX, {}, 0, ENGINE_STOPPED, 4},
        // Unknown codes.
        {0, 0, {}, 0, ENGINE_IDLE, 4},
        {6, 1, {}, 0, ENGINE_IDLE, 4},
        {99, 0x33, {}, 0, ENGINE_IDLE, 4},
        {101, 0x33, {}, 0, ENGINE_IDLE, 4},
        {4331, 2201, {}, 0, ENGINE_IDLE, 4},
        {4333, 2201, {}, 0, ENGINE_IDLE, 4},
        {9999, 0, {}, 0, ENGINE_IDLE, 4},
        {10001, 0, {}, 0, ENGINE_IDLE, 4},
        {WM_PEER_COMMAND, 0, {}, 0, ENGINE_IDLE, 4},
        {0x80000001u, 1, {}, 0, ENGINE_IDLE, 4},
        {0xFFFFFFFFu, -1, {}, 0, ENGINE_IDLE, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "code " << c.code << " argument " << c.argument);
        CalibrationEngine caseEngine(MakePlatform());
        PeerChannel caseChannel(caseEngine, windowing);
        caseChannel.SetWindow(window);
        caseChannel.runMode = 4;  // as a previous full start left it
        audio.lookups = 0;
        EXPECT_EQ(caseChannel.OnPeerCommand(c.code, c.argument), 0);
        EXPECT_EQ(Replies(), c.replies);
        if (c.lookups >= 0) {
            EXPECT_EQ(audio.lookups, c.lookups);
        }
        EXPECT_EQ(caseEngine.GetState(), c.state);
        EXPECT_EQ(caseChannel.runMode, c.runMode);
        if (c.code == CMD_CALIBRATE_CHANNEL && c.state != ENGINE_IDLE) {
            EXPECT_EQ(caseChannel.runSingleChannel, c.argument);
        }
        EXPECT_EQ(caseChannel.vendorId, 0x10EC);
        EXPECT_EQ(caseChannel.deviceId, c.code == CMD_SELECT_CODEC ? 2194 : 0x0899);
    }
}

TEST_F(PeerChannelWithoutCodecTest, SelectCodecStoresOnlyKnownDevices) {
    struct Case {
        int32_t argument;
        uint16_t device;
    };
    // Each step starts from the device the step before left.
    const Case steps[] = {
        {2201, 0x0899},      {1634, 0x0662},   {1000, 0x0662},           {2194, 0x0892},
        {0, 0x0892},         {-1, 0x0892},     {0x10000 + 2201, 0x0892}, {2201 - 0x10000, 0x0892},
        {INT32_MIN, 0x0892}, {0x0899, 0x0899},
    };
    for (const Case& step : steps) {
        channel.vendorId = 0;
        channel.OnPeerCommand(CMD_SELECT_CODEC, step.argument);
        EXPECT_EQ(channel.vendorId, 0x10EC) << step.argument;
        EXPECT_EQ(channel.deviceId, step.device) << step.argument;
    }
    EXPECT_TRUE(Replies().empty());
}

TEST_F(PeerChannelWithoutCodecTest, WithoutAPeerNothingIsPostedAndNoFallbackRuns) {
    windowing.CloseWindow(peerWindow);
    audio.lookups = 0;
    channel.OnPeerCommand(CMD_QUERY_SPEAKERS, 0);
    EXPECT_EQ(audio.lookups, 1);  // the query only, no stereo fallback
    channel.OnPeerCommand(CMD_QUERY_GAINS, 0);
    EXPECT_EQ(audio.lookups, 9);  // the gain queries still run
    EXPECT_EQ(windowing.PendingCount(), 0u);
}

TEST_F(PeerChannelWithoutCodecTest, FailedStartTogglesTheButtonsBack) {
    windowing.EnableControl(window, IDC_STOP_BUTTON, false);
    channel.OnPeerCommand(CMD_CALIBRATE, 0);
    EXPECT_EQ(engine.GetState(), ENGINE_FAILED);
    EXPECT_TRUE(windowing.IsControlEnabled(window, IDC_START_BUTTON));
    EXPECT_FALSE(windowing.IsControlEnabled(window, IDC_STOP_BUTTON));
    EXPECT_STREQ(engine.context->errorText, "[Qaltor](1) Fail to init topology!");
    EXPECT_TRUE(Replies().empty());
}

TEST_F(PeerChannelWithoutCodecTest, StartButtonSelectsItsCodecFirst) {
    channel.OnPeerCommand(CMD_SELECT_CODEC, 1634);
    channel.vendorId = 0;
    channel.OnStartButton();
    EXPECT_EQ(channel.vendorId, 0x10EC);
    EXPECT_EQ(channel.deviceId, 0x0899);
    EXPECT_EQ(engine.context->deviceId, 0x0899);  // the start used it
    EXPECT_EQ(engine.GetState(), ENGINE_FAILED);
}

// While a run is active a start must leave the run's mode and the buttons alone: the run's
// completion reads the mode.
TEST_F(PeerChannelWithoutCodecTest, StartsDuringARunChangeNothing) {
    for (uint32_t code : {CMD_CALIBRATE, CMD_CALIBRATE_CHANNEL}) {
        engine.state = ENGINE_RUNNING;
        channel.runMode = code == CMD_CALIBRATE ? 1 : 6;
        channel.runSingleChannel = 3;
        windowing.EnableControl(window, IDC_START_BUTTON, false);
        windowing.EnableControl(window, IDC_STOP_BUTTON, true);
        audio.lookups = 0;
        channel.OnPeerCommand(code, 5);
        EXPECT_EQ(channel.runMode, code == CMD_CALIBRATE ? 1 : 6);
        EXPECT_EQ(channel.runSingleChannel, 3);
        EXPECT_EQ(engine.GetState(), ENGINE_RUNNING);
        EXPECT_FALSE(windowing.IsControlEnabled(window, IDC_START_BUTTON));
        EXPECT_TRUE(windowing.IsControlEnabled(window, IDC_STOP_BUTTON));
        EXPECT_EQ(audio.lookups, 0);
    }
    // Nor does the Start button select its codec.
    channel.deviceId = 0x0662;
    channel.OnStartButton();
    EXPECT_EQ(channel.deviceId, 0x0662);
    EXPECT_EQ(channel.runMode, 6);
    EXPECT_EQ(audio.lookups, 0);
    EXPECT_TRUE(Replies().empty());
}

TEST_F(PeerChannelWithoutCodecTest, QueriesDuringARunAreRefused) {
    engine.state = ENGINE_RUNNING;
    audio.lookups = 0;
    channel.OnPeerCommand(CMD_QUERY_SPEAKERS, 0);
    channel.OnPeerCommand(CMD_QUERY_GAINS, 0);
    channel.OnPeerCommand(CMD_SET_SPEAKERS, 0x3F);
    channel.OnPeerCommand(CMD_APPLY_RESULTS, 0);
    // Two failure replies (query, set), no gains; nothing reached the device.
    EXPECT_EQ(Replies(), (std::vector<Reply>{{WM_PEER_COMMAND, REPLY_SPEAKERS_FAILED, 0},
                                             {WM_PEER_COMMAND, REPLY_SPEAKERS_FAILED, 0}}));
    EXPECT_EQ(audio.lookups, 0);
    EXPECT_EQ(engine.GetState(), ENGINE_RUNNING);
}

TEST_F(PeerChannelWithoutCodecTest, ProgressIsPostedOnlyWhenThePairChanges) {
    struct Step {
        int32_t passNumber;
        int32_t channelBit;
        bool posted;
    };
    const Step steps[] =
        {
            {0, 0, false},  // the pair of process start
            {1, 0, true},  {1, 0, false},  {1, 1, true}, {1, 1, false},
            {1, 1, false}, {1, 2, true},   {2, 2, true}, {2, 16, true},
            {3, 16, true}, {3, 16, false}, {0, 0, true},  // a new start zeroes the pair
        };
    for (const Step& step : steps) {
        engine.passNumber = step.passNumber;
        engine.channelBit = step.channelBit;
        channel.ForwardProgress();
        const std::vector<Reply> expected =
            step.posted
                ? std::vector<Reply>{{WM_PEER_COMMAND, static_cast<uint32_t>(step.passNumber),
                                      step.channelBit}}
                : std::vector<Reply>{};
        EXPECT_EQ(Replies(), expected) << step.passNumber << "/" << step.channelBit;
        EXPECT_EQ(channel.lastPassNumber, step.passNumber);
        EXPECT_EQ(channel.lastChannelBit, step.channelBit);
    }
}

TEST_F(PeerChannelWithoutCodecTest, ProgressIsRecordedEvenWithoutAPeer) {
    windowing.CloseWindow(peerWindow);
    engine.passNumber = 1;
    engine.channelBit = 4;
    channel.ForwardProgress();
    EXPECT_EQ(channel.lastPassNumber, 1);
    EXPECT_EQ(channel.lastChannelBit, 4);
    ASSERT_EQ(windowing.OpenWindow("Speaker", &peer, &peerWindow), kOk);
    channel.ForwardProgress();  // same pair: the peer that came back hears nothing
    EXPECT_TRUE(Replies().empty());
}

TEST_F(PeerChannelWithoutCodecTest, CompletionReportsOnlyAFinishedFullRun) {
    struct Case {
        int32_t state;
        int32_t runMode;
        bool reported;
    };
    const Case cases[] = {
        {ENGINE_DONE, 2, true},    {ENGINE_DONE, 8, true},     {ENGINE_DONE, 1, false},
        {ENGINE_FAILED, 2, false}, {ENGINE_STOPPED, 2, false}, {ENGINE_IDLE, 4, false},
    };
    for (const Case& c : cases) {
        engine.state = c.state;
        channel.runMode = c.runMode;
        windowing.EnableControl(window, IDC_START_BUTTON, false);
        windowing.EnableControl(window, IDC_STOP_BUTTON, true);
        audio.lookups = 0;
        PeerChannel::OnCalibrationComplete(&channel);
        const std::vector<Reply> expected =
            c.reported ? std::vector<Reply>{{WM_PEER_COMMAND, REPLY_CALIBRATED, 1}}
                       : std::vector<Reply>{};
        EXPECT_EQ(Replies(), expected) << c.state << " mode " << c.runMode;
        EXPECT_TRUE(windowing.IsControlEnabled(window, IDC_START_BUTTON));
        EXPECT_FALSE(windowing.IsControlEnabled(window, IDC_STOP_BUTTON));
    }
}

}  // namespace
}  // namespace zelk
