// The results file's reading rules, shared by the worker and the peer tool's report.

#include <gtest/gtest.h>

#include <string>

#include "calibration/results_file_format.h"

namespace zelk {
namespace {

struct PercentCase {
    const char* text;
    float percent;
};

class ResultsPercentOfTextTest : public ::testing::TestWithParam<PercentCase> {};

TEST_P(ResultsPercentOfTextTest, ReadsTheNumberATextBeginsWithAndOnlyAFiniteOne) {
    EXPECT_EQ(ResultsPercentOfText(GetParam().text), GetParam().percent);
}

INSTANTIATE_TEST_SUITE_P(Texts, ResultsPercentOfTextTest,
                         ::testing::Values(PercentCase{"38.6973", 38.6973f},
                                           PercentCase{"100.0000", 100.0f},
                                           PercentCase{kResultsMissingValue, 0.0f},
                                           PercentCase{" 12.5", 12.5f}, PercentCase{"50abc", 50.0f},
                                           PercentCase{"-5", -5.0f},
                                           // Not a number, or not a finite one: the floor.
                                           PercentCase{"", 0.0f}, PercentCase{"loud", 0.0f},
                                           PercentCase{"nan", 0.0f}, PercentCase{"-nan", 0.0f},
                                           PercentCase{"inf", 0.0f}, PercentCase{"-Infinity", 0.0f},
                                           PercentCase{"1e39", 0.0f}, PercentCase{"-1e300", 0.0f}));

TEST(ResultsFileFormatTest, PercentAndLevelAreTheTwoEndsOfOneScale) {
    EXPECT_EQ(ResultsLevelOfPercent(0.0f), static_cast<float>(-kResultsScaleDb));
    EXPECT_EQ(ResultsLevelOfPercent(100.0f), 0.0f);
    EXPECT_EQ(ResultsPercentOfLevel(static_cast<float>(-kResultsScaleDb)), 0.0f);
    EXPECT_EQ(ResultsPercentOfLevel(0.0f), 100.0f);
    char text[kResultsValueCapacity];
    std::snprintf(text, sizeof text, "%.4f", static_cast<double>(ResultsPercentOfLevel(-40.0f)));
    EXPECT_STREQ(text, "38.6973");
    // A non-finite text reads as the floor, never as NaN.
    EXPECT_EQ(ResultsLevelOfPercent(ResultsPercentOfText("nan")),
              static_cast<float>(-kResultsScaleDb));
}

TEST(ResultsFileFormatTest, ResultsAreStoredWhenTheDoneValueBeginsWithYes) {
    for (const char* yes : {"YES", "yes", "Yes", "YESTERDAY"})
        EXPECT_TRUE(ResultsAreStored(yes)) << yes;
    for (const char* no : {"NO", "YE", "", " YES", "Y3S"})
        EXPECT_FALSE(ResultsAreStored(no)) << no;
}

TEST(ResultsFileFormatTest, TheKeyTableIsInChannelOrderThenTheMasters) {
    EXPECT_STREQ(ResultsChannelKey(0, 0), "FrontLeftLow");
    EXPECT_STREQ(ResultsChannelKey(4, 1), "SubwooferMedium");
    EXPECT_STREQ(ResultsChannelKey(7, 2), "SideRightHigh");
    EXPECT_STREQ(ResultsMasterKey(0, 0), "MasterLeftLow");
    EXPECT_STREQ(ResultsMasterKey(1, 2), "MasterRightHigh");
    for (int32_t i = 0; i < kResultsLevelKeyCount; ++i) {
        const std::string key = kResultsLevelKeys[i];
        const std::string band = kResultsBandNames[i % kBands];
        EXPECT_EQ(key.substr(key.size() - band.size()), band) << key;
    }
}

}  // namespace
}  // namespace zelk
