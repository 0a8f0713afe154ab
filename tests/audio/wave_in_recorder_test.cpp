#include "audio/wave_in_recorder.h"

#include <gtest/gtest.h>

#include <ostream>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "failing_allocation.h"
#include "fake_wave_devices.h"
#include "support/fake_sync.h"

namespace zelk {
namespace {

constexpr uint16_t kVendor = 0x10EC;
constexpr uint16_t kDevice = 0x0899;

// 480 stereo frames; the first channel at level, the second silent.
std::vector<int16_t> Frames(int16_t level) {
    std::vector<int16_t> samples(960, 0);
    for (size_t n = 0; n < 480; ++n)
        samples[2 * n] = static_cast<int16_t>(n % 2 == 0 ? level : -level);
    return samples;
}

struct Detection {
    int32_t pending = -1, low = -1, medium = -1, high = -1;
    bool operator==(const Detection&) const = default;
};

class WaveInRecorderTest : public ::testing::Test {
  public:
    WaveInRecorderTest() {
        waveIn.names = {
            u"\\\\?\\hdaudio#func_01&ven_8086&dev_2812&subsys_80860101#4&1&0001#{65e8773d}",
            u"\\\\?\\hdaudio#func_01&ven_10ec&dev_0899&subsys_10438436#4&2&0001#{65e8773d}",
        };
        platform.waveIn = &waveIn;
        platform.sync = &sync;
        // Time passes while Stop sleeps: the device fills a block.
        sync.SetOnSleep([this] { waveIn.CaptureOne(Frames(0)); });
        recorder = std::make_unique<WaveInRecorder>(platform);
    }

    // The device fills one block and the worker has dealt with it.
    void Capture(int16_t level) {
        ASSERT_TRUE(waveIn.CaptureOne(Frames(level)));
        sync.WaitUntilIdle();
    }
    Detection Take() {
        Detection d;
        recorder->TakeDetection(&d.pending, &d.low, &d.medium, &d.high);
        return d;
    }

