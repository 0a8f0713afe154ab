#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/sim_sync.h"
#include "platform/sim/sim_wave_in.h"
#include "platform/sim/sim_wave_out.h"
#include "platform/sim/virtual_clock.h"

namespace zelk::sim {
namespace {

WaveFormatExtensible PcmFormat(uint16_t channels, uint32_t rate, uint16_t bits) {
    WaveFormatExtensible format;
    format.wFormatTag = kWaveFormatPcm;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    format.nAvgBytesPerSec = format.nBlockAlign * rate;
    return format;
}

// What the device called back, as the test's instance records it.
struct Callbacks {
    struct Entry {
        uint32_t message;
        uintptr_t user;
        int64_t atUs;
        std::thread::id thread;
        uint32_t flags;
        uint32_t bytesRecorded;
    };

    static void Record(uint32_t message, void* instance, WaveHeader* header) {
        auto* self = static_cast<Callbacks*>(instance);
        Entry entry{message, 0, self->clock->NowUs(), std::this_thread::get_id(), 0, 0};
        if (header != nullptr) {
            entry.user = header->user;
            entry.flags = header->flags;
            entry.bytesRecorded = header->bytesRecorded;
        }
        std::lock_guard lock(self->mutex);
        self->entries.push_back(entry);
        if (self->onDone && header != nullptr)
            self->onDone(header);
    }

    std::vector<Entry> Taken() {
        std::lock_guard lock(mutex);
        return std::exchange(entries, {});
    }

    VirtualClock* clock = nullptr;
    std::mutex mutex;
    std::vector<Entry> entries;
    std::function<void(WaveHeader*)> onDone;
};

constexpr char16_t kCodecSpeaker[] =
    u"\\\\?\\hdaudio#func_01&ven_10ec&dev_0899&subsys_10ec0899&rev_1000#4&2c3c8a7d&0&0001#"
    u"{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\speaker";

class SimWaveDeviceTest : public ::testing::Test {
  protected:
    static constexpr int kBlocks = 4;

    SimWaveDeviceTest() {
        callbacks.clock = &clock;
        for (int i = 0; i < kBlocks; ++i) {
            buffers[i].assign(1920, static_cast<uint8_t>(i + 1));
            headers[i].data = buffers[i].data();
            headers[i].bufferLength = 1920;
            headers[i].user = static_cast<uintptr_t>(i);
        }
    }

    std::unique_ptr<WaveOutDevice> OpenOut(const WaveFormatExtensible& format) {
        std::unique_ptr<WaveOutDevice> device;
        EXPECT_EQ(out.Open(0, format, &Callbacks::Record, &callbacks, &device), kMmNoError);
        return device;
    }
    std::unique_ptr<WaveInDevice> OpenIn() {
        std::unique_ptr<WaveInDevice> device;
        EXPECT_EQ(in.Open(0, PcmFormat(2, 48000, 16), &Callbacks::Record, &callbacks, &device),
                  kMmNoError);
        return device;
    }

    VirtualClock clock;
    SimSync sync{clock};
    SimWaveOut out{clock, sync, {{kCodecSpeaker, 8, nullptr, ""}, {u"", 2, nullptr, ""}}};
    SimWaveIn in{clock, sync, {{u"usb#vid_046d&pid_0a44\\global", 2, nullptr, ""}}};
    Callbacks callbacks;
    std::array<std::vector<uint8_t>, kBlocks> buffers;
    std::array<WaveHeader, kBlocks> headers;
};

TEST_F(SimWaveDeviceTest, RenderReturnsOneBlockPerStepInOrderOnItsOwnThread) {
    clock.AdvanceBy(3'000);
    auto device = OpenOut(PcmFormat(2, 48000, 16));
    ASSERT_TRUE(device);
    auto opened = callbacks.Taken();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].message, kWomOpen);
    EXPECT_EQ(opened[0].thread, std::this_thread::get_id());
    EXPECT_EQ(out.OpenStreams(), 1);

    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(device->Prepare(&headers[i]), kMmNoError);
        ASSERT_EQ(device->Write(&headers[i]), kMmNoError);
        EXPECT_EQ(headers[i].flags, kWaveHeaderPrepared | kWaveHeaderInQueue);
    }
    clock.AdvanceBy(6'999);
    EXPECT_TRUE(callbacks.Taken().empty());
    clock.AdvanceBy(1);  // the first step falls on the 10 ms grid
    auto first = callbacks.Taken();
    clock.AdvanceBy(30'000);
    auto rest = callbacks.Taken();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(rest.size(), 2u);
    const std::thread::id deviceThread = first[0].thread;
    EXPECT_NE(deviceThread, std::this_thread::get_id());
    const std::array<Callbacks::Entry, 3> done = {first[0], rest[0], rest[1]};
    for (size_t i = 0; i < done.size(); ++i) {
        EXPECT_EQ(done[i].message, kWomDone);
        EXPECT_EQ(done[i].user, i);
        EXPECT_EQ(done[i].atUs, 10'000 * static_cast<int64_t>(i + 1));
        EXPECT_EQ(done[i].thread, deviceThread);
        EXPECT_EQ(done[i].flags, kWaveHeaderPrepared | kWaveHeaderDone);
    }

    EXPECT_EQ(device->Close(), kMmNoError);
    auto closed = callbacks.Taken();
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].message, kWomClose);
    EXPECT_EQ(closed[0].thread, std::this_thread::get_id());
    EXPECT_EQ(out.OpenStreams(), 0);
    EXPECT_EQ(device->Close(), kMmInvalidHandle);
    EXPECT_EQ(device->Write(&headers[3]), kMmInvalidHandle);
}

TEST_F(SimWaveDeviceTest, CaptureFillsBlocksOnlyOnceStartedAndResetReturnsTheRest) {
    auto device = OpenIn();
    ASSERT_TRUE(device);
    EXPECT_EQ(callbacks.Taken().size(), 1u);  // the open message
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(device->Prepare(&headers[i]), kMmNoError);
        ASSERT_EQ(device->AddBuffer(&headers[i]), kMmNoError);
    }
    clock.AdvanceBy(20'000);
    EXPECT_TRUE(callbacks.Taken().empty());

    ASSERT_EQ(device->Start(), kMmNoError);
    clock.AdvanceBy(10'000);
    auto filled = callbacks.Taken();
    ASSERT_EQ(filled.size(), 1u);
    EXPECT_EQ(filled[0].message, kWimData);
    EXPECT_EQ(filled[0].atUs, 30'000);
    EXPECT_EQ(filled[0].bytesRecorded, 1920u);
    EXPECT_NE(filled[0].thread, std::this_thread::get_id());
    // A device outside the room records silence.
    EXPECT_TRUE(
        std::all_of(buffers[0].begin(), buffers[0].end(), [](uint8_t b) { return b == 0; }));

    // Reset returns the two waiting blocks, unfilled, before it returns.
    EXPECT_EQ(device->Unprepare(&headers[1]), kWaveStillPlaying);
    EXPECT_EQ(device->Close(), kWaveStillPlaying);
    ASSERT_EQ(device->Reset(), kMmNoError);
    auto returned = callbacks.Taken();
    ASSERT_EQ(returned.size(), 2u);
    EXPECT_EQ(returned[0].user, 1u);
    EXPECT_EQ(returned[1].user, 2u);
    EXPECT_EQ(returned[0].bytesRecorded, 0u);
    EXPECT_EQ(returned[1].flags, kWaveHeaderPrepared | kWaveHeaderDone);

    // Reset stopped capture: a block added now waits.
    ASSERT_EQ(device->AddBuffer(&headers[0]), kMmNoError);
    clock.AdvanceBy(50'000);
    EXPECT_TRUE(callbacks.Taken().empty());
    ASSERT_EQ(device->Reset(), kMmNoError);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(device->Unprepare(&headers[i]), kMmNoError);
    EXPECT_EQ(device->Close(), kMmNoError);
}

TEST_F(SimWaveDeviceTest, RenderResetReturnsEveryQueuedBlockAndPlaybackGoesOn) {
    auto device = OpenOut(PcmFormat(2, 48000, 16));
    for (int i = 0; i < kBlocks; ++i) {
        ASSERT_EQ(device->Prepare(&headers[i]), kMmNoError);
        ASSERT_EQ(device->Write(&headers[i]), kMmNoError);
    }
    callbacks.Taken();
    clock.AdvanceBy(10'000);
    EXPECT_EQ(callbacks.Taken().size(), 1u);
    ASSERT_EQ(device->Reset(), kMmNoError);
    auto returned = callbacks.Taken();
    ASSERT_EQ(returned.size(), 3u);
    for (size_t i = 0; i < returned.size(); ++i)
        EXPECT_EQ(returned[i].user, i + 1);
    ASSERT_EQ(device->Write(&headers[0]), kMmNoError);
    clock.AdvanceBy(10'000);
    EXPECT_EQ(callbacks.Taken().size(), 1u);
    EXPECT_EQ(device->Close(), kMmNoError);
}

struct MisuseCase {
    const char* name;
    std::function<MmResult(WaveOutDevice&, WaveHeader*)> act;
    MmResult expected;
};

TEST_F(SimWaveDeviceTest, RefusesMisuseAsThePlatformDoes) {
    const std::vector<MisuseCase> cases = {
        {"write unprepared", [](WaveOutDevice& d, WaveHeader* h) { return d.Write(h); },
         kWaveUnprepared},
        {"write twice",
         [](WaveOutDevice& d, WaveHeader* h) {
             d.Prepare(h);
             d.Write(h);
             return d.Write(h);
         },
         kWaveStillPlaying},
        {"unprepare queued",
         [](WaveOutDevice& d, WaveHeader* h) {
             d.Prepare(h);
             d.Write(h);
             return d.Unprepare(h);
         },
         kWaveStillPlaying},
        {"close with a queued block",
         [](WaveOutDevice& d, WaveHeader* h) {
             d.Prepare(h);
             d.Write(h);
             return d.Close();
         },
         kWaveStillPlaying},
        {"prepare null", [](WaveOutDevice& d, WaveHeader*) { return d.Prepare(nullptr); },
         kMmInvalidParam},
        {"write null", [](WaveOutDevice& d, WaveHeader*) { return d.Write(nullptr); },
         kMmInvalidParam},
        {"unprepare never prepared", [](WaveOutDevice& d, WaveHeader* h) { return d.Unprepare(h); },
         kMmNoError},
    };
    for (const MisuseCase& c : cases) {
        auto device = OpenOut(PcmFormat(2, 48000, 16));
        ASSERT_TRUE(device);
        WaveHeader header;
        header.data = buffers[0].data();
        header.bufferLength = 1920;
        EXPECT_EQ(c.act(*device, &header), c.expected) << c.name;
        device->Reset();
        device->Unprepare(&header);
        EXPECT_EQ(device->Close(), kMmNoError) << c.name;
    }
    EXPECT_EQ(out.OpenStreams(), 0);
}

struct FormatCase {
    const char* name;
    WaveFormatExtensible format;
    bool render;
    bool capture;
};

WaveFormatExtensible Broken(WaveFormatExtensible format,
                            const std::function<void(WaveFormatExtensible&)>& change) {
    change(format);
    return format;
}

TEST_F(SimWaveDeviceTest, OpenChecksTheFormat) {
    const std::vector<FormatCase> cases = {
        {"pcm 16 stereo 48k", PcmFormat(2, 48000, 16), true, true},
        {"pcm 16 mono 48k", PcmFormat(1, 48000, 16), true, true},
        {"pcm 8 mono 22050", PcmFormat(1, 22050, 8), true, false},
        {"pcm 24 6ch 96k", PcmFormat(6, 96000, 24), true, false},
        {"pcm 32 stereo", PcmFormat(2, 48000, 32), true, false},
        {"pcm 16 stereo 44100", PcmFormat(2, 44100, 16), true, false},
        {"float 32 stereo",
         Broken(PcmFormat(2, 48000, 32),
                [](WaveFormatExtensible& f) { f.wFormatTag = kWaveFormatIeeeFloat; }),
         true, false},
        {"float 16",
         Broken(PcmFormat(2, 48000, 16),
                [](WaveFormatExtensible& f) { f.wFormatTag = kWaveFormatIeeeFloat; }),
         false, false},
        {"extensible 7.1", ExtensibleFormat(8, 48000, 16, 0x63F, kSubtypePcm), true, false},
        {"extensible float", ExtensibleFormat(2, 48000, 32, 0x3, kSubtypeIeeeFloat), true, false},
        {"extensible unknown subtype", ExtensibleFormat(2, 48000, 16, 0x3, Guid{}), false, false},
        {"extensible short cbSize",
         Broken(ExtensibleFormat(2, 48000, 16, 0x3, kSubtypePcm),
                [](WaveFormatExtensible& f) { f.cbSize = 0; }),
         false, false},
        {"valid bits above container",
         Broken(ExtensibleFormat(2, 48000, 16, 0x3, kSubtypePcm),
                [](WaveFormatExtensible& f) { f.wValidBitsPerSample = 24; }),
         false, false},
        {"nine channels", PcmFormat(9, 48000, 16), false, false},
        {"three channels capture", PcmFormat(3, 48000, 16), true, false},
        {"12 bits", PcmFormat(2, 48000, 12), false, false},
        {"rate zero", PcmFormat(2, 0, 16), false, false},
        {"wrong block align",
         Broken(PcmFormat(2, 48000, 16), [](WaveFormatExtensible& f) { f.nBlockAlign = 2; }), false,
         false},
        {"wrong byte rate",
         Broken(PcmFormat(2, 48000, 16), [](WaveFormatExtensible& f) { f.nAvgBytesPerSec = 1; }),
         false, false},
    };
    for (const FormatCase& c : cases) {
        std::unique_ptr<WaveOutDevice> render;
        EXPECT_EQ(out.Open(0, c.format, &Callbacks::Record, &callbacks, &render),
                  c.render ? kMmNoError : kWaveBadFormat)
            << c.name;
        EXPECT_EQ(render != nullptr, c.render) << c.name;
        if (render) {
            EXPECT_EQ(render->Close(), kMmNoError);
        }
        std::unique_ptr<WaveInDevice> capture;
        EXPECT_EQ(in.Open(0, c.format, &Callbacks::Record, &callbacks, &capture),
                  c.capture ? kMmNoError : kWaveBadFormat)
            << c.name;
        if (capture) {
            EXPECT_EQ(capture->Close(), kMmNoError);
        }
    }
    // The second render device takes two channels at most.
    std::unique_ptr<WaveOutDevice> device;
    EXPECT_EQ(out.Open(1, PcmFormat(6, 48000, 16), &Callbacks::Record, &callbacks, &device),
              kWaveBadFormat);
    EXPECT_EQ(out.Open(2, PcmFormat(2, 48000, 16), &Callbacks::Record, &callbacks, &device),
              kMmBadDeviceId);
    EXPECT_EQ(out.Open(0, PcmFormat(2, 48000, 16), &Callbacks::Record, &callbacks, nullptr),
              kMmInvalidParam);
    EXPECT_EQ(out.OpenStreams(), 0);
}

TEST_F(SimWaveDeviceTest, InterfaceNamesAreReportedAsThePlatformDoes) {
    EXPECT_EQ(out.GetDeviceCount(), 2u);
    uint32_t bytes = 0;
    ASSERT_EQ(out.QueryInterfaceSize(0, &bytes), kMmNoError);
    const std::u16string expected = kCodecSpeaker;
    EXPECT_EQ(bytes, (expected.size() + 1) * 2);
    std::vector<char16_t> name(bytes / 2 + 16, u'x');
    ASSERT_EQ(out.QueryInterfaceName(0, name.data(), bytes), kMmNoError);
    EXPECT_EQ(std::u16string(name.data()), expected);
    EXPECT_EQ(out.QueryInterfaceName(0, name.data(), bytes - 2), kMmInvalidParam);
    EXPECT_EQ(out.QueryInterfaceSize(0, nullptr), kMmInvalidParam);
    // A device without an interface name reports size 0.
    ASSERT_EQ(out.QueryInterfaceSize(1, &bytes), kMmNoError);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(out.QueryInterfaceSize(2, &bytes), kMmBadDeviceId);
    EXPECT_EQ(in.QueryInterfaceSize(1, &bytes), kMmBadDeviceId);
}

TEST_F(SimWaveDeviceTest, EachStepSettlesAWorkerThatRefillsOnTheCallbacksEvent) {
    // A worker as the player has one: the callback marks the block and signals; the worker
    // writes the returned blocks back in ring order.
    auto wake = sync.NewEvent(false, false);
    std::array<std::atomic<bool>, kBlocks> done{};
    std::atomic<bool> run{true};
    int refills = 0;  // written by the worker only; read after a settle
    callbacks.onDone = [&](WaveHeader* header) {
        done[header->user].store(true);
        wake->Set();
    };
    auto device = OpenOut(PcmFormat(2, 48000, 16));
    for (auto& header : headers) {
        ASSERT_EQ(device->Prepare(&header), kMmNoError);
        ASSERT_EQ(device->Write(&header), kMmNoError);
    }
    auto worker = sync.StartThread([&] {
        size_t next = 0;
        while (wake->Wait(kWaitForever) && run.load()) {
            while (done[next].exchange(false)) {
                device->Write(&headers[next]);
                ++refills;
                next = (next + 1) % kBlocks;
            }
        }
    });
    for (int step = 1; step <= 100; ++step) {
        clock.AdvanceBy(10'000);
        ASSERT_EQ(refills, step);
    }
    // Reset, too, returns only once the worker has dealt with every block it gave back.
    ASSERT_EQ(device->Reset(), kMmNoError);
    EXPECT_EQ(refills, 100 + kBlocks);
    run.store(false);
    wake->Set();
    worker->Join();
    ASSERT_EQ(device->Reset(), kMmNoError);
    EXPECT_EQ(device->Close(), kMmNoError);
}

TEST_F(SimWaveDeviceTest, PlannedFailuresHitTheChosenCallOnly) {
    auto device = OpenOut(PcmFormat(2, 48000, 16));
    out.FailNext(WaveOp::kQueue, kMmNoMemory, 1);
    out.FailNext(WaveOp::kOpen, kMmError);
    for (auto& header : headers)
        ASSERT_EQ(device->Prepare(&header), kMmNoError);
    EXPECT_EQ(device->Write(&headers[0]), kMmNoError);
    EXPECT_EQ(device->Write(&headers[1]), kMmNoMemory);
    EXPECT_EQ(headers[1].flags, kWaveHeaderPrepared);
    EXPECT_EQ(device->Write(&headers[1]), kMmNoError);
    std::unique_ptr<WaveOutDevice> second;
    EXPECT_EQ(out.Open(0, PcmFormat(2, 48000, 16), &Callbacks::Record, &callbacks, &second),
              kMmError);
    EXPECT_EQ(second, nullptr);

    in.FailNext(WaveOp::kStart, kMmError);
    auto capture = OpenIn();
    EXPECT_EQ(capture->Start(), kMmError);
    EXPECT_EQ(capture->Start(), kMmNoError);
    EXPECT_EQ(capture->Close(), kMmNoError);
    device->Reset();
}

TEST_F(SimWaveDeviceTest, ADroppedHandleReturnsItsBlocksAndCloses) {
    auto device = OpenOut(PcmFormat(2, 48000, 16));
    for (int i = 0; i < 2; ++i) {
        device->Prepare(&headers[i]);
        device->Write(&headers[i]);
    }
    callbacks.Taken();
    device.reset();
    auto entries = callbacks.Taken();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].message, kWomDone);
    EXPECT_EQ(entries[1].message, kWomDone);
    EXPECT_EQ(entries[2].message, kWomClose);
    EXPECT_EQ(out.OpenStreams(), 0);
    clock.AdvanceBy(100'000);  // no step of the closed device runs any more
    EXPECT_TRUE(callbacks.Taken().empty());
}

// Capture as devices give it, through a room whose center speaker alone reaches the microphone at
// 0 dB, without noise: a render stream of mono blocks, each holding its own constant, is heard
// sample for sample.
class CaptureInTheRoomTest : public ::testing::Test {
  protected:
    class FlatLevels : public CodecLevels {
      public:
        bool RenderPathDb(int32_t, int32_t, float* db) const override {
            *db = 0.0f;
            return true;
        }
        bool CapturePathDb(int32_t, float* db) const override {
            *db = 0.0f;
            return true;
        }
    };

    static RoomOptions Options(int32_t jitter, uint64_t seed, double noise = 0.0) {
        RoomOptions options;
        options.couplings = {0, 0, 0, 0, 0, 1.0, 0, 0};
        options.noiseAmplitude = noise;
        options.latencyBlocks = 1;
        options.latencyJitterBlocks = jitter;
        options.jitterSeed = seed;
        return options;
    }

    static constexpr int kCaptured = 40;

    // Plays kCaptured blocks of value 100 × (k + 1) and records kCaptured blocks from time 0 on:
    // what came back, in the order it came.
    static std::vector<Callbacks::Entry> PlayAndRecord(const RoomOptions& options,
                                                       std::vector<int16_t>* firstSamples) {
        VirtualClock clock;
        SimSync sync(clock);
        FlatLevels levels;
        Room room(levels, 0, 0, options);
        SimWaveOut out(clock, sync, {{u"speaker", 8, &room, ""}});
        SimWaveIn in(clock, sync, {{u"microphone", 2, &room, ""}});
        Callbacks played;
        Callbacks recorded;
        played.clock = &clock;
        recorded.clock = &clock;
        std::unique_ptr<WaveOutDevice> speaker;
        std::unique_ptr<WaveInDevice> microphone;
        EXPECT_EQ(out.Open(0, PcmFormat(1, 48000, 16), &Callbacks::Record, &played, &speaker),
                  kMmNoError);
        EXPECT_EQ(in.Open(0, PcmFormat(2, 48000, 16), &Callbacks::Record, &recorded, &microphone),
                  kMmNoError);
        std::vector<std::vector<int16_t>> playing(kCaptured);
        std::vector<std::vector<int16_t>> recording(kCaptured);
        std::vector<WaveHeader> outHeaders(kCaptured);
        std::vector<WaveHeader> inHeaders(kCaptured);
        for (int k = 0; k < kCaptured; ++k) {
            playing[k].assign(Room::kSamplesPerStep, static_cast<int16_t>(100 * (k + 1)));
            outHeaders[k].data = reinterpret_cast<uint8_t*>(playing[k].data());
            outHeaders[k].bufferLength = Room::kSamplesPerStep * 2;
            recording[k].assign(Room::kSamplesPerStep * 2, -1);
            inHeaders[k].data = reinterpret_cast<uint8_t*>(recording[k].data());
            inHeaders[k].bufferLength = Room::kSamplesPerStep * 4;
            inHeaders[k].user = static_cast<uintptr_t>(k);
            EXPECT_EQ(speaker->Prepare(&outHeaders[k]), kMmNoError);
            EXPECT_EQ(speaker->Write(&outHeaders[k]), kMmNoError);
            EXPECT_EQ(microphone->Prepare(&inHeaders[k]), kMmNoError);
            EXPECT_EQ(microphone->AddBuffer(&inHeaders[k]), kMmNoError);
        }
        EXPECT_EQ(microphone->Start(), kMmNoError);
        clock.AdvanceBy((kCaptured + 5) * kDeviceStepUs);
        std::vector<Callbacks::Entry> entries = recorded.Taken();
        firstSamples->clear();
        for (const auto& block : recording)
            firstSamples->push_back(block[0]);
        EXPECT_EQ(microphone->Reset(), kMmNoError);
        EXPECT_EQ(speaker->Reset(), kMmNoError);
        for (int k = 0; k < kCaptured; ++k) {
            EXPECT_EQ(microphone->Unprepare(&inHeaders[k]), kMmNoError);
            EXPECT_EQ(speaker->Unprepare(&outHeaders[k]), kMmNoError);
        }
        EXPECT_EQ(microphone->Close(), kMmNoError);
        EXPECT_EQ(speaker->Close(), kMmNoError);
        entries.erase(entries.begin());  // the open message
        return entries;
    }
};

TEST_F(CaptureInTheRoomTest, JitterDelaysBlocksInOrderWithoutLosingAudio) {
    std::vector<int16_t> heard;
    const auto blocks = PlayAndRecord(Options(3, 5), &heard);
    ASSERT_EQ(blocks.size(), static_cast<size_t>(kCaptured));
    int late = 0;
    int64_t previous = 0;
    for (int k = 0; k < kCaptured; ++k) {
        SCOPED_TRACE(k);
        // In order, whole, each holding the step that filled it: block k is filled at step k + 1
        // and hears step k, when render block k - 1 played.
        EXPECT_EQ(blocks[k].message, kWimData);
        EXPECT_EQ(blocks[k].user, static_cast<uintptr_t>(k));
        EXPECT_EQ(blocks[k].bytesRecorded, Room::kSamplesPerStep * 4);
        EXPECT_EQ(heard[static_cast<size_t>(k)], k == 0 ? 0 : 100 * k);
        // Late by 0 to 3 steps, never before an earlier block.
        const int64_t filledUs = (k + 1) * kDeviceStepUs;
        EXPECT_GE(blocks[k].atUs, filledUs);
        EXPECT_LE(blocks[k].atUs, filledUs + 3 * kDeviceStepUs);
        EXPECT_GE(blocks[k].atUs, previous);
        previous = blocks[k].atUs;
        late += blocks[k].atUs > filledUs ? 1 : 0;
    }
    EXPECT_GT(late, 5);
    EXPECT_LT(late, kCaptured);

    // The same seed gives the same arrivals; another seed others; no jitter, every block at once.
    std::vector<int16_t> again;
    auto times = [](const std::vector<Callbacks::Entry>& entries) {
        std::vector<int64_t> at;
        for (const auto& entry : entries)
            at.push_back(entry.atUs);
        return at;
    };
    EXPECT_EQ(times(PlayAndRecord(Options(3, 5), &again)), times(blocks));
    EXPECT_EQ(again, heard);
    EXPECT_NE(times(PlayAndRecord(Options(3, 6), &again)), times(blocks));
    EXPECT_EQ(again, heard);
    const auto prompt = times(PlayAndRecord(Options(0, 5), &again));
    for (int k = 0; k < kCaptured; ++k)
        EXPECT_EQ(prompt[static_cast<size_t>(k)], (k + 1) * kDeviceStepUs);
    EXPECT_EQ(again, heard);
}

TEST_F(CaptureInTheRoomTest, ResetReturnsTheBlockBeingFilledWithWhatWasRecorded) {
    VirtualClock clock;
    SimSync sync(clock);
    FlatLevels levels;
    Room room(levels, 0, 0, Options(0, 1, 50.0));
    SimWaveIn in(clock, sync, {{u"microphone", 2, &room, ""}});
    Callbacks callbacks;
    callbacks.clock = &clock;
    std::unique_ptr<WaveInDevice> device;
    ASSERT_EQ(in.Open(0, PcmFormat(2, 48000, 16), &Callbacks::Record, &callbacks, &device),
              kMmNoError);
    struct Case {
        int64_t intoStepUs;
        uint32_t bytes;
    };
    // 48 frames of 4 bytes a millisecond; at a step's very start nothing is recorded yet.
    for (const Case& c : {Case{2'500, 480}, Case{9'990, 1916}, Case{0, 0}, Case{20, 0}}) {
        SCOPED_TRACE(c.intoStepUs);
        std::array<std::vector<int16_t>, 3> buffers;
        std::array<WaveHeader, 3> headers{};
        for (size_t i = 0; i < headers.size(); ++i) {
            buffers[i].assign(Room::kSamplesPerStep * 2, 0);
            headers[i].data = reinterpret_cast<uint8_t*>(buffers[i].data());
            headers[i].bufferLength = Room::kSamplesPerStep * 4;
            ASSERT_EQ(device->Prepare(&headers[i]), kMmNoError);
            ASSERT_EQ(device->AddBuffer(&headers[i]), kMmNoError);
        }
        callbacks.Taken();
        ASSERT_EQ(device->Start(), kMmNoError);
        // To the next step, which fills the first block, then into the following step.
        clock.AdvanceBy(kDeviceStepUs - clock.NowUs() % kDeviceStepUs);
        clock.AdvanceBy(c.intoStepUs);
        ASSERT_EQ(device->Reset(), kMmNoError);
        const auto returned = callbacks.Taken();
        ASSERT_EQ(returned.size(), 3u);
        EXPECT_EQ(returned[0].bytesRecorded, Room::kSamplesPerStep * 4);
        EXPECT_EQ(returned[1].bytesRecorded, c.bytes);
        EXPECT_LT(returned[1].bytesRecorded, headers[1].bufferLength);
        EXPECT_EQ(returned[2].bytesRecorded, 0u);
        // The short block holds the microphone's noise in what it recorded, and nothing after.
        const size_t samples = c.bytes / 2;
        EXPECT_EQ(std::count(buffers[1].begin(), buffers[1].begin() + static_cast<long>(samples),
                             int16_t{0}) < static_cast<long>(samples) ||
                      samples == 0,
                  true);
        EXPECT_TRUE(std::all_of(buffers[1].begin() + static_cast<long>(samples), buffers[1].end(),
                                [](int16_t s) { return s == 0; }));
        for (auto& header : headers)
            ASSERT_EQ(device->Unprepare(&header), kMmNoError);
    }
    EXPECT_EQ(device->Close(), kMmNoError);
}

TEST(SimWaveDumpTest, RenderDeviceWritesWhatItPlayedToAWavFile) {
    const std::string prefix = ::testing::TempDir() + "simpc_dump";
    VirtualClock clock;
    SimSync sync(clock);
    SimWaveOut out(clock, sync, {{kCodecSpeaker, 8, nullptr, prefix}});
    Callbacks callbacks;
    callbacks.clock = &clock;
    std::vector<uint8_t> data(441);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    WaveHeader header;
    header.data = data.data();
    header.bufferLength = 441;
    std::unique_ptr<WaveOutDevice> device;
    ASSERT_EQ(out.Open(0, PcmFormat(1, 22050, 16), &Callbacks::Record, &callbacks, &device),
              kMmNoError);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(device->Prepare(&header), kMmNoError);
        ASSERT_EQ(device->Write(&header), kMmNoError);
        clock.AdvanceBy(10'000);
    }
    ASSERT_EQ(device->Close(), kMmNoError);

    std::ifstream file(prefix + "-1.wav", std::ios::binary);
    ASSERT_TRUE(file.is_open());
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 44u + 882u);
    auto u32 = [&](size_t at) {
        return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                                     bytes[at + 3] << 24);
    };
    EXPECT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);
    EXPECT_EQ(u32(4), 36u + 882u);
    EXPECT_EQ(std::memcmp(bytes.data() + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(u32(16), 16u);
    EXPECT_EQ(u32(24), 22050u);
    EXPECT_EQ(std::memcmp(bytes.data() + 36, "data", 4), 0);
    EXPECT_EQ(u32(40), 882u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), bytes.begin() + 44));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), bytes.begin() + 44 + 441));
    std::remove((prefix + "-1.wav").c_str());
}

}  // namespace
}  // namespace zelk::sim
