// The peer protocol against the simulated PC: speaker layouts, gains, the full start's choice of
// layout and a run's progress and completion.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/calibration_engine.h"
#include "peer/peer_channel.h"
#include "peer/peer_messages.h"
#include "peer/peer_window.h"
#include "platform/core_audio.h"
#include "platform/sim/sim_pc.h"
#include "platform/sim/sim_windowing.h"
#include "platform/wave_format.h"
#include "support/memory_files.h"

namespace zelk {
namespace {

using test::PeerWindow;
using test::Reply;

// What the dialog does with the channel's messages: commands to the channel, timer messages to
// the engine's tick and then the progress forwarding.
class WorkerWindow : public WindowHandler {
  public:
    WorkerWindow(CalibrationEngine& engine, PeerChannel& channel)
        : engine_(engine), channel_(channel) {}
    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t lParam) override {
        if (message == WM_PEER_COMMAND)
            return channel_.OnPeerCommand(wParam, lParam);
        if (message == kWmTimer) {
            engine_.OnTimerTick(wParam);
            channel_.ForwardProgress();
            if (afterTick)
                afterTick();
        }
        return 0;
    }
    std::function<void()> afterTick;

  private:
    CalibrationEngine& engine_;
    PeerChannel& channel_;
};

struct DeviceLayout {
    uint16_t channels;
    uint32_t channelMask;
    uint32_t physicalSpeakers;
    uint32_t fullRangeSpeakers;
    bool operator==(const DeviceLayout&) const = default;
    friend void PrintTo(const DeviceLayout& d, std::ostream* os) {
        *os << std::hex << "{" << d.channels << " channels, mask 0x" << d.channelMask
            << ", physical 0x" << d.physicalSpeakers << ", full range 0x" << d.fullRangeSpeakers
            << "}";
    }
};

constexpr DeviceLayout kSevenOne = {8, 0x63F, 0x63F, 0x63F};
constexpr DeviceLayout kStereo = {2, 0x3, 0x3, 0x3};

class PeerChannelDeviceTest : public ::testing::Test {
  protected:
    explicit PeerChannelDeviceTest(sim::SimPcOptions options = {}) : pc(std::move(options)) {
        EXPECT_EQ(windowing.OpenWindow("zelk", &worker, &window), kOk);
        EXPECT_EQ(windowing.OpenWindow("Speaker", &peer, &peerWindow), kOk);
        channel.SetWindow(window);
    }
    // The window goes first, and its timer with it, as when the dialog ends: the engine's
    // teardown then runs without timer messages.
    ~PeerChannelDeviceTest() override { windowing.CloseWindow(window); }

    Platform MakePlatform() {
        Platform p = pc.platform();
        p.windowing = &windowing;
        p.files = &files;
        return p;
    }

    DeviceLayout Device() {
        auto& audio = pc.audio();
        const int32_t index = pc.renderEndpoint();
        const PropertyValue format =
            audio.EndpointProperty(DataFlow::kRender, index, kKeyDeviceFormat);
        WaveFormatExtensible wave;
        std::memcpy(&wave, format.blob.data(), std::min(format.blob.size(), sizeof wave));
        return {wave.nChannels, wave.dwChannelMask,
                audio.EndpointProperty(DataFlow::kRender, index, kKeyPhysicalSpeakers).number,
                audio.EndpointProperty(DataFlow::kRender, index, kKeyFullRangeSpeakers).number};
    }
    void SetPhysicalSpeakers(uint32_t mask) {
        PropertyValue value;
        value.type = PropertyValue::Type::kUInt32;
        value.number = mask;
        pc.audio().SetEndpointProperty(DataFlow::kRender, pc.renderEndpoint(), kKeyPhysicalSpeakers,
                                       value);
    }

    std::vector<Reply> Command(uint32_t code, int32_t argument) {
        windowing.Post(window, WM_PEER_COMMAND, code, argument);
        windowing.DispatchPending();
        std::vector<Reply> out;
        out.swap(peer.replies);
        return out;
    }