    testing::FakeSync sync;
    testing::FakeWaveIn waveIn;
    Platform platform;
    std::unique_ptr<WaveInRecorder> recorder;
};

TEST_F(WaveInRecorderTest, CapturesSixteenBitStereoInSixtyFourBlocks) {
    ASSERT_EQ(recorder->Start(kVendor, kDevice), kOk);
    EXPECT_EQ(waveIn.OpenedId(), 1u);
    const WaveFormatExtensible format = waveIn.OpenedFormat();
    EXPECT_EQ(format.wFormatTag, kWaveFormatPcm);
    EXPECT_EQ(format.nChannels, 2);
    EXPECT_EQ(format.nSamplesPerSec, 48000u);
    EXPECT_EQ(format.nAvgBytesPerSec, 192000u);
    EXPECT_EQ(format.nBlockAlign, 4);
    EXPECT_EQ(format.wBitsPerSample, 16);
    EXPECT_EQ(format.cbSize, 0);
    EXPECT_TRUE(waveIn.Started());
    EXPECT_EQ(waveIn.QueuedLengths(), std::vector<uint32_t>(64, 1920u));

    // Returned blocks go back to the device in ring order.
    for (int i = 0; i < 70; ++i)
        Capture(0);
    const std::vector<uintptr_t> log = waveIn.QueueLog();
    ASSERT_EQ(log.size(), 134u);
    for (size_t i = 0; i < log.size(); ++i)
        ASSERT_EQ(log[i], i % 64) << "hand-over " << i;
}

TEST_F(WaveInRecorderTest, ArmedDetectorExaminesTheNextBlock) {
    ASSERT_EQ(recorder->Start(kVendor, kDevice), kOk);
    recorder->ArmDetection(kBandLow);
    Capture(12000);
    EXPECT_EQ(Take(), (Detection{0, 1, 0, 0}));
    EXPECT_EQ(Take(), (Detection{0, 0, 0, 0}));

    // Blocks taken while nothing is armed go back unexamined.
    Capture(32000);
    EXPECT_EQ(Take(), (Detection{0, 0, 0, 0}));

    // One arming examines exactly one block.
    recorder->ArmDetection(kBandHigh);
    Capture(100);
    Capture(32000);
    EXPECT_EQ(Take(), (Detection{0, 0, 0, 0}));

    // A request taken before any block came is cancelled: the next block is not examined.
    recorder->ArmDetection(kBandMedium);
    EXPECT_EQ(Take(), (Detection{1, 0, 0, 0}));
    Capture(32000);
    EXPECT_EQ(Take(), (Detection{0, 0, 0, 0}));
    recorder->Stop();
}

TEST_F(WaveInRecorderTest, DetectorOutlivesStopAndStart) {
    recorder->SetDetectionThresholds(20, 30, 50);
    ASSERT_EQ(recorder->Start(kVendor, kDevice), kOk);
    recorder->Stop();
    recorder->ArmDetection(kBandLow);
    ASSERT_EQ(recorder->Start(kVendor, kDevice), kOk);
    // 7000 is above the Low threshold of 20 percent (6553), below the default 10000.
    Capture(7000);
    EXPECT_EQ(Take(), (Detection{0, 1, 0, 0}));
}

TEST_F(WaveInRecorderTest, StopWaitsForTheBlocksTheDeviceHolds) {
    ASSERT_EQ(recorder->Start(kVendor, kDevice), kOk);
    Capture(0);
    Capture(0);
    recorder->Stop();
    // The device filled the 64 blocks it held; none was handed back meanwhile.
    EXPECT_EQ(sync.Sleeps(), 64);
    EXPECT_EQ(waveIn.QueueLog().size(), 66u);
    EXPECT_EQ(waveIn.Resets(), 0);
    EXPECT_EQ(waveIn.Unprepared(), 64);
    EXPECT_FALSE(waveIn.IsOpen());
    EXPECT_EQ(sync.LiveThreads(), 0);
    EXPECT_EQ(sync.TimedOutWaits(), 0);
    recorder->Stop();
    recorder->Shutdown();
    EXPECT_EQ(sync.Sleeps(), 64);
}

TEST_F(WaveInRecorderTest, StopResetsADeviceThatNeverFillsItsBlocks) {
    ASSERT_EQ(recorder->Start(kVendor, kDevice), kOk);
    sync.SetOnSleep(nullptr);
    recorder->Stop();
    // Far longer than the ring's 640 ms first; then the device is made to return them.
    EXPECT_GE(sync.Sleeps(), 5000);
    EXPECT_EQ(waveIn.Resets(), 1);
    EXPECT_EQ(waveIn.Unprepared(), 64);
    EXPECT_FALSE(waveIn.IsOpen());
}

TEST_F(WaveInRecorderTest, StopOfARecorderThatNeverStartedDoesNothing) {
    recorder->Stop();
    recorder->Shutdown();
    EXPECT_EQ(sync.Sleeps(), 0);
    EXPECT_EQ(waveIn.OpenCount(), 0);
}

TEST_F(WaveInRecorderTest, WithoutAWorkerStartStillSucceeds) {
    sync.SetFailThreads(true);
    ASSERT_EQ(recorder->Start(kVendor, kDevice), kOk);
    recorder->ArmDetection(kBandLow);
    ASSERT_TRUE(waveIn.CaptureOne(Frames(32000)));
    EXPECT_EQ(Take(), (Detection{1, 0, 0, 0}));
    recorder->Stop();
    EXPECT_EQ(sync.TimedOutWaits(), 0);
    EXPECT_FALSE(waveIn.IsOpen());
}

struct FailureCase {
    const char* name;
    std::function<void(testing::FakeWaveIn&)> setUp;
    uint16_t device;
    int resets;  // a device holding blocks it will never fill is reset to get them back
};

const FailureCase kFailures[] = {
    {"NoDeviceAtAll", [](auto& in) { in.names.clear(); }, kDevice, 0},
    {"NoDeviceOfTheCodec", [](auto&) {}, 0x0662, 0},
    {"DeviceDoesNotOpen", [](auto& in) { in.openResult = kMmBadDeviceId; }, kDevice, 0},
    // Two interface names are fetched before the buffers: block 3's buffer fails.
    {"BufferCannotBeAllocated",
     [](auto&) { testing::FailNothrowAllocation(testing::AllocationForm::kArray, 2 + 3); }, kDevice,
     1},
    {"PrepareFails", [](auto& in) { in.failPrepareAt = 7; }, kDevice, 1},
    {"HandOverFails", [](auto& in) { in.failQueueAt = 10; }, kDevice, 1},
    {"CaptureDoesNotStart", [](auto& in) { in.startResult = kMmError; }, kDevice, 1},
};

class RecorderFailureTest : public WaveInRecorderTest,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RecorderFailureTest, FailsAndLeavesNothingOpen) {
    const FailureCase& c = GetParam();
    c.setUp(waveIn);
    EXPECT_EQ(recorder->Start(kVendor, c.device), kFail);
    testing::AllowAllocations();
    EXPECT_FALSE(waveIn.IsOpen());
    EXPECT_EQ(waveIn.QueuedCount(), 0u);
    EXPECT_EQ(waveIn.Prepared(), waveIn.Unprepared());
    EXPECT_EQ(waveIn.Resets(), c.resets);
    EXPECT_EQ(sync.LiveThreads(), 0);
    EXPECT_EQ(sync.TimedOutWaits(), 0);
}

// ctest lists a case by its name.
void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(Failures, RecorderFailureTest, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelk
