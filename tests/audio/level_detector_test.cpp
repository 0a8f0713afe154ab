#include "audio/level_detector.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace zelk {
namespace {

constexpr uint32_t kFrameBytes = 4;
constexpr size_t kFrames = 480;

// A 10 ms stereo block; first(n) and second(n) give the channels' samples of frame n.
std::vector<uint8_t> Block(
    const std::function<int16_t(size_t)>& first,
    const std::function<int16_t(size_t)>& second = [](size_t) { return int16_t{0}; }) {
    std::vector<uint8_t> block(kFrames * kFrameBytes);
    for (size_t n = 0; n < kFrames; ++n) {
        const int16_t samples[2] = {first(n), second(n)};
        std::memcpy(block.data() + n * kFrameBytes, samples, sizeof samples);
    }
    return block;
}

struct Reached {
    int32_t pending, low, medium, high;
};

Reached Take(LevelDetector& detector) {
    Reached r{};
    detector.Take(&r.pending, &r.low, &r.medium, &r.high);
    return r;
}

struct BlockCase {
    const char* name;
    int32_t band;
    std::function<std::vector<uint8_t>()> block;
    bool reached;
};

// Default thresholds: 10000, 20000, 30000.
const BlockCase kBlocks[] = {
    {"HundredAtThresholdReach", 1,
     [] { return Block([](size_t n) { return int16_t(n >= 200 && n < 300 ? 20000 : 19999); }); },
     true},
    {"NinetyNineDoNot", 1,
     [] { return Block([](size_t n) { return int16_t(n < 99 ? 20000 : 19999); }); }, false},
    {"NegativeSamplesCountByMagnitude", 0,
     [] { return Block([](size_t n) { return int16_t(n % 2 == 0 ? -10000 : 0); }); }, true},
    {"SecondChannelIsNotHeard", 0,
     [] { return Block([](size_t) { return int16_t{0}; }, [](size_t) { return int16_t{32767}; }); },
     false},
    {"MostNegativeSampleIsLoud", 2, [] { return Block([](size_t) { return int16_t{-32768}; }); },
     true},
    {"UnknownBandCountsNothing", 3, [] { return Block([](size_t) { return int16_t{32767}; }); },
     false},
    {"NegativeBandCountsNothing", -1, [] { return Block([](size_t) { return int16_t{32767}; }); },
     false},
};

class DetectorBlockTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(DetectorBlockTest, ExaminesOneBlockForTheArmedBand) {
    const BlockCase& c = GetParam();
    LevelDetector detector;
    detector.Arm(c.band);
    const std::vector<uint8_t> block = c.block();
    detector.Examine(block.data(), static_cast<uint32_t>(block.size()), kFrameBytes);
    const Reached r = Take(detector);
    EXPECT_EQ(r.pending, 0);
    const int32_t flags[3] = {r.low, r.medium, r.high};
    for (int32_t band = 0; band < 3; ++band)
        EXPECT_EQ(flags[band], c.reached && band == c.band ? 1 : 0) << "band " << band;
}

// ctest lists a case by its name.
void PrintTo(const BlockCase& c, std::ostream* os) {
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(Blocks, DetectorBlockTest, ::testing::ValuesIn(kBlocks),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LevelDetectorTest, CountStartsAfreshInEveryBlock) {
    LevelDetector detector;
    const auto tail = Block([](size_t n) { return int16_t(n >= kFrames - 60 ? 30000 : 0); });
    const auto head = Block([](size_t n) { return int16_t(n < 60 ? 30000 : 0); });
    detector.Arm(0);
    detector.Examine(tail.data(), static_cast<uint32_t>(tail.size()), kFrameBytes);
    detector.Arm(0);
    detector.Examine(head.data(), static_cast<uint32_t>(head.size()), kFrameBytes);
    const Reached r = Take(detector);
    EXPECT_EQ(r.low, 0);
}

TEST(LevelDetectorTest, OnlyAnArmedDetectorExaminesAndOnlyOneBlock) {
    LevelDetector detector;
    const auto loud = Block([](size_t) { return int16_t{31000}; });
    const auto quiet = Block([](size_t) { return int16_t{100}; });
    detector.Examine(loud.data(), static_cast<uint32_t>(loud.size()), kFrameBytes);
    Reached r = Take(detector);
    EXPECT_EQ(r.pending + r.low + r.medium + r.high, 0);

    detector.Arm(2);
    detector.Examine(quiet.data(), static_cast<uint32_t>(quiet.size()), kFrameBytes);
    detector.Examine(loud.data(), static_cast<uint32_t>(loud.size()), kFrameBytes);
    r = Take(detector);
    EXPECT_EQ(r.pending, 0);
    EXPECT_EQ(r.high, 0);
}

TEST(LevelDetectorTest, TakeHandsOutAndClearsOnlyWhatIsAskedFor) {
    LevelDetector detector;
    const auto loud = Block([](size_t) { return int16_t{31000}; });
    detector.Arm(0);
    detector.Examine(loud.data(), static_cast<uint32_t>(loud.size()), kFrameBytes);
    int32_t medium = -1;
    detector.Take(nullptr, nullptr, &medium, nullptr);
    EXPECT_EQ(medium, 0);
    int32_t low = -1;
    detector.Take(nullptr, &low, nullptr, nullptr);
    EXPECT_EQ(low, 1);
    detector.Take(nullptr, &low, nullptr, nullptr);
    EXPECT_EQ(low, 0);

    // Arming clears what an earlier request left; taking a pending request cancels it.
    detector.Arm(0);
    detector.Examine(loud.data(), static_cast<uint32_t>(loud.size()), kFrameBytes);
    detector.Arm(1);
    Reached r = Take(detector);
    EXPECT_EQ(r.pending, 1);
    EXPECT_EQ(r.low + r.medium + r.high, 0);
    detector.Examine(loud.data(), static_cast<uint32_t>(loud.size()), kFrameBytes);
    r = Take(detector);
    EXPECT_EQ(r.pending + r.low + r.medium + r.high, 0);
}

TEST(LevelDetectorTest, ThresholdsFromPercentages) {
    struct Case {
        int32_t percent;
        int16_t threshold;
    };
    const Case cases[] = {{20, 6553},    {30, 9830},     {50, 16384},  {0, 0},
                          {97, 31784},   {98, 32000},    {100, 32000}, {1000000, 32000},
                          {-50, -16384}, {-1000, -32768}};
    LevelDetector detector;
    EXPECT_EQ(detector.Threshold(0), 10000);
    EXPECT_EQ(detector.Threshold(1), 20000);
    EXPECT_EQ(detector.Threshold(2), 30000);
    for (const Case& c : cases) {
        detector.SetThresholds(c.percent, 50, 100);
        EXPECT_EQ(detector.Threshold(0), c.threshold) << c.percent << "%";
        EXPECT_EQ(detector.Threshold(1), 16384);
        EXPECT_EQ(detector.Threshold(2), 32000);
    }
}

}  // namespace
}  // namespace zelk
