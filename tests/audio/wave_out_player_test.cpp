#include "audio/wave_out_player.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/sine_wave_source.h"
#include "failing_allocation.h"
#include "fake_wave_devices.h"
#include "support/fake_sync.h"
#include "support/memory_files.h"
#include "support/wav_bytes.h"

namespace zelk {
namespace {

using testing::Bytes;
using testing::Chunk;
using testing::ExtensibleFormatBody;
using testing::Pattern;
using testing::PlainFormat;
using testing::Riff;

constexpr uint16_t kVendor = 0x10EC;
constexpr uint16_t kDevice = 0x0892;
constexpr double kFrequency = 261.63;
constexpr char kWavPath[] = "C:\\tones\\test.wav";

constexpr char kNoDevice[] = "None Wave Out device is found!";
constexpr char kNoMemory[] = "Memory resource is not enough!";
constexpr char kBadFormat[] = "The application does not support the source wave format!";
constexpr char kCannotOpen[] = "Cannot open the Wave-Out device!";

// The bytes a sine source plays for the given number of blocks.
Bytes ReferenceSine(uint16_t channels, size_t blocks) {
    WaveFormatExtensible format;
    format.nChannels = channels;
    format.nSamplesPerSec = 48000;
    format.wBitsPerSample = 16;
    format.SubFormat = kSubtypePcm;
    SineWaveSource source(format, kFrequency);
    const uint32_t length = channels * 960u;
    Bytes out(blocks * length);
    for (size_t b = 0; b < blocks; ++b)
        EXPECT_EQ(source.Read(out.data() + b * length, length), kOk);
    return out;
}

class WaveOutPlayerTest : public ::testing::Test {
  public:
    WaveOutPlayerTest() {
        waveOut.names = {
            u"\\\\?\\hdaudio#func_01&ven_8086&dev_2812&subsys_80860101#4&1&0001#{6994ad04}",
            u"",
            u"\\\\?\\hdaudio#func_01&ven_10ec&dev_0892&subsys_10438436#4&2&0001#{6994ad04}",
            u"\\\\?\\hdaudio#func_01&ven_10ec&dev_0892&subsys_10438436#4&2&0002#{6994ad04}",
        };
        platform.waveOut = &waveOut;
        platform.sync = &sync;
        platform.files = &files;
        // Time passes while Stop sleeps: the device plays a block.
        sync.SetOnSleep([this] { waveOut.CompleteOne(); });
        player = std::make_unique<WaveOutPlayer>(platform);
    }

    bool StartSine(uint16_t channels, uint32_t mask, uint16_t vendor = kVendor) {
        return player->Start(info, kDevice, vendor, 1, channels, mask, nullptr, error, kFrequency);
    }
    bool StartWav(const Bytes& file) {
        files.files[u"C:\\tones\\test.wav"] = file;
        return player->Start(info, kDevice, kVendor, 0, 2, 3, kWavPath, error, kFrequency);
    }
    // Plays blocks one after the other, each refilled before the next comes back.
    void Play(int blocks) {
        for (int i = 0; i < blocks; ++i) {
            ASSERT_TRUE(waveOut.CompleteOne());
            sync.WaitUntilIdle();
        }
    }

