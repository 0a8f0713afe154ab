// The worker and the speaker tool as separate processes on one runtime folder.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <fstream>

#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "calibration/results_file_format.h"
#include "peer/peer_messages.h"
#include "platform/posix/control_state_file.h"
#include "platform/posix/posix_windowing.h"
#include "platform/posix/window_socket.h"
#include "posix/raw_socket.h"
#include "posix/recording_handler.h"
#include "posix/temp_runtime_folder.h"
#include "tools/child_process.h"

namespace zelk::tools {
namespace {

using posix::ChannelMessage;
using posix::PosixWindowing;
using posix::testing::RawSocket;
using posix::testing::RecordingHandler;
using posix::testing::TempRuntimeFolder;
using testing::Child;
using testing::WaitInFolder;

constexpr int kStartMs = 10000;

std::vector<uint8_t> Bytes(uint32_t message, uint32_t wParam, int32_t lParam) {
    uint8_t bytes[posix::kChannelMessageSize];
    posix::EncodeChannelMessage(ChannelMessage{message, wParam, lParam}, bytes);
    return std::vector<uint8_t>(bytes, bytes + sizeof bytes);
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

class WorkerAndSpeakerTest : public ::testing::Test {
  protected:
    struct Run {
        int code;
        std::string out;
        std::string err;
    };

    std::unique_ptr<Child> StartWorker(const std::string& clock = "real") {
        auto worker = std::make_unique<Child>(
            std::vector<std::string>{ZELK_WORKER_PATH},
            // The machine's state goes to the runtime folder, whatever the caller's setting.
            std::map<std::string, std::string>{{"ZELK_RUNTIME_DIR", folder_.path()},
                                               {"ZELK_CLOCK", clock},
                                               {"ZELK_SIM_STATE", ""}},
            output_ / ("worker" + std::to_string(++children_)));
        EXPECT_TRUE(worker->started());
        // Live, not merely there: a killed worker leaves its socket file behind.
        const std::string path = folder_ / WORKER_WINDOW_TITLE;
        EXPECT_TRUE(WaitInFolder(
            folder_.path(),
            [&] { return posix::ProbeWindowSocket(path) == posix::SocketLiveness::kLive; },
            kStartMs))
            << "the worker did not open its window: " << worker->err();
        return worker;
    }

    Run Speaker(std::vector<std::string> args, const std::string& runtimeFolder = "") {
        args.insert(args.begin(), ZELK_SPEAKER_PATH);
        Child tool(args,
                   {{"ZELK_RUNTIME_DIR", runtimeFolder.empty() ? folder_.path() : runtimeFolder}},
                   output_ / ("speaker" + std::to_string(++children_)));
        const int code = tool.Wait();
        return Run{code, tool.out(), tool.err()};
    }

    // Posts to the worker from a window "Speaker" of the test's own and collects what comes
    // back: until `expected` messages have come and then quietMs more went by without any.
    // The worker's queue holds only a few datagrams: a peer that finds it full tries again, as the
    // worker drains it, for a while.
    static bool PostWhenThereIsRoom(PosixWindowing& windowing, WindowHandle worker,
                                    const ChannelMessage& m) {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            if (windowing.Post(worker, m.message, m.wParam, m.lParam))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    std::vector<ChannelMessage> PostAndCollect(const std::vector<ChannelMessage>& posts,
                                               size_t expected, uint32_t quietMs = 300) {
        PosixWindowing windowing(folder_.path());
        RecordingHandler handler;
        WindowHandle peer = kNoWindow;
        EXPECT_EQ(windowing.OpenWindow(PEER_WINDOW_TITLE, &handler, &peer), kOk);
        constexpr uintptr_t kQuiet = 1;
        constexpr uintptr_t kDeadline = 2;
        handler.react = [&](const ChannelMessage& m) {
            if (m.message == kWmTimer) {
                handler.received.pop_back();
                windowing.EndModal(peer, m.wParam == kQuiet ? 0 : 1);
            } else if (handler.received.size() >= expected) {
                windowing.SetTimer(peer, kQuiet, quietMs);  // restarts with every message
            }
        };
        const WindowHandle worker = windowing.FindWindowByTitle(WORKER_WINDOW_TITLE);
        for (const ChannelMessage& m : posts)
            EXPECT_TRUE(PostWhenThereIsRoom(windowing, worker, m));
        windowing.SetTimer(peer, kDeadline, 10000);
        if (expected == 0)
            windowing.SetTimer(peer, kQuiet, quietMs);
        EXPECT_EQ(windowing.RunModal(peer), 0) << "not enough replies in time";
        windowing.CloseWindow(peer);
        return handler.received;
    }

    TempRuntimeFolder folder_;
    TempRuntimeFolder output_;
    int children_ = 0;
};

TEST_F(WorkerAndSpeakerTest, ASpeakerQueryIsAnsweredExactlyOnce) {
    auto worker = StartWorker();
    const std::vector<ChannelMessage> replies = PostAndCollect(
        {{WM_PEER_COMMAND, CMD_SELECT_CODEC, 2201}, {WM_PEER_COMMAND, CMD_QUERY_SPEAKERS, 0}}, 1);
    // The simulated PC's codec 10EC:0899 has eight speakers.
    EXPECT_EQ(replies, (std::vector<ChannelMessage>{{WM_PEER_COMMAND, REPLY_SPEAKERS, 0x63F}}));

    // The tool shows the same answer.
    const Run select = Speaker({"--json", "select", "2201"});
    EXPECT_EQ(select.code, 0) << select.err;
    const Run layout = Speaker({"--json", "layout"});
    EXPECT_EQ(layout.code, 0) << layout.out << layout.err;
    EXPECT_NE(layout.out.find("{\"event\":\"speakers\",\"mask\":1599,\"channels\":8,"),
              std::string::npos)
        << layout.out;
    const Run text = Speaker({"layout"});
    EXPECT_NE(text.out.find("speakers 0x63F (8 channels): front left, front right, front center, "
                            "low frequency, back left, back right, side left, side right"),
              std::string::npos)
        << text.out;

    EXPECT_EQ(Speaker({"close"}).code, 0);
    EXPECT_EQ(worker->Wait(), 0);
}

TEST_F(WorkerAndSpeakerTest, AFullCalibrationInVirtualTimeEndsWithItsReply) {
    auto worker = StartWorker("virtual");
    const Run run = Speaker({"--json", "calibrate"});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    // Progress by channel name, and the reply at the end.
    for (const char* channel : {"front left", "side right", "subwoofer"}) {
        EXPECT_NE(run.out.find(std::string("\"channel\":\"") + channel + "\""), std::string::npos)
            << channel << "\n"
            << run.out;
    }
    EXPECT_EQ(run.out.rfind("{\"event\":\"calibrated\""),
              run.out.rfind('\n', run.out.size() - 2) + 1)
        << "the last line is the reply:\n"
        << run.out;

    const Run gains = Speaker({"gains"});
    EXPECT_EQ(gains.code, 0) << gains.err;
    EXPECT_NE(gains.out.find("side right"), std::string::npos) << gains.out;
    EXPECT_EQ(Speaker({"close"}).code, 0);
    EXPECT_EQ(worker->Wait(), 0);

    // The report of the file the worker wrote shows every stored value as it stands there.
    const std::string results = output_ / "Qalto.ini";
    const Run report = Speaker({"--json", "report", results, "-o", output_ / "results.svg"});
    EXPECT_EQ(report.code, 0) << report.out << report.err;
    std::istringstream file(testing::ReadFile(results));
    int levels = 0;
    for (std::string line; std::getline(file, line);) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos || line.compare(0, equals, kResultsDoneKey) == 0)
            continue;
        ++levels;
        const std::string key = line.substr(0, equals);
        EXPECT_NE(report.out.find("\"key\":\"" + key + "\""), std::string::npos) << key;
        EXPECT_NE(
            report.out.find("\"percent\":" + line.substr(equals + 1) + ",\"reading\":\"stored\"}"),
            std::string::npos)
            << line << "\n"
            << report.out;
    }
    EXPECT_EQ(levels, kResultsLevelKeyCount) << "a full run writes every level key";
    EXPECT_NE(testing::ReadFile(output_ / "results.svg").find("data-key=\"SideRightHigh\""),
              std::string::npos);
}

TEST_F(WorkerAndSpeakerTest, EveryWayOfClosingTheDialogEndsTheWorkerWithSuccess) {
    const std::vector<std::vector<std::string>> closers = {
        {"close"}, {"click", "ok"}, {"click", "cancel"}};
    for (const auto& closer : closers) {
        SCOPED_TRACE(closer.back());
        auto worker = StartWorker();
        const Run run = Speaker(closer);
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(worker->Wait(), 0) << worker->err();
        EXPECT_FALSE(Exists(folder_ / WORKER_WINDOW_TITLE)) << "the window's socket is gone";
    }
}

TEST_F(WorkerAndSpeakerTest, TerminationIsACloseRequest) {
    auto worker = StartWorker();
    worker->Signal(SIGTERM);
    EXPECT_EQ(worker->Wait(), 0);
    EXPECT_FALSE(Exists(folder_ / WORKER_WINDOW_TITLE));
}

TEST_F(WorkerAndSpeakerTest, ButtonClicksReachTheDialog) {
    auto worker = StartWorker();  // real time: a run lasts well over a minute
    const std::string state = posix::ControlStatePath(folder_.path(), WORKER_WINDOW_TITLE);
    EXPECT_EQ(Speaker({"click", "button1"}).code, 0);
    // The worker handles messages in order: once the query is answered the clicks are handled.
    PostAndCollect({{WM_PEER_COMMAND, CMD_QUERY_SPEAKERS, 0}}, 1);
    EXPECT_FALSE(Exists(state)) << "Button1 changes nothing";

    EXPECT_EQ(Speaker({"click", "start"}).code, 0);
    PostAndCollect({{WM_PEER_COMMAND, CMD_QUERY_SPEAKERS, 0}}, 1);
    std::map<int, bool> controls;
    ASSERT_TRUE(posix::ReadControlState(state, &controls));
    EXPECT_EQ(controls, (std::map<int, bool>{{IDC_START_BUTTON, false}, {IDC_STOP_BUTTON, true}}))
        << "a run is on";
    const Run shown = Speaker({"--json", "controls"});
    EXPECT_EQ(shown.code, 0);
    EXPECT_EQ(shown.out,
              "{\"event\":\"controls\",\"ok\":true,\"cancel\":true,\"start\":false,\"stop\":true,"
              "\"button1\":true}\n");

    EXPECT_EQ(Speaker({"click", "stop"}).code, 0);
    EXPECT_EQ(Speaker({"click", "cancel"}).code, 0);
    EXPECT_EQ(worker->Wait(), 0);
}

TEST_F(WorkerAndSpeakerTest, ASecondWorkerIsRefusedAndTheFirstGoesOn) {
    auto first = StartWorker();
    Child second({ZELK_WORKER_PATH}, {{"ZELK_RUNTIME_DIR", folder_.path()}}, output_ / "second");
    EXPECT_NE(second.Wait(), 0);
    EXPECT_NE(second.err().find("another worker holds the window \"zelk\""), std::string::npos)
        << second.err();
    EXPECT_EQ(PostAndCollect({{WM_PEER_COMMAND, CMD_QUERY_SPEAKERS, 0}}, 1).size(), 1u);
    EXPECT_EQ(Speaker({"close"}).code, 0);
    EXPECT_EQ(first->Wait(), 0);
}

TEST_F(WorkerAndSpeakerTest, AKilledWorkersSocketIsTakenOverByTheNext) {
    auto killed = StartWorker();
    killed->Signal(SIGKILL);
    EXPECT_EQ(killed->Wait(), 128 + SIGKILL);
    ASSERT_TRUE(Exists(folder_ / WORKER_WINDOW_TITLE)) << "a stale socket is left behind";
    EXPECT_EQ(Speaker({"layout"}).code, 3) << "nobody receives on a stale socket";

    auto next = StartWorker();
    EXPECT_EQ(PostAndCollect({{WM_PEER_COMMAND, CMD_QUERY_SPEAKERS, 0}}, 1).size(), 1u);
    EXPECT_EQ(Speaker({"close"}).code, 0);
    EXPECT_EQ(next->Wait(), 0);
}

TEST_F(WorkerAndSpeakerTest, MalformedDatagramsAreIgnoredAndTheWorkerKeepsItsState) {
    auto worker = StartWorker();
    // Device 1634 is not in the machine: while it is selected every speaker query fails.
    const ChannelMessage query{WM_PEER_COMMAND, CMD_QUERY_SPEAKERS, 0};
    EXPECT_EQ(PostAndCollect({{WM_PEER_COMMAND, CMD_SELECT_CODEC, 1634}, query}, 1),
              (std::vector<ChannelMessage>{{WM_PEER_COMMAND, REPLY_SPEAKERS_FAILED, 0}}));

    const std::string path = folder_ / WORKER_WINDOW_TITLE;
    RawSocket raw;
    // The worker's queue holds only a few datagrams: these sends wait for room.
    const timeval patience{10, 0};
    ::setsockopt(raw.fd(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    const auto longer = [](std::vector<uint8_t> bytes) {
        bytes.push_back(0);
        return bytes;
    };
    const auto shorter = [](std::vector<uint8_t> bytes) {
        bytes.pop_back();
        return bytes;
    };
    const std::vector<uint8_t> select2201 = Bytes(WM_PEER_COMMAND, CMD_SELECT_CODEC, 2201);
    const std::vector<uint8_t> clickStart = Bytes(kWmCommand, IDC_START_BUTTON, 0);
    const std::vector<std::vector<uint8_t>> garbage = {
        {},
        shorter(select2201),
        longer(select2201),
        shorter(clickStart),
        longer(clickStart),
        std::vector<uint8_t>(4096, 0xFF),
        Bytes(kWmTimer, 30309, 0),  // timers come only from the worker itself
        Bytes(WM_PEER_COMMAND, 77, -1),
        Bytes(WM_PEER_COMMAND, CMD_APPLY_RESULTS, 3),
        Bytes(WM_PEER_COMMAND, CMD_CALIBRATE_CHANNEL, 8),
        Bytes(WM_PEER_COMMAND, CMD_SELECT_CODEC, INT32_MIN),
        Bytes(kWmCommand, 4242, 0),                     // unknown control
        Bytes(kWmCommand, 0x00010000 | IDC_CANCEL, 0),  // not a click
        Bytes(0x0002, 0, 0),                            // a message the worker does not take
    };
    for (const auto& bytes : garbage)
        ASSERT_EQ(raw.SendTo(path, bytes, 0), static_cast<ssize_t>(bytes.size()));
    // Well-formed messages from another user (only a privileged user can send them).
    const ucred stranger{::getpid(), 65534, 65534};
    for (const auto& bytes : {select2201, clickStart}) {
        if (raw.SendWith(path, bytes, stranger, -1, 0) < 0) {
            EXPECT_EQ(errno, EPERM);
        }
    }

    EXPECT_EQ(PostAndCollect({query}, 1),
              (std::vector<ChannelMessage>{{WM_PEER_COMMAND, REPLY_SPEAKERS_FAILED, 0}}))
        << "device 1634 is still selected";
    EXPECT_FALSE(Exists(posix::ControlStatePath(folder_.path(), WORKER_WINDOW_TITLE)))
        << "no Start click got through";
    EXPECT_EQ(PostAndCollect({{WM_PEER_COMMAND, CMD_SELECT_CODEC, 2201}, query}, 1),
              (std::vector<ChannelMessage>{{WM_PEER_COMMAND, REPLY_SPEAKERS, 0x63F}}));

    EXPECT_EQ(Speaker({"close"}).code, 0);
    EXPECT_EQ(worker->Wait(), 0);
}

TEST_F(WorkerAndSpeakerTest, ACalibrationThatCannotStartIsReportedAsStalled) {
    auto worker = StartWorker("virtual");
    EXPECT_EQ(Speaker({"select", "1634"}).code, 0);  // not in the machine: the start fails
    const Run run = Speaker({"--json", "--stall", "1", "calibrate"});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.out.find("\"event\":\"stalled\""), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("\"event\":\"progress\""), std::string::npos) << run.out;
    EXPECT_EQ(Speaker({"close"}).code, 0);
    EXPECT_EQ(worker->Wait(), 0);
}

TEST_F(WorkerAndSpeakerTest, AnUnsafeRuntimeFolderStopsTheWorkerAtStart) {
    struct Case {
        const char* name;
        mode_t mode;
    };
    for (const Case& c :
         {Case{"group and others may read", 0755}, Case{"others may write", 0703}}) {
        SCOPED_TRACE(c.name);
        TempRuntimeFolder unsafe;
        ASSERT_EQ(::chmod(unsafe.path().c_str(), c.mode), 0);
        Child worker({ZELK_WORKER_PATH}, {{"ZELK_RUNTIME_DIR", unsafe.path()}}, output_ / "unsafe");
        EXPECT_EQ(worker.Wait(), 1);
        EXPECT_NE(worker.err().find(unsafe.path()), std::string::npos) << worker.err();
        EXPECT_NE(worker.err().find("chmod 700"), std::string::npos) << worker.err();
        EXPECT_FALSE(Exists(unsafe / WORKER_WINDOW_TITLE));
    }
}

TEST_F(WorkerAndSpeakerTest, ALayoutAndCalibratedLevelsOutliveTheWorker) {
    const std::string fourSpeakers = "speakers 0x33 (4 channels)";
    auto worker = StartWorker("virtual");
    ASSERT_EQ(Speaker({"select", "2201"}).code, 0);
    const Run layout = Speaker({"set-layout", "4"});
    ASSERT_NE(layout.out.find(fourSpeakers), std::string::npos) << layout.out << layout.err;
    const Run run = Speaker({"calibrate"});
    ASSERT_EQ(run.code, 0) << run.out << run.err;
    const Run calibrated = Speaker({"gains"});
    ASSERT_EQ(calibrated.code, 0) << calibrated.err;
    EXPECT_EQ(Speaker({"close"}).code, 0);
    ASSERT_EQ(worker->Wait(), 0) << worker->err();
    EXPECT_TRUE(Exists(folder_ / "sim-state"));

    worker = StartWorker("virtual");
    ASSERT_EQ(Speaker({"select", "2201"}).code, 0);
    EXPECT_NE(Speaker({"layout"}).out.find(fourSpeakers), std::string::npos);
    EXPECT_EQ(Speaker({"gains"}).out, calibrated.out);
    EXPECT_EQ(Speaker({"close"}).code, 0);
    ASSERT_EQ(worker->Wait(), 0) << worker->err();
    EXPECT_EQ(worker->err(), "");

    // Deleting the file is the reset: the machine starts from its defaults.
    ASSERT_EQ(::unlink((folder_ / "sim-state").c_str()), 0);
    worker = StartWorker("virtual");
    ASSERT_EQ(Speaker({"select", "2201"}).code, 0);
    EXPECT_NE(Speaker({"layout"}).out.find("speakers 0x63F (8 channels)"), std::string::npos);
    EXPECT_NE(Speaker({"gains"}).out, calibrated.out);
    EXPECT_EQ(Speaker({"close"}).code, 0);
    EXPECT_EQ(worker->Wait(), 0);
}

TEST_F(WorkerAndSpeakerTest, AKilledWorkerLosesNoCommandItHadFinished) {
    const std::string twoSpeakers = "speakers 0x3 (2 channels)";
    auto worker = StartWorker();
    ASSERT_EQ(Speaker({"select", "2201"}).code, 0);
    ASSERT_NE(Speaker({"set-layout", "2"}).out.find(twoSpeakers), std::string::npos);
    // The state is saved after each message: once a later command is answered, the layout's
    // message has ended and its save with it.
    ASSERT_EQ(Speaker({"gains"}).code, 0);
    worker->Signal(SIGKILL);
    worker->Wait();

    worker = StartWorker();
    ASSERT_EQ(Speaker({"select", "2201"}).code, 0);
    EXPECT_NE(Speaker({"layout"}).out.find(twoSpeakers), std::string::npos);
    EXPECT_EQ(Speaker({"close"}).code, 0);
    EXPECT_EQ(worker->Wait(), 0);
}

TEST_F(WorkerAndSpeakerTest, ACorruptStateFileIsReportedAndTheDefaultsUsed) {
    { std::ofstream(folder_ / "sim-state") << "not a state\n"; }
    auto worker = StartWorker();
    ASSERT_EQ(Speaker({"select", "2201"}).code, 0);
    EXPECT_NE(Speaker({"layout"}).out.find("speakers 0x63F (8 channels)"), std::string::npos);
    EXPECT_EQ(Speaker({"close"}).code, 0);
    EXPECT_EQ(worker->Wait(), 0);
    EXPECT_NE(worker->err().find("is not a state file"), std::string::npos) << worker->err();
}

TEST_F(WorkerAndSpeakerTest, AnUnknownClockIsRefused) {
    Child worker({ZELK_WORKER_PATH},
                 {{"ZELK_RUNTIME_DIR", folder_.path()}, {"ZELK_CLOCK", "sundial"}},
                 output_ / "clock");
    EXPECT_NE(worker.Wait(), 0);
    EXPECT_NE(worker.err().find("ZELK_CLOCK"), std::string::npos) << worker.err();
}

}  // namespace
}  // namespace zelk::tools