    // Runs the dialog's loop until the run has ended (or a generous time has passed), then
    // delivers what was posted.
    void RunToTheEnd() {
        const int64_t limitUs = pc.clock().NowUs() + 600'000'000;
        worker.afterTick = [&] {
            if (engine.GetState() != ENGINE_RUNNING || pc.clock().NowUs() > limitUs)
                windowing.EndModal(window, 0);
        };
        windowing.RunModal(window);
        worker.afterTick = nullptr;
        windowing.DispatchPending();
    }

    sim::SimPc pc;
    sim::SimWindowing windowing{pc.clock()};
    testing::MemoryFiles files;
    PeerWindow peer;
    WindowHandle window = kNoWindow;
    WindowHandle peerWindow = kNoWindow;
    CalibrationEngine engine{MakePlatform()};
    PeerChannel channel{engine, windowing};
    WorkerWindow worker{engine, channel};
};

TEST_F(PeerChannelDeviceTest, SpeakerQueryAnswersTheDeviceMask) {
    EXPECT_EQ(Command(CMD_QUERY_SPEAKERS, 0),
              (std::vector<Reply>{{WM_PEER_COMMAND, REPLY_SPEAKERS, 0x63F}}));
    EXPECT_EQ(Device(), kSevenOne);
    // Each query opens and drops its own control: nothing stays referenced.
    EXPECT_EQ(pc.audio().TotalLiveRefs(), 0);
}

TEST_F(PeerChannelDeviceTest, SetSpeakersWritesTheLayoutAndReportsIt) {
    struct Case {
        int32_t argument;
        DeviceLayout device;
    };
    const Case cases[] = {
        {0x33, {4, 0x33, 0x33, 0x33}},
        {0x3F, {6, 0x3F, 0x3F, 0x3F}},
        {0x63F, kSevenOne},
        {0x3, kStereo},
        // Channel counts: their standard masks, never the count as a mask.
        {6, {6, 0x3F, 0x3F, 0x3F}},
        {4, {4, 0x33, 0x33, 0x33}},
        {8, kSevenOne},
        {2, kStereo},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Command(CMD_SET_SPEAKERS, c.argument),
                  (std::vector<Reply>{{WM_PEER_COMMAND, REPLY_SPEAKERS,
                                       static_cast<int32_t>(c.device.physicalSpeakers)}}))
            << c.argument;
        EXPECT_EQ(Device(), c.device) << c.argument;
    }
}

TEST_F(PeerChannelDeviceTest, RefusedLayoutsLeaveTheDeviceAndStillReport) {
    for (int32_t argument : {0x60F, 0x6 + 0x100, 0, 1, 5, 0x63E, -1, INT32_MIN}) {
        EXPECT_EQ(Command(CMD_SET_SPEAKERS, argument),
                  (std::vector<Reply>{{WM_PEER_COMMAND, REPLY_SPEAKERS, 0x63F}}))
            << argument;
        EXPECT_EQ(Device(), kSevenOne) << argument;
    }
}

// A worker without the right to change endpoint properties: opening the render endpoint's store
// for writing is refused with E_ACCESSDENIED.
class PeerChannelWithoutRightsTest : public PeerChannelDeviceTest {
  protected:
    PeerChannelWithoutRightsTest() : PeerChannelDeviceTest(Options()) {}
    static sim::SimPcOptions Options() {
        sim::EndpointDesign render = sim::CodecRender(sim::kSimDefaultCodec);
        render.propertyWritesDenied = true;
        sim::SimPcOptions options;
        options.audio = sim::SimAudioSystemBuilder().Add(render).Add(
            sim::MicrophoneCapture(sim::kSimCodecVendor, sim::kSimDefaultCodec));
        return options;
    }
};

