#include "platform/posix/posix_windowing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/control_state_file.h"
#include "platform/posix/window_socket.h"
#include "posix/raw_socket.h"
#include "posix/recording_handler.h"
#include "posix/temp_runtime_folder.h"

namespace zelk::posix {
namespace {

using testing::RawSocket;
using testing::RecordingHandler;
using testing::TempRuntimeFolder;

constexpr uint32_t kEndMessage = 0x7E57;  // ends the test's modal loop

bool IsSocket(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::vector<uint8_t> Bytes(uint32_t message, uint32_t wParam, int32_t lParam) {
    uint8_t bytes[kChannelMessageSize];
    EncodeChannelMessage(ChannelMessage{message, wParam, lParam}, bytes);
    return std::vector<uint8_t>(bytes, bytes + sizeof bytes);
}

class PosixWindowingTest : public ::testing::Test {
  protected:
    // Runs the window's loop until the end message arrives (posted last by the test).
    std::vector<ChannelMessage> RunUntilEnd(PosixWindowing& windowing, WindowHandle window,
                                            RecordingHandler& handler) {
        handler.react = [&](const ChannelMessage& m) {
            if (m.message == kEndMessage)
                windowing.EndModal(window, 42);
        };
        EXPECT_EQ(windowing.RunModal(window), 42);
        std::vector<ChannelMessage> received = handler.received;
        if (!received.empty() && received.back().message == kEndMessage)
            received.pop_back();
        return received;
    }

    TempRuntimeFolder folder_;
    PosixWindowing windowing_{folder_.path()};
    RecordingHandler handler_;
};

TEST_F(PosixWindowingTest, AWindowIsASocketFoundByItsTitleUntilClosed) {
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing_.OpenWindow("zelk", &handler_, &window), kOk);
    EXPECT_NE(window, kNoWindow);
    EXPECT_TRUE(IsSocket(folder_ / "zelk"));

    PosixWindowing other(folder_.path());
    const WindowHandle found = other.FindWindowByTitle("zelk");
    EXPECT_NE(found, kNoWindow);
    EXPECT_EQ(other.FindWindowByTitle("zelk"), found) << "one handle per title";
    EXPECT_EQ(windowing_.FindWindowByTitle("zelk"), window) << "its own window by its own handle";
    EXPECT_EQ(other.FindWindowByTitle("Speaker"), kNoWindow);

    windowing_.CloseWindow(window);
    EXPECT_FALSE(Exists(folder_ / "zelk"));
    EXPECT_EQ(other.FindWindowByTitle("zelk"), kNoWindow);
    EXPECT_FALSE(other.Post(found, 9912, 3, 0)) << "nobody receives any more";
}

TEST_F(PosixWindowingTest, TitlesMustBeOneToSixtyFourCharactersWithoutSlash) {
    struct Case {
        std::string title;
        bool valid;
    };
    const Case cases[] = {
        {"", false},
        {"a/b", false},
        {"/", false},
        {".", false},
        {"..", false},
        {std::string(65, 't'), false},
        {std::string(64, 't'), true},
        {"...", true},
        {" ", true},
        {"Speaker", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("title \"" + c.title + "\"");
        WindowHandle window = kNoWindow;
        const Status status = windowing_.OpenWindow(c.title.c_str(), &handler_, &window);
        if (c.valid) {
            EXPECT_EQ(status, kOk);
            EXPECT_TRUE(IsSocket(folder_ / c.title));
            windowing_.CloseWindow(window);
        } else {
            EXPECT_EQ(status, kInvalidArg);
            EXPECT_EQ(window, kNoWindow);
            EXPECT_EQ(windowing_.FindWindowByTitle(c.title.c_str()), kNoWindow);
        }
    }
    WindowHandle window = kNoWindow;
    EXPECT_EQ(windowing_.OpenWindow(nullptr, &handler_, &window), kInvalidArg);
    EXPECT_EQ(windowing_.OpenWindow("zelk", nullptr, &window), kInvalidArg);
    EXPECT_EQ(windowing_.OpenWindow("zelk", &handler_, nullptr), kPointer);
}

TEST_F(PosixWindowingTest, ALiveTitleCannotBeTaken) {
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing_.OpenWindow("zelk", &handler_, &window), kOk);

    PosixWindowing second(folder_.path());
    RecordingHandler secondHandler;
    WindowHandle taken = kNoWindow;
    EXPECT_EQ(second.OpenWindow("zelk", &secondHandler, &taken), kTitleTaken);
    EXPECT_EQ(taken, kNoWindow);
    EXPECT_NE(second.lastError().find("live window"), std::string::npos) << second.lastError();
    EXPECT_EQ(windowing_.OpenWindow("zelk", &handler_, &taken), kTitleTaken);

    // The first window still receives.
    EXPECT_TRUE(second.Post(second.FindWindowByTitle("zelk"), 9912, 3, 0));
    EXPECT_TRUE(second.Post(second.FindWindowByTitle("zelk"), kEndMessage, 0, 0));
    EXPECT_EQ(RunUntilEnd(windowing_, window, handler_),
              (std::vector<ChannelMessage>{{9912, 3, 0}}));
}

TEST_F(PosixWindowingTest, AStaleSocketIsReplaced) {
    {
        RawSocket dead;
        ASSERT_TRUE(dead.Bind(folder_ / "zelk"));
    }
    ASSERT_TRUE(IsSocket(folder_ / "zelk"));
    EXPECT_EQ(windowing_.FindWindowByTitle("zelk"), kNoWindow) << "nobody receives there";

    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing_.OpenWindow("zelk", &handler_, &window), kOk);
    PosixWindowing peer(folder_.path());
    ASSERT_TRUE(peer.Post(peer.FindWindowByTitle("zelk"), kEndMessage, 0, 0));
    EXPECT_TRUE(RunUntilEnd(windowing_, window, handler_).empty());
}

TEST_F(PosixWindowingTest, AFileThatIsNoSocketIsLeftAlone) {
    std::ofstream(folder_ / "zelk") << "keep me";
    WindowHandle window = kNoWindow;
    EXPECT_EQ(windowing_.OpenWindow("zelk", &handler_, &window), kTitleTaken);
    std::stringstream content;
    content << std::ifstream(folder_ / "zelk").rdbuf();
    EXPECT_EQ(content.str(), "keep me");
}

TEST_F(PosixWindowingTest, PostSendsTwelveLittleEndianBytes) {
    RawSocket peer;
    ASSERT_TRUE(peer.Bind(folder_ / "Speaker"));
    const WindowHandle speaker = windowing_.FindWindowByTitle("Speaker");
    ASSERT_NE(speaker, kNoWindow);

    ASSERT_TRUE(windowing_.Post(speaker, 9914, 7, -1));
    ASSERT_TRUE(windowing_.Post(speaker, 9912, 10, 0x63F));
    EXPECT_EQ(peer.Receive(),
              (std::vector<uint8_t>{0xBA, 0x26, 0, 0, 7, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(peer.Receive(),
              (std::vector<uint8_t>{0xB8, 0x26, 0, 0, 10, 0, 0, 0, 0x3F, 0x06, 0, 0}));
    EXPECT_TRUE(peer.Receive().empty());
}

TEST_F(PosixWindowingTest, ReceiverTakesOnlyTwelveByteDatagrams) {
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing_.OpenWindow("zelk", &handler_, &window), kOk);
    const std::string path = folder_ / "zelk";
    RawSocket peer;

    std::vector<uint8_t> longer = Bytes(9912, 4332, 2201);
    longer.push_back(0);
    std::vector<uint8_t> shorter = Bytes(9912, 4332, 2201);
    shorter.pop_back();
    const std::vector<std::vector<uint8_t>> sent = {
        {},
        shorter,
        Bytes(9912, 3, 0),
        longer,
        std::vector<uint8_t>(24, 0x11),
        Bytes(0x0111, 1003, 0),
        {0xB8},
        Bytes(kEndMessage, 0, 0),
    };
    for (const auto& bytes : sent)
        ASSERT_EQ(peer.SendTo(path, bytes), static_cast<ssize_t>(bytes.size()));

    EXPECT_EQ(RunUntilEnd(windowing_, window, handler_),
              (std::vector<ChannelMessage>{{9912, 3, 0}, {0x0111, 1003, 0}}));
}

TEST_F(PosixWindowingTest, ReceiverDropsTimerMessagesFromOutside) {
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing_.OpenWindow("zelk", &handler_, &window), kOk);
    RawSocket peer;
    ASSERT_EQ(peer.SendTo(folder_ / "zelk", Bytes(kWmTimer, 30309, 0)), 12);
    ASSERT_EQ(peer.SendTo(folder_ / "zelk", Bytes(kEndMessage, 0, 0)), 12);
    EXPECT_TRUE(RunUntilEnd(windowing_, window, handler_).empty());
}

TEST_F(PosixWindowingTest, ReceiverDropsOtherUsersDatagrams) {
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing_.OpenWindow("zelk", &handler_, &window), kOk);
    const std::string path = folder_ / "zelk";
    RawSocket peer;
    const ucred stranger{::getpid(), 65534, 65534};
    if (peer.SendWith(path, Bytes(9912, 4332, 1634), stranger) < 0)
        GTEST_SKIP() << "only a privileged user can send as another user";
    const ucred own{::getpid(), ::getuid(), ::getgid()};
    ASSERT_EQ(peer.SendWith(path, Bytes(9912, 4332, 2201), own), 12);
    ASSERT_EQ(peer.SendTo(path, Bytes(kEndMessage, 0, 0)), 12);
    EXPECT_EQ(RunUntilEnd(windowing_, window, handler_),
              (std::vector<ChannelMessage>{{9912, 4332, 2201}}));
}

TEST_F(PosixWindowingTest, DescriptorsPassedAlongAreClosed) {
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing_.OpenWindow("zelk", &handler_, &window), kOk);
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK), 0);
    RawSocket peer;
    const ucred own{::getpid(), ::getuid(), ::getgid()};
    ASSERT_EQ(peer.SendWith(folder_ / "zelk", Bytes(9912, 3, 0), own, pipeEnds[1]), 12);
    ::close(pipeEnds[1]);
    ASSERT_EQ(peer.SendTo(folder_ / "zelk", Bytes(kEndMessage, 0, 0)), 12);
    EXPECT_EQ(RunUntilEnd(windowing_, window, handler_),
              (std::vector<ChannelMessage>{{9912, 3, 0}}));
    // Every write end is closed, the received copy included: the pipe reads as ended.
    char byte;
    EXPECT_EQ(::read(pipeEnds[0], &byte, 1), 0);
    ::close(pipeEnds[0]);
}

