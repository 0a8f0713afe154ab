// Device format, engine format and speaker masks of the first render endpoint.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "endpoint/endpoint_control.h"
#include "endpoint/endpoint_test_support.h"
#include "platform/sim/sim_audio_system.h"
#include "platform/sim/sim_codec_builder.h"

namespace zelk {
namespace {

using sim::SimAudioSystemBuilder;
using test::kInjected;

bool Same(const WaveFormatExtensible& a, const WaveFormatExtensible& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

class RenderFormatTest : public ::testing::Test {
  protected:
    // The codec's speakers are endpoint 1; endpoint 0 belongs to another maker.
    void SetUp() override {
        system_ = SimAudioSystemBuilder()
                      .Add(sim::EightChannelRender(0x1002, 0xAA01))
                      .Add(sim::EightChannelRender(0x10EC, 0x0899))
                      .Build();
        control_ = std::make_unique<EndpointControl>(system_.get(), kNoWindow);
        int32_t renderKind = 0;
        int32_t captureKind = 0;
        ASSERT_EQ(control_->Open(0x10EC, 0x0899, 0, &renderKind, &captureKind), kOk);
        ASSERT_EQ(control_->FirstRenderRecord()->deviceIndex, 1);
        other_ = system_->EndpointProperty(DataFlow::kRender, 0, kKeyDeviceFormat);
    }
    void TearDown() override {
        // The other maker's endpoint is never written.
        EXPECT_EQ(system_->EndpointProperty(DataFlow::kRender, 0, kKeyDeviceFormat).blob,
                  other_.blob);
        control_.reset();
        EXPECT_EQ(system_->TotalLiveRefs(), 0) << test::HeldText(*system_);
        EXPECT_EQ(system_->OverReleases(), 0);
    }
    WaveFormatExtensible Stored(const PropertyKey& key) const {
        PropertyValue value = system_->EndpointProperty(DataFlow::kRender, 1, key);
        WaveFormatExtensible format;
        EXPECT_EQ(value.blob.size(), sizeof(format));
        std::memcpy(&format, value.blob.data(), std::min(value.blob.size(), sizeof(format)));
        return format;
    }
    const EndpointRecord& Record() const { return *control_->FirstRenderRecord(); }

    std::unique_ptr<sim::SimAudioSystem> system_;
    std::unique_ptr<EndpointControl> control_;
    PropertyValue other_;
};

TEST_F(RenderFormatTest, GetRenderFormatReadsTheDeviceFormat) {
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint16_t bits = 0;
    uint32_t mask = 0;
    ASSERT_EQ(control_->GetRenderFormat(&channels, &rate, &bits, &mask), kOk);
    EXPECT_EQ(channels, 8);
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(mask, 0x63Fu);
    EXPECT_EQ(control_->GetRenderFormat(&channels, &rate, nullptr, &mask), kFail);

    system_->Faults().FailAt("render1.store", "GetValue", 1, kInjected);
    EXPECT_EQ(control_->GetRenderFormat(&channels, &rate, &bits, &mask), kInjected);
}

TEST_F(RenderFormatTest, ShortStoredFormatLeavesTheRestZero) {
    PropertyValue value = system_->EndpointProperty(DataFlow::kRender, 1, kKeyDeviceFormat);
    value.blob.resize(18);
    system_->SetEndpointProperty(DataFlow::kRender, 1, kKeyDeviceFormat, value);
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint16_t bits = 0;
    uint32_t mask = 0xFFFF;
    ASSERT_EQ(control_->GetRenderFormat(&channels, &rate, &bits, &mask), kOk);
    EXPECT_EQ(channels, 8);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(Record().deviceFormat.cbSize, 22);
    EXPECT_EQ(Record().deviceFormat.wValidBitsPerSample, 0);
    EXPECT_EQ(Record().deviceFormat.SubFormat, Guid{});
}

struct FormatCase {
    uint32_t rate;
    uint16_t bits;
    uint16_t channels;
    uint32_t mask;
    uint16_t blockAlign;
    uint32_t bytesPerSecond;
    uint16_t validBits;
    uint16_t engineBlockAlign;
    uint32_t engineBytesPerSecond;
};

TEST_F(RenderFormatTest, SetRenderFormatWritesDeviceThenEngineFormat) {
    const FormatCase cases[] = {
        {48000, 16, 6, 0x3F, 12, 576000, 16, 24, 1152000},
        {44100, 32, 8, 0x63F, 32, 1411200, 24, 32, 1411200},
        {96000, 24, 2, 0x3, 6, 576000, 24, 8, 768000},
    };
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.bits);
        ASSERT_EQ(control_->SetRenderFormat(c.rate, c.bits, c.channels, c.mask), kOk);
        WaveFormatExtensible device = Stored(kKeyDeviceFormat);
        EXPECT_EQ(device.wFormatTag, kWaveFormatExtensible);
        EXPECT_EQ(device.cbSize, 22);
        EXPECT_EQ(device.nChannels, c.channels);
        EXPECT_EQ(device.nSamplesPerSec, c.rate);
        EXPECT_EQ(device.nBlockAlign, c.blockAlign);
        EXPECT_EQ(device.nAvgBytesPerSec, c.bytesPerSecond);
        EXPECT_EQ(device.wBitsPerSample, c.bits);
        EXPECT_EQ(device.wValidBitsPerSample, c.validBits);
        EXPECT_EQ(device.dwChannelMask, c.mask);
        EXPECT_EQ(device.SubFormat, kSubtypePcm);

        WaveFormatExtensible engine = Stored(kKeyOemFormat);
        EXPECT_EQ(engine.nChannels, c.channels);
        EXPECT_EQ(engine.nSamplesPerSec, c.rate);
        EXPECT_EQ(engine.nBlockAlign, c.engineBlockAlign);
        EXPECT_EQ(engine.nAvgBytesPerSec, c.engineBytesPerSecond);
        EXPECT_EQ(engine.wBitsPerSample, 32);
        EXPECT_EQ(engine.wValidBitsPerSample, 32);
        EXPECT_EQ(engine.dwChannelMask, c.mask);
        EXPECT_EQ(engine.SubFormat, kSubtypeIeeeFloat);
        EXPECT_TRUE(Same(Record().deviceFormat, engine));
    }
}

TEST_F(RenderFormatTest, FailedWritesStopAndKeepTheRecord) {
    const WaveFormatExtensible before = Record().deviceFormat;
    const WaveFormatExtensible engineBefore = Stored(kKeyOemFormat);
    system_->Faults().FailAt("render1.store", "SetValue", 1, kInjected);
    EXPECT_EQ(control_->SetRenderFormat(48000, 16, 6, 0x3F), kInjected);
    EXPECT_EQ(Stored(kKeyDeviceFormat).nChannels, 8);
    EXPECT_TRUE(Same(Stored(kKeyOemFormat), engineBefore));

    // The engine format's write fails: the new device format stays, the record does not change.
    system_->Faults().FailAt("render1.store", "SetValue", 2, kInjected);
    EXPECT_EQ(control_->SetRenderFormat(48000, 16, 6, 0x3F), kInjected);
    EXPECT_EQ(Stored(kKeyDeviceFormat).nChannels, 6);
    EXPECT_TRUE(Same(Stored(kKeyOemFormat), engineBefore));
    EXPECT_TRUE(Same(Record().deviceFormat, before));

    system_->Faults().FailAt("render.collection", "Item", 1, kWrongEndpointType);
    EXPECT_EQ(control_->SetRenderFormat(48000, 16, 6, 0x3F), kWrongEndpointType);
}

TEST_F(RenderFormatTest, SpeakerConfigReportsThePhysicalWrite) {
    // A refused full-range write alone is not reported.
    system_->Faults().FailAt("render1.store", "SetValue", 1, kInjected);
    EXPECT_EQ(control_->SetSpeakerConfig(0x3F, 0x3), kOk);
    EXPECT_EQ(Record().physicalSpeakers, 0x3Fu);
    EXPECT_EQ(Record().fullRangeSpeakers, 0x63Fu);
    EXPECT_EQ(system_->EndpointProperty(DataFlow::kRender, 1, kKeyPhysicalSpeakers).number, 0x3Fu);
    EXPECT_EQ(system_->EndpointProperty(DataFlow::kRender, 1, kKeyFullRangeSpeakers).number,
              0x63Fu);

    system_->Faults().FailAt("render1.store", "SetValue", 2, kInjected);
    EXPECT_EQ(control_->SetSpeakerConfig(0x33, 0x3), kInjected);
    EXPECT_EQ(Record().physicalSpeakers, 0x3Fu);
    EXPECT_EQ(Record().fullRangeSpeakers, 0x3u);
    EXPECT_EQ(system_->EndpointProperty(DataFlow::kRender, 1, kKeyFullRangeSpeakers).number, 0x3u);
}

TEST_F(RenderFormatTest, LayoutChangeIsSeenByTheNextOpen) {
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint16_t bits = 0;
    uint32_t mask = 0;
    ASSERT_EQ(control_->GetRenderFormat(&channels, &rate, &bits, &mask), kOk);
    ASSERT_EQ(control_->SetRenderFormat(rate, bits, 4, 0x33), kOk);
    ASSERT_EQ(control_->SetSpeakerConfig(0x33, 0x33), kOk);

    EndpointControl next(system_.get(), kNoWindow);
    int32_t renderKind = 0;
    int32_t captureKind = 0;
    ASSERT_EQ(next.Open(0x10EC, 0x0899, 0, &renderKind, &captureKind), kOk);
    EXPECT_EQ(next.FirstRenderRecord()->physicalSpeakers, 0x33u);
    EXPECT_EQ(next.FirstRenderRecord()->fullRangeSpeakers, 0x33u);
    ASSERT_EQ(next.GetRenderFormat(&channels, &rate, &bits, &mask), kOk);
    EXPECT_EQ(channels, 4);
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(mask, 0x33u);
}

TEST(RenderFormatWithoutRecordTest, Refuses) {
    auto system = sim::BuildDefaultPc();
    EndpointControl control(system.get(), kNoWindow);
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint16_t bits = 0;
    uint32_t mask = 0;
    EXPECT_EQ(control.GetRenderFormat(&channels, &rate, &bits, &mask), kFail);
    EXPECT_EQ(control.SetRenderFormat(48000, 16, 2, 0x3), kFail);
    EXPECT_EQ(control.SetSpeakerConfig(0x3, 0x3), kFail);
    EXPECT_EQ(system->EndpointProperty(DataFlow::kRender, 0, kKeyPhysicalSpeakers).number, 0x63Fu);
}

}  // namespace
}  // namespace zelk
