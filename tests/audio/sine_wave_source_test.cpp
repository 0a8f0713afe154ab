#include "audio/sine_wave_source.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cmath>
#include <cstring>
#include <vector>

namespace zelk {
namespace {

constexpr double kTwoPi = 6.283185307179586;

WaveFormatExtensible Format(const Guid& subFormat, uint16_t bits, uint16_t channels,
                            uint32_t rate = 48000) {
    WaveFormatExtensible format;
    format.wFormatTag = kWaveFormatExtensible;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    format.nAvgBytesPerSec = format.nBlockAlign * rate;
    format.cbSize = 22;
    format.wValidBitsPerSample = bits;
    format.dwChannelMask = 3;
    format.SubFormat = subFormat;
    return format;
}

template <class T>
T SampleAt(const std::vector<uint8_t>& bytes, size_t index) {
    T value;
    std::memcpy(&value, bytes.data() + index * sizeof(T), sizeof(T));
    return value;
}

TEST(SineWaveSourceTest, SixteenBitStereoBlockIsTheToneAtTwiceTheFrequency) {
    const double frequency = 261.63;
    SineWaveSource source(Format(kSubtypePcm, 16, 2), frequency);
    ASSERT_EQ(source.GetStatus(), kOk);
    EXPECT_TRUE(source.HasMoreData());

    std::vector<uint8_t> block(1920);
    ASSERT_EQ(source.Read(block.data(), 1920), kOk);
    const double step = 4.0 * 3.141592653589793 * frequency / 48000.0;
    int16_t highest = 0;
    int risingCrossings = 0;
    std::vector<int> crossingFrames;
    for (size_t n = 0; n < 480; ++n) {
        const int16_t left = SampleAt<int16_t>(block, 2 * n);
        const int16_t right = SampleAt<int16_t>(block, 2 * n + 1);
        ASSERT_EQ(left, right) << "frame " << n;
        EXPECT_NEAR(left, std::trunc(0.7 * std::sin(static_cast<double>(n) * step) * 32767.0), 1.0)
            << "frame " << n;
        highest = std::max(highest, left);
        if (n > 0 && SampleAt<int16_t>(block, 2 * (n - 1)) < 0 && left >= 0) {
            ++risingCrossings;
            crossingFrames.push_back(static_cast<int>(n));
        }
    }
    EXPECT_EQ(SampleAt<int16_t>(block, 0), 0);
    EXPECT_EQ(SampleAt<int16_t>(block, 1), 0);
    EXPECT_LE(highest, 22936);
    EXPECT_GE(highest, 22930);
    // 523.26 Hz at 48000 Hz: one period every 91.7 frames, five of them in 480 frames.
    ASSERT_EQ(risingCrossings, 5);
    EXPECT_NEAR((crossingFrames.back() - crossingFrames.front()) / 4.0, 91.7, 0.5);
}

struct KindCase {
    const char* name;
    Guid subFormat;
    uint16_t formatBits;   // wBitsPerSample of the format
    uint32_t sampleBytes;  // bytes of each sample written
    double first;          // the first frame's sample
    double lowest;         // the range at amplitude 0.7
    double highest;
    double tolerance;
};

class SineKindTest : public ::testing::TestWithParam<KindCase> {};

double Sample(const KindCase& kind, const std::vector<uint8_t>& bytes, size_t index) {
    if (kind.subFormat == kSubtypeIeeeFloat)
        return SampleAt<float>(bytes, index);
    switch (kind.sampleBytes) {
        case 1:
            return bytes[index];
        case 2:
            return SampleAt<int16_t>(bytes, index);
        default:
            return SampleAt<int32_t>(bytes, index);
    }
}

TEST_P(SineKindTest, WritesEveryChannelInTheKindsRange) {
    const KindCase& kind = GetParam();
    const uint16_t channels = 3;
    // 300 Hz tone (argument 150): 160 frames a period.
    SineWaveSource source(Format(kind.subFormat, kind.formatBits, channels), 150.0);
    ASSERT_EQ(source.GetStatus(), kOk);
    std::vector<uint8_t> block(320 * channels * kind.sampleBytes);
    ASSERT_EQ(source.Read(block.data(), static_cast<uint32_t>(block.size())), kOk);

    double lowest = 1e300;
    double highest = -1e300;
    for (size_t n = 0; n < 320; ++n) {
        const double value = Sample(kind, block, n * channels);
        for (size_t c = 1; c < channels; ++c)
            ASSERT_EQ(Sample(kind, block, n * channels + c), value) << "frame " << n;
        lowest = std::min(lowest, value);
        highest = std::max(highest, value);
    }
    EXPECT_EQ(Sample(kind, block, 0), kind.first);
    EXPECT_NEAR(lowest, kind.lowest, kind.tolerance);
    EXPECT_NEAR(highest, kind.highest, kind.tolerance);
    EXPECT_GE(lowest, kind.lowest);
    EXPECT_LE(highest, kind.highest);
}

// ctest lists a case by its name.
void PrintTo(const KindCase& c, std::ostream* os) {
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SineKindTest,
    ::testing::Values(
        KindCase{"float32", kSubtypeIeeeFloat, 32, 4, 0.0, -0.7000001, 0.7000001, 1e-6},
        // Float is chosen by the sub-format whatever the width says.
        KindCase{"floatNamed16", kSubtypeIeeeFloat, 16, 4, 0.0, -0.7000001, 0.7000001, 1e-6},
        KindCase{"unsigned8", kSubtypePcm, 8, 1, 128.0, 39.0, 216.0, 0.0},
        KindCase{"signed16", kSubtypePcm, 16, 2, 0.0, -22936.0, 22936.0, 0.0},
        KindCase{"signed32", kSubtypePcm, 32, 4, 0.0, -1503238552.0, 1503238552.0, 2.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SineWaveSourceTest, UnsupportedFormatsFailAndWriteNothing) {
    WaveFormatExtensible unknown = Format(kSubtypePcm, 16, 2);
    unknown.SubFormat.data1 = 2;
    for (const WaveFormatExtensible& format :
         {Format(kSubtypePcm, 24, 2), Format(kSubtypePcm, 12, 2), unknown}) {
        SineWaveSource source(format, 261.63);
        EXPECT_EQ(source.GetStatus(), kUnsupportedFormat);
        EXPECT_FALSE(source.HasMoreData());
        std::vector<uint8_t> block(1920, 0xAB);
        EXPECT_EQ(source.Read(block.data(), 1920), kUnsupportedFormat);
        EXPECT_EQ(source.Read(nullptr, 0), kUnsupportedFormat);
        EXPECT_EQ(source.Reset(), kUnsupportedFormat);
        EXPECT_EQ(block, std::vector<uint8_t>(1920, 0xAB));
    }
}

TEST(SineWaveSourceTest, ChecksArgumentsAndWritesWholeFramesOnly) {
    SineWaveSource source(Format(kSubtypePcm, 16, 2), 261.63);
    std::vector<uint8_t> block(8, 0xAB);
    EXPECT_EQ(source.Read(nullptr, 4), kPointer);
    EXPECT_EQ(source.Read(block.data(), 0), kInvalidArg);
    EXPECT_EQ(source.Read(block.data(), 3), kOk);
    EXPECT_EQ(block, std::vector<uint8_t>(8, 0xAB));

    // 7 bytes hold one frame; the three after it stay as they were.
    ASSERT_EQ(source.Read(block.data(), 7), kOk);
    EXPECT_EQ(SampleAt<int16_t>(block, 0), 0);
    EXPECT_EQ(SampleAt<int16_t>(block, 1), 0);
    EXPECT_EQ(block[4], 0xAB);
    EXPECT_EQ(block[6], 0xAB);
    // The short read did not advance the tone: the next frame is the second one.
    ASSERT_EQ(source.Read(block.data(), 4), kOk);
    EXPECT_NE(SampleAt<int16_t>(block, 0), 0);
}

TEST(SineWaveSourceTest, ResetRestartsAtPhaseZero) {
    SineWaveSource source(Format(kSubtypePcm, 16, 1), 440.0);
    std::vector<uint8_t> first(200);
    std::vector<uint8_t> again(200);
    ASSERT_EQ(source.Read(first.data(), 200), kOk);
    ASSERT_EQ(source.Read(again.data(), 130), kOk);
    ASSERT_EQ(source.Reset(), kOk);
    ASSERT_EQ(source.Read(again.data(), 200), kOk);
    EXPECT_EQ(first, again);
}

TEST(SineWaveSourceTest, LongRunsKeepAmplitudeAndPhaseAcrossRenormalisation) {
    // Mono float, reads of 30000 frames: the fourth read passes 100000 frames and renormalises;
    // the stream must go on as the ideal tone, at amplitude 0.7 and in phase.
    const double frequency = 1234.5;
    SineWaveSource source(Format(kSubtypeIeeeFloat, 32, 1), frequency);
    const double step = kTwoPi / (48000.0 / (2.0 * frequency));
    std::vector<uint8_t> block(30000 * 4);
    size_t n = 0;
    double highest = 0;
    for (int read = 0; read < 8; ++read) {
        ASSERT_EQ(source.Read(block.data(), static_cast<uint32_t>(block.size())), kOk);
        for (size_t i = 0; i < 30000; ++i, ++n) {
            const double value = SampleAt<float>(block, i);
            ASSERT_NEAR(value, 0.7 * std::sin(static_cast<double>(n) * step), 2e-6)
                << "frame " << n;
            highest = std::max(highest, value);
        }
    }
    EXPECT_NEAR(highest, 0.7, 1e-4);
}

}  // namespace
}  // namespace zelk