TEST_F(PosixWindowingTest, AFullQueueMakesPostFailAndLosesNothingQueued) {
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing_.OpenWindow("zelk", &handler_, &window), kOk);
    constexpr uint32_t kLimit = 100000;
    uint32_t posted = 0;
    while (posted < kLimit && windowing_.Post(window, 9912, posted, 0))
        ++posted;
    ASSERT_GT(posted, 0u);
    ASSERT_LT(posted, kLimit) << "the queue never filled";
    EXPECT_FALSE(windowing_.Post(window, 9912, posted, 0));

    handler_.react = [&](const ChannelMessage&) {
        if (handler_.received.size() == posted)
            windowing_.EndModal(window, 1);
    };
    EXPECT_EQ(windowing_.RunModal(window), 1);
    ASSERT_EQ(handler_.received.size(), posted);
    for (uint32_t i = 0; i < posted; ++i)
        EXPECT_EQ(handler_.received[i].wParam, i);
    EXPECT_TRUE(windowing_.Post(window, 9912, 0, 0)) << "room again once taken";
}

TEST_F(PosixWindowingTest, ControlStatesAreReadableFromAnotherProcessView) {
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing_.OpenWindow("zelk", &handler_, &window), kOk);
    PosixWindowing peer(folder_.path());
    const WindowHandle found = peer.FindWindowByTitle("zelk");
    ASSERT_NE(found, kNoWindow);
    EXPECT_TRUE(peer.IsControlEnabled(found, 1001)) << "enabled until disabled";

    windowing_.EnableControl(window, 1001, false);
    windowing_.EnableControl(window, 1002, true);
    EXPECT_FALSE(windowing_.IsControlEnabled(window, 1001));
    EXPECT_TRUE(windowing_.IsControlEnabled(window, 1002));
    EXPECT_TRUE(windowing_.IsControlEnabled(window, 1003));
    EXPECT_FALSE(peer.IsControlEnabled(found, 1001));
    EXPECT_TRUE(peer.IsControlEnabled(found, 1002));
    EXPECT_TRUE(peer.IsControlEnabled(found, 1003));

    std::map<int, bool> controls;
    ASSERT_TRUE(ReadControlState(ControlStatePath(folder_.path(), "zelk"), &controls));
    EXPECT_EQ(controls, (std::map<int, bool>{{1001, false}, {1002, true}}));
    std::stringstream content;
    content << std::ifstream(ControlStatePath(folder_.path(), "zelk")).rdbuf();
    EXPECT_EQ(content.str(), "1001 disabled\n1002 enabled\n");

    peer.EnableControl(found, 1002, false);  // not the peer's window to change
    EXPECT_TRUE(windowing_.IsControlEnabled(window, 1002));
    EXPECT_FALSE(peer.IsControlEnabled(kNoWindow, 1001));

    windowing_.CloseWindow(window);
    EXPECT_FALSE(Exists(ControlStatePath(folder_.path(), "zelk")));
}