    testing::FakeSync sync;
    testing::FakeWaveOut waveOut;
    testing::MemoryFiles files;
    Platform platform;
    char info[kPlayerTextLength] = "untouched";
    char error[kPlayerTextLength] = "untouched";
    std::unique_ptr<WaveOutPlayer> player;
};

TEST_F(WaveOutPlayerTest, SineOnEightChannelsPlaysTheSameSampleEverywhere) {
    ASSERT_TRUE(StartSine(8, 0xFF));
    EXPECT_STREQ(info, "8 Channels, 48000 Hz, 16 bits per sample");
    EXPECT_STREQ(error, "untouched");
    // The first device whose name holds VEN_10EC&DEV_0892.
    EXPECT_EQ(waveOut.OpenedId(), 2u);
    const WaveFormatExtensible format = waveOut.OpenedFormat();
    EXPECT_EQ(format.wFormatTag, kWaveFormatExtensible);
    EXPECT_EQ(format.nChannels, 8);
    EXPECT_EQ(format.nSamplesPerSec, 48000u);
    EXPECT_EQ(format.wBitsPerSample, 16);
    EXPECT_EQ(format.wValidBitsPerSample, 16);
    EXPECT_EQ(format.nBlockAlign, 16);
    EXPECT_EQ(format.nAvgBytesPerSec, 768000u);
    EXPECT_EQ(format.cbSize, 22);
    EXPECT_EQ(format.dwChannelMask, 0x63Fu);
    EXPECT_EQ(format.SubFormat, kSubtypePcm);

    // Primed: 64 blocks of 480 frames went to the device before any came back.
    EXPECT_EQ(waveOut.QueuedCount(), 64u);
    EXPECT_EQ(waveOut.QueuedLengths(), std::vector<uint32_t>(64, 7680u));
    Play(1);
    const Bytes played = waveOut.Completed();
    ASSERT_EQ(played.size(), 7680u);
    for (size_t frame = 0; frame < 480; ++frame) {
        int16_t samples[8];
        std::memcpy(samples, played.data() + frame * 16, 16);
        for (int c = 1; c < 8; ++c)
            ASSERT_EQ(samples[c], samples[0]) << "frame " << frame;
    }
    EXPECT_EQ(played, ReferenceSine(8, 1));
}

struct LayoutCase {
    const char* name;
    bool sine;
    uint16_t sineChannels;
    uint32_t sineMask;
    std::function<Bytes()> file;
    size_t dataSize;  // of the file
    uint32_t blockLength;
    uint32_t openedMask;
};

Bytes FileWith(const Bytes& format, size_t dataSize) {
    return Riff({Chunk("fmt ", format), Chunk("data", Pattern(dataSize))});
}

const LayoutCase kLayouts[] = {
    {"SineStereo", true, 2, 0x3, nullptr, 0, 1920, 0x3},
    {"SineSixChannels", true, 6, 0x3F, nullptr, 0, 5760, 0x3F},
    {"Wav44100Stereo", false, 0, 0, [] { return FileWith(PlainFormat(1, 2, 44100, 16), 200000); },
     200000, 1764, 0x3},
    // 441 bytes: blocks end inside a frame and the next block goes on from there.
    {"Wav22050Mono", false, 0, 0, [] { return FileWith(PlainFormat(1, 1, 22050, 16), 50001); },
     50001, 441, 0x4},
    {"WavEightChannelsAllMask", false, 0, 0,
     [] { return FileWith(ExtensibleFormatBody(8, 48000, 16, 0xFF), 700000); }, 700000, 7680,
     0x63F},
    // 17280 bytes, more than the usual 15360-byte buffer: the buffers grow to fit.
    {"Wav96kSixChannels24Bit", false, 0, 0,
     [] { return FileWith(ExtensibleFormatBody(6, 96000, 24, 0x3F), 1500000); }, 1500000, 17280,
     0x3F},
};

class PlayerLayoutTest : public WaveOutPlayerTest,
                         public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(PlayerLayoutTest, PlaysTheWholeStreamInBlocksOfTenMilliseconds) {
    const LayoutCase& c = GetParam();
    ASSERT_TRUE(c.sine ? StartSine(c.sineChannels, c.sineMask) : StartWav(c.file()));
    EXPECT_EQ(waveOut.OpenedFormat().dwChannelMask, c.openedMask);
    // Up to 100 blocks come back; a file may run dry before.
    for (int i = 0; i < 100 && waveOut.CompleteOne(); ++i)
        sync.WaitUntilIdle();
    player->Stop();
    EXPECT_FALSE(waveOut.IsOpen());

    const std::vector<uint32_t> lengths = waveOut.QueuedLengths();
    EXPECT_EQ(lengths, std::vector<uint32_t>(lengths.size(), c.blockLength));
    const Bytes played = waveOut.Completed();
    ASSERT_EQ(played.size(), lengths.size() * c.blockLength);
    if (c.sine) {
        EXPECT_EQ(lengths.size(), 164u);
        EXPECT_EQ(played, ReferenceSine(c.sineChannels, 164));
    } else {
        // The whole file's data, then silence up to the end of the last block.
        EXPECT_EQ(lengths.size(), (c.dataSize + c.blockLength - 1) / c.blockLength);
        const Bytes data = Pattern(c.dataSize);
        const size_t compared = std::min(played.size(), data.size());
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(compared),
                               played.begin()));
        for (size_t i = compared; i < played.size(); ++i)
            ASSERT_EQ(played[i], 0) << "byte " << i;
    }
}