TEST_F(PeerChannelWithoutRightsTest, RefusedLayoutWritesKeepTheFormatAndTheReport) {
    EXPECT_EQ(
        engine.SetSpeakerLayout(window, sim::kSimCodecVendor, sim::kSimDefaultCodec, 2, 0x3, 0x3),
        kAccessDenied);
    EXPECT_STREQ(engine.context->errorText, "[Qaltor] Fail to set render device format!");
    EXPECT_EQ(Device(), kSevenOne);
    for (int32_t argument : {0x3, 2, 0x33, 0x3F, 0x63F}) {
        EXPECT_EQ(Command(CMD_SET_SPEAKERS, argument),
                  (std::vector<Reply>{{WM_PEER_COMMAND, REPLY_SPEAKERS, 0x63F}}))
            << argument;
        EXPECT_EQ(Device(), kSevenOne) << argument;
    }
    EXPECT_EQ(Command(CMD_QUERY_SPEAKERS, 0),
              (std::vector<Reply>{{WM_PEER_COMMAND, REPLY_SPEAKERS, 0x63F}}));
    EXPECT_EQ(pc.audio().TotalLiveRefs(), 0);
}

TEST_F(PeerChannelDeviceTest, FailedQueryAnswersFailureAndFallsBackToStereo) {
    pc.audio().Faults().FailAt("system", "CreateDeviceEnumerator", 1, kFail);
    EXPECT_EQ(Command(CMD_QUERY_SPEAKERS, 0),
              (std::vector<Reply>{{WM_PEER_COMMAND, REPLY_SPEAKERS_FAILED, 0}}));
    EXPECT_EQ(Device(), kStereo);

    // Without a peer window, neither the reply nor the fallback happens.
    Command(CMD_SET_SPEAKERS, 0x63F);
    windowing.CloseWindow(peerWindow);
    pc.audio().Faults().FailAt("system", "CreateDeviceEnumerator", 1, kFail);
    Command(CMD_QUERY_SPEAKERS, 0);
    EXPECT_EQ(Device(), kSevenOne);
}

TEST_F(PeerChannelDeviceTest, GainsReportEveryChannelOfTheCodec) {
    EXPECT_EQ(Command(CMD_QUERY_GAINS, 0),
              (std::vector<Reply>{{WM_PEER_CHANNEL_VALUE, 0, LevelToGain(-3.0f)},
                                  {WM_PEER_CHANNEL_VALUE, 1, LevelToGain(-4.5f)},
                                  {WM_PEER_CHANNEL_VALUE, 2, LevelToGain(-9.0f)},
                                  {WM_PEER_CHANNEL_VALUE, 3, LevelToGain(-10.5f)},
                                  {WM_PEER_CHANNEL_VALUE, 4, LevelToGain(-12.0f)},
                                  {WM_PEER_CHANNEL_VALUE, 5, LevelToGain(-13.5f)},
                                  {WM_PEER_CHANNEL_VALUE, 6, LevelToGain(-15.0f)},
                                  {WM_PEER_CHANNEL_VALUE, 7, LevelToGain(-16.5f)}}));
    EXPECT_EQ(LevelToGain(-3.0f), 47);
    // The floor and 0 dB are the ends of the scale.
    pc.audio().SetPartLevel("render0.front", 0, -65.25f);
    pc.audio().SetPartLevel("render0.front", 1, 0.0f);
    const std::vector<Reply> gains = Command(CMD_QUERY_GAINS, 0);
    ASSERT_EQ(gains.size(), 8u);
    EXPECT_EQ(gains[0].lParam, 0);
    EXPECT_EQ(gains[1].lParam, 50);
}

TEST_F(PeerChannelDeviceTest, GainsSkipChannelsThatCannotBeRead) {
    // Every level read of the side volume fails: slots 6 and 7 are left out.
    pc.audio().Faults().FailFrom("render0.side", "GetLevel", 1, kFail);
    const std::vector<Reply> gains = Command(CMD_QUERY_GAINS, 0);
    std::vector<uint32_t> slots;
    for (const Reply& reply : gains)
        slots.push_back(reply.wParam);
    EXPECT_EQ(slots, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
}

// The full start picks the run's channel count from the speaker mask, with a stereo fallback.
TEST_F(PeerChannelDeviceTest, FullStartChoosesTheLayout) {
    struct Case {
        const char* name;
        std::function<void()> setUp;
        int32_t runMode;  // after the start; the last full start was a quad one
        DeviceLayout device;
        int32_t state;
    };
    const Case cases[] = {
        {"7.1", [] {}, 8, kSevenOne, ENGINE_RUNNING},
        {"stereo", [&] { SetPhysicalSpeakers(0x3); }, 2, {8, 0x63F, 0x3, 0x63F}, ENGINE_RUNNING},
        {"quad", [&] { SetPhysicalSpeakers(0x33); }, 4, {8, 0x63F, 0x33, 0x63F}, ENGINE_RUNNING},
        {"5.1", [&] { SetPhysicalSpeakers(0x3F); }, 6, {8, 0x63F, 0x3F, 0x63F}, ENGINE_RUNNING},
        // Mask 0: stereo is set, the last full start's mode stays (never the single channel's).
        {"mask 0", [&] { SetPhysicalSpeakers(0); }, 4, kStereo, ENGINE_RUNNING},
        // An unknown mask changes nothing, the last full start's mode stays.
        {"unknown mask",
         [&] { SetPhysicalSpeakers(0x60F); },
         4,
         {8, 0x63F, 0x60F, 0x63F},
         ENGINE_RUNNING},
        // A failed query: stereo is set and the run is a stereo run.
        {"failed query",
         [&] { pc.audio().Faults().FailAt("system", "CreateDeviceEnumerator", 1, kFail); }, 2,
         kStereo, ENGINE_RUNNING},
        // A codec that is not there: everything fails, the device is left alone.
        {"absent codec", [&] { Command(CMD_SELECT_CODEC, 0x0662); }, 2, kSevenOne, ENGINE_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Back to the machine's own layout and codec.
        Command(CMD_STOP, 0);
        Command(CMD_SELECT_CODEC, 0x0899);
        Command(CMD_SET_SPEAKERS, 0x63F);
        // As after a quad run and then a single-channel one.
        channel.fullRunMode = 4;
        channel.runMode = 1;
        c.setUp();
        EXPECT_TRUE(Command(CMD_CALIBRATE, 0).empty());
        EXPECT_EQ(channel.runMode, c.runMode);
        EXPECT_EQ(engine.GetState(), c.state);
        EXPECT_EQ(Device(), c.device);
        const bool running = c.state == ENGINE_RUNNING;
        if (running) {
            EXPECT_EQ(engine.context->mode, c.runMode);
        }
        EXPECT_EQ(windowing.IsControlEnabled(window, IDC_START_BUTTON), !running);
        if (running) {
            EXPECT_TRUE(windowing.IsControlEnabled(window, IDC_STOP_BUTTON));
        }
        EXPECT_EQ(windowing.HasTimer(window, CALIBRATION_TIMER_ID), running);
    }
}

TEST_F(PeerChannelDeviceTest, CommandsDuringARunLeaveItAlone) {
    Command(CMD_CALIBRATE, 0);
    ASSERT_EQ(engine.GetState(), ENGINE_RUNNING);
    pc.AdvanceMs(100);
    windowing.DispatchPending();
    peer.replies.clear();
    const int64_t refs = pc.audio().TotalLiveRefs();
    EXPECT_EQ(Command(CMD_QUERY_SPEAKERS, 0),
              (std::vector<Reply>{{WM_PEER_COMMAND, REPLY_SPEAKERS_FAILED, 0}}));
    EXPECT_EQ(Command(CMD_SET_SPEAKERS, 0x33),
              (std::vector<Reply>{{WM_PEER_COMMAND, REPLY_SPEAKERS_FAILED, 0}}));
    EXPECT_TRUE(Command(CMD_QUERY_GAINS, 0).empty());
    EXPECT_TRUE(Command(CMD_APPLY_RESULTS, 0).empty());
    EXPECT_TRUE(Command(CMD_CALIBRATE, 0).empty());
    EXPECT_TRUE(Command(CMD_CALIBRATE_CHANNEL, 3).empty());
    EXPECT_EQ(engine.GetState(), ENGINE_RUNNING);
    EXPECT_EQ(channel.runMode, 8);
    EXPECT_EQ(Device(), kSevenOne);
    EXPECT_EQ(pc.audio().TotalLiveRefs(), refs);  // the run's controls are still its own
    EXPECT_NE(engine.context->endpointControl, nullptr);
    EXPECT_TRUE(engine.context->runActive());
}

TEST_F(PeerChannelDeviceTest, StopMidRunThenANewRunWhoseFirstPairIsTheLastPostsNothing) {
    Command(CMD_CALIBRATE_CHANNEL, 2);
    ASSERT_EQ(engine.GetState(), ENGINE_RUNNING);
    EXPECT_EQ(engine.context->singleChannel, 2);
    pc.AdvanceMs(50);
    windowing.DispatchPending();
    // The warm-up reports pass 1 and no channel yet, once.
    EXPECT_EQ(peer.replies, (std::vector<Reply>{{WM_PEER_COMMAND, 1, 0}}));
    peer.replies.clear();
    EXPECT_EQ(Command(CMD_STOP, 0), std::vector<Reply>{});
    EXPECT_EQ(engine.GetState(), ENGINE_STOPPED);
    EXPECT_FALSE(windowing.HasTimer(window, CALIBRATION_TIMER_ID));

    Command(CMD_CALIBRATE, 0);
    ASSERT_EQ(engine.GetState(), ENGINE_RUNNING);
    pc.AdvanceMs(100);
    windowing.DispatchPending();
    EXPECT_TRUE(peer.replies.empty());
}

TEST_F(PeerChannelDeviceTest, SingleChannelRunMeasuresItsChannelAndReportsNoCompletion) {
    Command(CMD_CALIBRATE_CHANNEL, 1);
    ASSERT_EQ(engine.GetState(), ENGINE_RUNNING);
    RunToTheEnd();
    EXPECT_EQ(engine.GetState(), ENGINE_DONE);
    // Progress pairs only: the warm-up, the channel (bit 2), then the passes' tails.
    ASSERT_FALSE(peer.replies.empty());
    EXPECT_EQ(peer.replies.front(), (Reply{WM_PEER_COMMAND, 1, 0}));
    bool sawChannel = false;
    for (const Reply& reply : peer.replies) {
        EXPECT_EQ(reply.message, WM_PEER_COMMAND);
        EXPECT_GE(reply.wParam, PROGRESS_FIRST_PASS);
        EXPECT_LE(reply.wParam, PROGRESS_LAST_PASS);
        EXPECT_NE(reply.wParam, REPLY_CALIBRATED);
        EXPECT_TRUE(reply.lParam == 0 || reply.lParam == 2) << reply.lParam;
        sawChannel = sawChannel || reply.lParam == 2;
    }
    EXPECT_TRUE(sawChannel);
    // The front right channel was measured; the others kept their earlier (zero) results.
    EXPECT_NE(engine.context->channelLevels[0][1][1], 0.0f);
    EXPECT_EQ(engine.context->channelLevels[0][0][1], 0.0f);
    EXPECT_TRUE(windowing.IsControlEnabled(window, IDC_START_BUTTON));
    EXPECT_FALSE(windowing.IsControlEnabled(window, IDC_STOP_BUTTON));
}

TEST_F(PeerChannelDeviceTest, FullRunReportsProgressThenCompletion) {
    Command(CMD_SET_SPEAKERS, 0x3);  // a stereo run is the shortest full run
    peer.replies.clear();
    Command(CMD_CALIBRATE, 0);
    ASSERT_EQ(engine.GetState(), ENGINE_RUNNING);
    RunToTheEnd();
    EXPECT_EQ(engine.GetState(), ENGINE_DONE);
    // Every progress pair once, in order, each different from the one before: the warm-up, the
    // two channels of pass 1, the tail of pass 2; then the one completion.
    std::vector<Reply> progress;
    size_t completions = 0;
    for (const Reply& reply : peer.replies) {
        if (reply.wParam == REPLY_CALIBRATED) {
            ++completions;
            continue;
        }
        if (!progress.empty()) {
            EXPECT_NE(reply, progress.back());
        }
        progress.push_back(reply);
    }
    EXPECT_EQ(completions, 1u);
    EXPECT_EQ(peer.replies.back(), (Reply{WM_PEER_COMMAND, REPLY_CALIBRATED, 1}));
    EXPECT_EQ(progress, (std::vector<Reply>{{WM_PEER_COMMAND, 1, 0},
                                            {WM_PEER_COMMAND, 1, 1},
                                            {WM_PEER_COMMAND, 1, 2},
                                            {WM_PEER_COMMAND, 2, 2}}));
    int32_t percents[8] = {};
    EXPECT_EQ(engine.GetLevelPercents(percents), kOk);
    EXPECT_GT(percents[0], 0);
    EXPECT_GT(percents[1], 0);
    EXPECT_TRUE(windowing.IsControlEnabled(window, IDC_START_BUTTON));
    EXPECT_FALSE(windowing.IsControlEnabled(window, IDC_STOP_BUTTON));
}

// A machine with a second codec beside the default one: what reaches the wrong codec shows.
sim::SimPcOptions TwoCodecs() {
    sim::SimPcOptions options;
    options.audio.AddCodec(0x0892);
    return options;
}

class PeerChannelTwoCodecsTest : public PeerChannelDeviceTest {
  protected:
    PeerChannelTwoCodecsTest() : PeerChannelDeviceTest(TwoCodecs()) {}

    // Every level of the second codec's speakers ("render1").
    std::vector<float> SecondCodecLevels() {
        std::vector<float> levels;
        for (const char* part : {"master", "front", "rear", "subwoofer", "center", "side"}) {
            for (uint32_t channel = 0; channel < 2; ++channel) {
                float level = 0;
                if (pc.audio().PartLevel(std::string("render1.") + part, channel, &level))
                    levels.push_back(level);
            }
        }
        return levels;
    }
};

TEST_F(PeerChannelTwoCodecsTest, CompletionAppliesToTheCodecTheRunMeasured) {
    const std::vector<float> before = SecondCodecLevels();
    ASSERT_FALSE(before.empty());
    Command(CMD_SET_SPEAKERS, 0x3);
    Command(CMD_CALIBRATE, 0);
    ASSERT_EQ(engine.GetState(), ENGINE_RUNNING);
    // Another codec is selected while the run measures the first.
    EXPECT_TRUE(Command(CMD_SELECT_CODEC, 0x0892).empty());
    RunToTheEnd();
    ASSERT_EQ(engine.GetState(), ENGINE_DONE);
    EXPECT_EQ(peer.replies.back(), (Reply{WM_PEER_COMMAND, REPLY_CALIBRATED, 1}));
    EXPECT_EQ(SecondCodecLevels(), before);
    // The medium results were applied once more, to the measured codec, from the file.
    EXPECT_EQ(files.iniReads.front(), "qaltoOK");
    EXPECT_EQ(channel.deviceId, 0x0892);
}

TEST_F(PeerChannelDeviceTest, AFullStartAfterASingleChannelRunIsAFullRun) {
    Command(CMD_CALIBRATE_CHANNEL, 0);
    Command(CMD_STOP, 0);
    ASSERT_EQ(channel.runMode, 1);
    SetPhysicalSpeakers(0x60F);  // no known layout: the last full one (the default) is kept
    Command(CMD_CALIBRATE, 0);
    ASSERT_EQ(engine.GetState(), ENGINE_RUNNING);
    EXPECT_EQ(channel.runMode, 2);
    EXPECT_EQ(engine.context->mode, 2);
    RunToTheEnd();
    EXPECT_EQ(engine.GetState(), ENGINE_DONE);
    EXPECT_EQ(peer.replies.back(), (Reply{WM_PEER_COMMAND, REPLY_CALIBRATED, 1}));
}

}  // namespace
}  // namespace zelk