TEST_F(PosixWindowingTest, AStateLeftByAnEarlierHolderIsDropped) {
    ASSERT_TRUE(WriteControlState(ControlStatePath(folder_.path(), "zelk"), {{1001, false}}));
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing_.OpenWindow("zelk", &handler_, &window), kOk);
    EXPECT_FALSE(Exists(ControlStatePath(folder_.path(), "zelk")));
    PosixWindowing peer(folder_.path());
    EXPECT_TRUE(peer.IsControlEnabled(peer.FindWindowByTitle("zelk"), 1001));
}

TEST_F(PosixWindowingTest, ClosingTheWindowFromItsOwnLoopEndsTheLoop) {
    WindowHandle window = kNoWindow;
    ASSERT_EQ(windowing_.OpenWindow("zelk", &handler_, &window), kOk);
    handler_.react = [&](const ChannelMessage&) { windowing_.CloseWindow(window); };
    ASSERT_TRUE(windowing_.Post(window, kWmClose, 0, 0));
    EXPECT_EQ(windowing_.RunModal(window), -1);
    EXPECT_FALSE(Exists(folder_ / "zelk"));
    EXPECT_EQ(windowing_.RunModal(window), -1);
    EXPECT_FALSE(windowing_.Post(window, 9912, 0, 0));
}

TEST_F(PosixWindowingTest, OnlyItsOwnWindowsRunALoop) {
    RawSocket other;
    ASSERT_TRUE(other.Bind(folder_ / "Speaker"));
    EXPECT_EQ(windowing_.RunModal(windowing_.FindWindowByTitle("Speaker")), -1);
    EXPECT_EQ(windowing_.RunModal(kNoWindow), -1);
    EXPECT_FALSE(windowing_.SetTimer(windowing_.FindWindowByTitle("Speaker"), 1, 10));
}

}  // namespace
}  // namespace zelk::posix