// ctest lists a case by its name.
void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(Layouts, PlayerLayoutTest, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

struct SkippedDeviceCase {
    const char* name;
    std::function<void(testing::FakeWaveOut&)> setUp;
};

const SkippedDeviceCase kSkippedDevices[] = {
    // The first allocation goes to the other maker's name, the second to the codec's first device.
    {"NameCannotBeAllocated",
     [](auto&) { testing::FailNothrowAllocation(testing::AllocationForm::kArray, 1); }},
    // A name of more than 64 KiB is no interface name: nothing that large is allocated for it.
    {"NameSizeIsAbsurd", [](auto& out) { out.reportedSizes[2] = 0x10002; }},
};

class PlayerSkippedDeviceTest : public WaveOutPlayerTest,
                                public ::testing::WithParamInterface<SkippedDeviceCase> {};

TEST_P(PlayerSkippedDeviceTest, TheCodecsNextDeviceIsOpened) {
    GetParam().setUp(waveOut);
    ASSERT_TRUE(StartSine(2, 0x3));
    testing::AllowAllocations();
    EXPECT_EQ(waveOut.OpenedId(), 3u);
    player->Stop();
}

// ctest lists a case by its name.
void PrintTo(const SkippedDeviceCase& c, std::ostream* os) {
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(Devices, PlayerSkippedDeviceTest, ::testing::ValuesIn(kSkippedDevices),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WaveOutPlayerTest, RefillsStrictlyInRingOrder) {
    ASSERT_TRUE(StartSine(2, 0x3));
    // Block 1 comes back first: it waits until block 0 has been refilled.
    ASSERT_TRUE(waveOut.CompleteBlock(1));
    sync.WaitUntilIdle();
    EXPECT_EQ(waveOut.QueueLog().size(), 64u);
    ASSERT_TRUE(waveOut.CompleteBlock(0));
    sync.WaitUntilIdle();
    Play(64);
    std::vector<uintptr_t> expected;
    for (uintptr_t i = 0; i < 64; ++i)
        expected.push_back(i);
    expected.push_back(0);
    expected.push_back(1);
    for (uintptr_t i = 2; i < 64; ++i)
        expected.push_back(i);
    expected.push_back(0);
    expected.push_back(1);
    EXPECT_EQ(waveOut.QueueLog(), expected);
}

TEST_F(WaveOutPlayerTest, BlockReturnedWhileStartHandsOverIsRefilled) {
    // Block 0 has played before Start has handed over the other 63.
    waveOut.returnAtQueue = 0;
    ASSERT_TRUE(StartSine(2, 0x3));
    sync.WaitUntilIdle();
    std::vector<uintptr_t> log = waveOut.QueueLog();
    ASSERT_EQ(log.size(), 65u);
    EXPECT_EQ(log[64], 0u);
    Play(1);
    log = waveOut.QueueLog();
    ASSERT_EQ(log.size(), 66u);
    EXPECT_EQ(log[65], 1u);
    player->Stop();
}

TEST_F(WaveOutPlayerTest, StopResetsADeviceThatNeverGivesItsBlocksBack) {
    ASSERT_TRUE(StartSine(2, 0x3));
    sync.SetOnSleep(nullptr);
    player->Stop();
    // Far longer than the ring's 640 ms first; then the device is made to return them.
    EXPECT_GE(sync.Sleeps(), 5000);
    EXPECT_EQ(waveOut.Resets(), 1);
    EXPECT_EQ(waveOut.Unprepared(), 64);
    EXPECT_FALSE(waveOut.IsOpen());
}

TEST_F(WaveOutPlayerTest, StopLetsTheQueuedBlocksPlayOutAndWritesNoMore) {
    ASSERT_TRUE(StartSine(2, 0x3));
    Play(10);
    EXPECT_EQ(waveOut.QueueLog().size(), 74u);
    player->Stop();
    EXPECT_EQ(waveOut.QueueLog().size(), 74u);
    EXPECT_EQ(waveOut.Completed().size(), 74u * 1920u);
    EXPECT_EQ(sync.Sleeps(), 64);
    EXPECT_EQ(waveOut.Resets(), 0);
    EXPECT_EQ(waveOut.Prepared(), 64);
    EXPECT_EQ(waveOut.Unprepared(), 64);
    EXPECT_FALSE(waveOut.IsOpen());
    EXPECT_EQ(sync.LiveThreads(), 0);
    EXPECT_EQ(sync.TimedOutWaits(), 0);
    // Stop and Shutdown may come again.
    player->Stop();
    player->Shutdown();
    player->Shutdown();
    EXPECT_EQ(sync.Sleeps(), 64);
}

TEST_F(WaveOutPlayerTest, ShortFileIsQueuedWholeByStartAndTheWorkerEnds) {
    // 100 ms of 44100 Hz stereo: 10 blocks of data, 54 of silence.
    ASSERT_TRUE(StartWav(FileWith(PlainFormat(1, 2, 44100, 16), 17640)));
    EXPECT_STREQ(info, "2 Channels, 44100 Hz, 16 bits per sample");
    sync.WaitUntilIdle();
    EXPECT_EQ(sync.LiveThreads(), 0);
    Play(5);
    EXPECT_EQ(waveOut.QueueLog().size(), 64u);
    player->Stop();
    EXPECT_EQ(sync.TimedOutWaits(), 0);
    Bytes expected = Pattern(17640);
    expected.resize(64 * 1764, 0);
    EXPECT_EQ(waveOut.Completed(), expected);
    EXPECT_EQ(files.OpenStreams(), 0);
}

TEST_F(WaveOutPlayerTest, WithoutAWorkerThePrimedBlocksPlayOnce) {
    sync.SetFailThreads(true);
    ASSERT_TRUE(StartSine(2, 0x3));
    for (int i = 0; i < 64; ++i)
        ASSERT_TRUE(waveOut.CompleteOne());
    EXPECT_EQ(waveOut.QueueLog().size(), 64u);
    player->Stop();
    // Nothing to wait for: Stop does not sit out the worker wait.
    EXPECT_EQ(sync.TimedOutWaits(), 0);
    EXPECT_FALSE(waveOut.IsOpen());
}

TEST_F(WaveOutPlayerTest, StopOfAPlayerThatNeverStartedDoesNothing) {
    player->Stop();
    player->Shutdown();
    EXPECT_EQ(sync.Sleeps(), 0);
    EXPECT_EQ(waveOut.OpenCount(), 0);
}

TEST_F(WaveOutPlayerTest, StartingAgainStopsWhatPlays) {
    ASSERT_TRUE(StartSine(2, 0x3));
    Play(3);
    ASSERT_TRUE(StartSine(6, 0x3F));
    EXPECT_EQ(waveOut.OpenCount(), 2);
    EXPECT_EQ(waveOut.Unprepared(), 64);
    EXPECT_EQ(waveOut.Completed().size(), 67u * 1920u);
    EXPECT_EQ(waveOut.QueuedCount(), 64u);
    EXPECT_EQ(waveOut.OpenedFormat().nChannels, 6);
    Play(1);
    player->Stop();
}

struct FailureCase {
    const char* name;
    std::function<void(testing::FakeWaveOut&)> setUp;
    std::function<bool(WaveOutPlayerTest&)> start;
    const char* message;  // null: the error text is left alone
    int streamsLeftOpen;  // by the failed start, until the next Stop
};

class PlayerFailureTest : public WaveOutPlayerTest,
                          public ::testing::WithParamInterface<FailureCase> {};

const FailureCase kFailures[] = {
    {"SourceCannotBeAllocated",
     [](auto&) { testing::FailNothrowAllocation(testing::AllocationForm::kSingle); },
     [](auto& t) { return t.StartSine(2, 0x3); }, kNoMemory, 0},
    // Two interface names are fetched before the buffers: block 5's buffer fails.
    {"BufferCannotBeAllocated",
     [](auto&) { testing::FailNothrowAllocation(testing::AllocationForm::kArray, 2 + 5); },
     [](auto& t) { return t.StartSine(2, 0x3); }, nullptr, 0},
    {"NoDeviceAtAll", [](auto& out) { out.names.clear(); },
     [](auto& t) { return t.StartSine(2, 0x3); }, kNoDevice, 0},
    {"MissingFile", [](auto&) {},
     [](auto& t) {
         return t.player->Start(t.info, kDevice, kVendor, 0, 2, 3, "C:\\none.wav", t.error, 1.0);
     },
     kBadFormat, 0},
    {"InconsistentFileFormat", [](auto&) {},
     [](auto& t) {
         Bytes format = PlainFormat(1, 2, 44100, 16);
         format[8] ^= 1;  // nAvgBytesPerSec off by one
         return t.StartWav(FileWith(format, 4000));
     },
     kBadFormat, 0},
    {"SineWithoutChannels", [](auto&) {},
     [](auto& t) {
         return t.player->Start(t.info, kDevice, kVendor, 1, 0, 0, nullptr, t.error, 1.0);
     },
     kBadFormat, 0},
    {"NoDeviceOfTheCodec", [](auto&) {},
     [](auto& t) {
         return t.player->Start(t.info, 0x0662, kVendor, 0, 2, 3, kWavPath, t.error, 1.0);
     },
     kCannotOpen, 1},
    {"DeviceDoesNotOpen", [](auto& out) { out.openResult = kMmNoMemory; },
     [](auto& t) { return t.StartWav(FileWith(PlainFormat(1, 2, 44100, 16), 4000)); }, kCannotOpen,
     1},
    {"PrepareFails", [](auto& out) { out.failPrepareAt = 5; },
     [](auto& t) { return t.StartSine(2, 0x3); }, nullptr, 0},
    {"FirstHandOverFails", [](auto& out) { out.failQueueAt = 3; },
     [](auto& t) { return t.StartSine(2, 0x3); }, nullptr, 0},
    {"PrimingReadFails", [](auto&) {},
     [](auto& t) {
         // The data chunk claims 20000 bytes; 3000 are there.
         return t.StartWav(Riff(
             {Chunk("fmt ", PlainFormat(1, 2, 44100, 16)), Chunk("data", Pattern(3000), 20000)}));
     },
     nullptr, 0},
};

TEST_P(PlayerFailureTest, FailsWithItsMessageAndLeavesNothingOpen) {
    const FailureCase& c = GetParam();
    files.files[u"C:\\tones\\test.wav"] = FileWith(PlainFormat(1, 2, 44100, 16), 4000);
    c.setUp(waveOut);
    EXPECT_FALSE(c.start(*this));
    testing::AllowAllocations();
    EXPECT_STREQ(error, c.message != nullptr ? c.message : "untouched");
    EXPECT_STREQ(info, "untouched");
    EXPECT_FALSE(waveOut.IsOpen());
    EXPECT_EQ(waveOut.QueuedCount(), 0u);
    EXPECT_EQ(waveOut.Prepared(), waveOut.Unprepared());
    EXPECT_EQ(sync.ThreadsAsked(), 0);
    EXPECT_EQ(files.OpenStreams(), c.streamsLeftOpen);
    player->Stop();
    EXPECT_EQ(files.OpenStreams(), 0);
}

// ctest lists a case by its name.
void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(Failures, PlayerFailureTest, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelk
