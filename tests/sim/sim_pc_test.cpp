#include "platform/sim/sim_pc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace zelk::sim {
namespace {

std::string Narrow(const std::u16string& text) {
    std::string narrow;
    for (char16_t c : text)
        narrow.push_back(static_cast<char>(c));
    return narrow;
}

std::string DeviceName(zelk::WaveOut& out, uint32_t id) {
    uint32_t bytes = 0;
    EXPECT_EQ(out.QueryInterfaceSize(id, &bytes), kMmNoError);
    std::vector<char16_t> name(bytes / 2 + 1);
    EXPECT_EQ(out.QueryInterfaceName(id, name.data(), bytes), kMmNoError);
    return Narrow(name.data());
}

WaveFormatExtensible SevenOne() {
    return ExtensibleFormat(8, 48000, 16, 0x63F);
}

WaveFormatExtensible MicFormat() {
    WaveFormatExtensible format;
    format.wFormatTag = kWaveFormatPcm;
    format.nChannels = 2;
    format.nSamplesPerSec = 48000;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 4;
    format.nAvgBytesPerSec = 192000;
    return format;
}

TEST(SimPcTest, DefaultMachineOffersTheCodecBesideAnotherMakersDevices) {
    SimPc pc;
    const Platform platform = pc.platform();
    EXPECT_EQ(platform.coreAudio, &pc.audio());
    EXPECT_EQ(platform.waveOut, &pc.waveOut());
    EXPECT_EQ(platform.waveIn, &pc.waveIn());
    EXPECT_EQ(platform.sync, &pc.sync());
    EXPECT_EQ(platform.windowing, nullptr);
    EXPECT_EQ(platform.files, nullptr);
    EXPECT_TRUE(pc.sync().IsVirtual());

    ASSERT_EQ(pc.waveOut().GetDeviceCount(), 2u);
    ASSERT_EQ(pc.waveIn().GetDeviceCount(), 2u);
    EXPECT_EQ(DeviceName(pc.waveOut(), 0).find("ven_10ec"), std::string::npos);
    EXPECT_NE(DeviceName(pc.waveOut(), 1).find("hdaudio#func_01&ven_10ec&dev_0899&subsys_10ec0899"),
              std::string::npos);
    EXPECT_EQ(pc.waveOut().devices()[1].room, &pc.room());
    EXPECT_EQ(pc.waveIn().devices()[1].room, &pc.room());
    EXPECT_EQ(pc.waveIn().devices()[0].room, nullptr);
    EXPECT_GE(pc.renderEndpoint(), 0);
    EXPECT_GE(pc.captureEndpoint(), 0);

    SimPcOptions options;
    options.codecWaveDevices = false;
    SimPc without(options);
    EXPECT_EQ(without.waveOut().GetDeviceCount(), 1u);
    options.codecWaveDevices = true;
    options.otherMakerFirst = false;
    options.codecDevice = 0x0892;
    options.audio = SimAudioSystemBuilder().AddCodec(0x0892);
    SimPc other(options);
    EXPECT_NE(DeviceName(other.waveOut(), 0).find("ven_10ec&dev_0892"), std::string::npos);
    EXPECT_GE(other.renderEndpoint(), 0);
}

// Plays the front-left channel through the codec's wave-out device and records the microphone,
// comparing each step with what the codec's current levels and the room give.
class SimPcRoomTest : public ::testing::Test {
  protected:
    static constexpr int16_t kValue = 8000;

    SimPcRoomTest() : pc(Options()) {}

    static SimPcOptions Options() {
        SimPcOptions options;
        options.room.noiseAmplitude = 0.0;
        options.room.latencyBlocks = 1;
        return options;
    }

    struct Recorded {
        std::mutex mutex;
        std::vector<int16_t> firstSamples;  // first sample of the first channel, per block
        std::vector<int16_t> secondChannel;
    };

    static void OnCapture(uint32_t message, void* instance, WaveHeader* header) {
        if (message != kWimData || header->bytesRecorded < 4)
            return;
        auto* recorded = static_cast<Recorded*>(instance);
        int16_t frame[2];
        std::memcpy(frame, header->data, 4);
        std::lock_guard lock(recorded->mutex);
        recorded->firstSamples.push_back(frame[0]);
        recorded->secondChannel.push_back(frame[1]);
    }

    int16_t Predicted() {
        float speakerDb = 0.0f;
        float micDb = 0.0f;
        if (!pc.audio().RenderPathDb(pc.renderEndpoint(), 0, &speakerDb) ||
            !pc.audio().CapturePathDb(pc.captureEndpoint(), &micDb)) {
            return 0;
        }
        const double heard =
            kValue / 32768.0 * std::pow(10.0, speakerDb / 20.0) * pc.room().options().couplings[0];
        const double value = std::pow(10.0, micDb / 20.0) * 32768.0 * heard;
        return static_cast<int16_t>(std::clamp(std::round(value), -32768.0, 32767.0));
    }

    SimPc pc;
};

TEST_F(SimPcRoomTest, TheMicrophoneHearsTheCodecsSpeakersThroughTheirLevels) {
    Recorded recorded;
    std::array<std::vector<uint8_t>, 8> recordBuffers;
    std::array<WaveHeader, 8> recordHeaders;
    std::unique_ptr<WaveInDevice> mic;
    ASSERT_EQ(pc.waveIn().Open(1, MicFormat(), &SimPcRoomTest::OnCapture, &recorded, &mic),
              kMmNoError);
    for (size_t i = 0; i < recordHeaders.size(); ++i) {
        recordBuffers[i].resize(1920);
        recordHeaders[i].data = recordBuffers[i].data();
        recordHeaders[i].bufferLength = 1920;
        ASSERT_EQ(mic->Prepare(&recordHeaders[i]), kMmNoError);
        ASSERT_EQ(mic->AddBuffer(&recordHeaders[i]), kMmNoError);
    }
    ASSERT_EQ(mic->Start(), kMmNoError);

    // Front left only; the other channels carry a value that must not be heard while their
    // speakers are down.
    std::vector<uint8_t> block(7680);
    for (size_t frame = 0; frame < 480; ++frame) {
        const int16_t samples[8] = {kValue, 0, 0, 0, 0, 0, 0, 0};
        std::memcpy(block.data() + frame * 16, samples, 16);
    }
    WaveHeader header;
    header.data = block.data();
    header.bufferLength = 7680;
    auto ignore = [](uint32_t, void*, WaveHeader*) {};
    std::unique_ptr<WaveOutDevice> speakers;
    ASSERT_EQ(pc.waveOut().Open(1, SevenOne(), ignore, nullptr, &speakers), kMmNoError);
    ASSERT_EQ(speakers->Prepare(&header), kMmNoError);

    auto playOneStep = [&] {
        EXPECT_EQ(speakers->Write(&header), kMmNoError);
        pc.AdvanceMs(10);  // played now, heard at the next step
    };
    std::vector<int16_t> predicted;
    const std::string front = "render" + std::to_string(pc.renderEndpoint()) + ".front";
    const std::string masterMute =
        "render" + std::to_string(pc.renderEndpoint()) + "." + kPartMasterMute;
    const std::string micVolume =
        "capture" + std::to_string(pc.captureEndpoint()) + "." + kPartMicVolume;
    for (float level : {0.0f, -6.0f, -20.0f}) {
        ASSERT_TRUE(pc.audio().SetPartLevel(front, 0, level));
        predicted.push_back(Predicted());
        playOneStep();
    }
    ASSERT_TRUE(pc.audio().SetPartMuted(masterMute, true));
    predicted.push_back(Predicted());
    playOneStep();
    ASSERT_TRUE(pc.audio().SetPartMuted(masterMute, false));
    ASSERT_TRUE(pc.audio().SetPartLevel(micVolume, 0, 6.0f));
    predicted.push_back(Predicted());
    playOneStep();
    pc.AdvanceMs(10);

    {
        std::lock_guard lock(recorded.mutex);
        // The first block was recorded at the step the first block was played.
        ASSERT_EQ(recorded.firstSamples.size(), predicted.size() + 1);
        EXPECT_EQ(recorded.firstSamples[0], 0);
        for (size_t i = 0; i < predicted.size(); ++i)
            EXPECT_EQ(recorded.firstSamples[i + 1], predicted[i]) << "step " << i;
        EXPECT_GT(predicted[0], predicted[1]);
        EXPECT_EQ(predicted[3], 0);  // master muted
        EXPECT_NE(predicted[4], 0);
        for (int16_t sample : recorded.secondChannel)
            EXPECT_EQ(sample, 0);
    }
    ASSERT_EQ(mic->Reset(), kMmNoError);
    EXPECT_EQ(mic->Close(), kMmNoError);
    EXPECT_EQ(speakers->Close(), kMmNoError);
}

// Real time: the same devices run along the steady clock. Only sanity, no timing.
TEST(SimPcRealTimeTest, DevicesReturnBlocksAsTheSteadyClockRuns) {
    SimPcOptions options;
    options.clockMode = SimPcOptions::ClockMode::kRealTime;
    SimPc pc(options);
    EXPECT_FALSE(pc.sync().IsVirtual());

    struct Done {
        std::atomic<int> count{0};
        std::unique_ptr<Event> event;
    } done;
    done.event = pc.sync().NewEvent(false, false);
    auto onDone = [](uint32_t message, void* instance, WaveHeader*) {
        if (message != kWomDone)
            return;
        auto* self = static_cast<Done*>(instance);
        self->count.fetch_add(1);
        self->event->Set();
    };
    std::array<std::vector<uint8_t>, 3> buffers;
    std::array<WaveHeader, 3> headers;
    std::unique_ptr<WaveOutDevice> speakers;
    ASSERT_EQ(pc.waveOut().Open(1, SevenOne(), onDone, &done, &speakers), kMmNoError);
    for (size_t i = 0; i < headers.size(); ++i) {
        buffers[i].assign(7680, 0);
        headers[i].data = buffers[i].data();
        headers[i].bufferLength = 7680;
        ASSERT_EQ(speakers->Prepare(&headers[i]), kMmNoError);
        ASSERT_EQ(speakers->Write(&headers[i]), kMmNoError);
    }
    while (done.count.load() < 3)
        ASSERT_TRUE(done.event->Wait(5000));
    EXPECT_GT(pc.clock().NowUs(), 0);
    EXPECT_EQ(speakers->Close(), kMmNoError);
}

}  // namespace
}  // namespace zelk::sim
