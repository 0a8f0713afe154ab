// The results file: the keys a run writes and their percentages, and one band of them applied to
// the codec again.

#include "calibration/results_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "calibration/run_harness.h"

namespace zelk::testing {
namespace {

const std::string kFile = "C:\\zelk\\Qalto.ini";
constexpr const char* kSection = "QORSqaltor";

const char* const kChannelNames[kSpeakerChannels] = {"FrontLeft", "FrontRight", "RearLeft",
                                                     "RearRight", "Subwoofer",  "Center",
                                                     "SideLeft",  "SideRight"};
const char* const kBandNames[kBands] = {"Low", "Medium", "High"};

std::string Stored(const MemoryFiles& files, const std::string& key) {
    auto file = files.ini.find(kFile);
    if (file == files.ini.end())
        return "<no file>";
    auto entry = file->second.find(std::string(kSection) + "/" + key);
    return entry == file->second.end() ? "<none>" : entry->second;
}

// Distinct levels in every entry of the tables, so that each key shows where it came from.
void FillTables(CalibrationContext& context) {
    for (int32_t pass = 0; pass < kPasses; ++pass) {
        for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
            for (int32_t band = 0; band < kBands; ++band) {
                context.channelLevels[pass][channel][band] =
                    -static_cast<float>(pass * 20 + channel * 2 + band) - 0.5f;
            }
        }
        for (int32_t side = 0; side < kMasterSides; ++side) {
            for (int32_t band = 0; band < kBands; ++band)
                context.masterLevels[pass][side][band] =
                    -static_cast<float>(pass * 7 + side * 3 + band);
        }
    }
}

std::string Percent(float level) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.4f",
                  static_cast<double>(static_cast<float>((level + 65.25L) / 65.25L * 100.0L)));
    return text;
}

TEST(ResultsFileTest, PercentagesOfTheLevelScale) {
    struct Case {
        float level;
        const char* text;
    };
    for (const Case& c : {Case{-65.25f, "0.0000"}, Case{0.0f, "100.0000"}, Case{-40.0f, "38.6973"},
                          Case{-10.0f, "84.6743"}}) {
        RunHarness run;
        run.context->mode = 8;
        for (auto& pass : run.context->channelLevels) {
            for (auto& channel : pass) {
                for (float& level : channel)
                    level = c.level;
            }
        }
        EXPECT_EQ(WriteResultsFile(run.context.get()), kOk);
        EXPECT_EQ(Stored(run.files, "CenterHigh"), c.text) << c.level;
        EXPECT_EQ(Stored(run.files, "MasterLeftLow"), "100.0000");
    }
}

TEST(ResultsFileTest, AFullRunWritesEveryKeyInOrder) {
    RunHarness run;
    run.context->mode = 2;
    FillTables(*run.context);
    ASSERT_EQ(WriteResultsFile(run.context.get()), kOk);

    std::vector<std::string> order = {"qaltoOK"};
    for (const char* side : {"MasterLeft", "MasterRight"}) {
        for (const char* band : kBandNames)
            order.push_back(std::string(side) + band);
    }
    for (const char* channel : kChannelNames) {
        for (const char* band : kBandNames)
            order.push_back(std::string(channel) + band);
    }
    EXPECT_EQ(run.files.iniWritten, order);
    EXPECT_EQ(Stored(run.files, "qaltoOK"), "YES");
    for (int32_t band = 0; band < kBands; ++band) {
        EXPECT_EQ(Stored(run.files, std::string("MasterRight") + kBandNames[band]),
                  Percent(run.context->masterLevels[0][1][band]));
        EXPECT_EQ(Stored(run.files, std::string("RearLeft") + kBandNames[band]),
                  Percent(run.context->channelLevels[0][2][band]));
        // The subwoofer's results are those of pass 1.
        EXPECT_EQ(Stored(run.files, std::string("Subwoofer") + kBandNames[band]),
                  Percent(run.context->channelLevels[1][4][band]));
    }
}

TEST(ResultsFileTest, ASingleChannelRunWritesOnlyItsSideAndChannel) {
    struct Case {
        int32_t channel;
        std::vector<std::string> keys;
        int32_t pass;
    };
    const Case cases[] = {
        {3,
         {"qaltoOK", "MasterRightLow", "MasterRightMedium", "MasterRightHigh", "RearRightLow",
          "RearRightMedium", "RearRightHigh"},
         0},
        {4,
         {"qaltoOK", "MasterLeftLow", "MasterLeftMedium", "MasterLeftHigh", "SubwooferLow",
          "SubwooferMedium", "SubwooferHigh"},
         1},
    };
    for (const Case& c : cases) {
        RunHarness run;
        run.context->mode = 1;
        run.context->singleChannel = c.channel;
        FillTables(*run.context);
        ASSERT_EQ(WriteResultsFile(run.context.get()), kOk);
        EXPECT_EQ(run.files.iniWritten, c.keys);
        const int32_t side = MasterSideOf(c.channel);
        for (int32_t band = 0; band < kBands; ++band) {
            EXPECT_EQ(Stored(run.files, c.keys[static_cast<size_t>(1 + band)]),
                      Percent(run.context->masterLevels[0][side][band]));
            EXPECT_EQ(Stored(run.files, c.keys[static_cast<size_t>(4 + band)]),
                      Percent(run.context->channelLevels[c.pass][c.channel][band]));
        }
    }
}

TEST(ResultsFileTest, TheFileLivesInTheCurrentDirectory) {
    struct Case {
        std::string directory;
        std::string path;  // empty: refused
    };
    const std::string longest(259 - 10, 'd');
    const Case cases[] = {
        {"C:\\zelk", "C:\\zelk\\Qalto.ini"},
        {"", "\\Qalto.ini"},
        {longest, longest + "\\Qalto.ini"},
        {longest + "d", ""},
        // Longer than the buffer the directory is asked into: still not the bare name.
        {std::string(300, 'd'), ""},
    };
    for (const Case& c : cases) {
        RunHarness run;
        run.files.currentDirectory = c.directory;
        run.context->mode = 8;
        if (c.path.empty()) {
            EXPECT_EQ(WriteResultsFile(run.context.get()), kFail);
            EXPECT_TRUE(run.files.ini.empty());
            EXPECT_EQ(ApplyStoredResults(run.context.get(), run.window, sim::kSimCodecVendor,
                                         sim::kSimDefaultCodec, kBandMedium),
                      kFail);
            EXPECT_TRUE(run.files.iniReads.empty());
        } else {
            EXPECT_EQ(WriteResultsFile(run.context.get()), kOk);
            ASSERT_EQ(run.files.ini.size(), 1u);
            EXPECT_EQ(run.files.ini.begin()->first, c.path);
        }
    }
}

TEST(ResultsFileTest, TheRunWritesItsResultsBeforeThePlayback) {
    RunHarness run;
    ASSERT_EQ(run.Begin(2), kOk);
    ASSERT_EQ(run.RunToEnd(), kTickFinished);
    EXPECT_EQ(Stored(run.files, "qaltoOK"), "YES");
    EXPECT_EQ(run.files.iniWritten.size(), 31u);
    EXPECT_EQ(Stored(run.files, "FrontLeftMedium"),
              Percent(run.context->channelLevels[0][0][kBandMedium]));
    EXPECT_EQ(Stored(run.files, "SideRightHigh"), "0.0000");

    // A run whose lower tone cannot start writes nothing.
    RunHarness failing;
    ASSERT_EQ(failing.Begin(8), kOk);
    failing.pc.waveOut().FailNext(sim::WaveOp::kOpen, kMmError);
    ASSERT_EQ(failing.RunToEnd(), kTickFailed);
    EXPECT_TRUE(failing.files.ini.empty());
}

class ApplyStoredResultsTest : public ::testing::Test {
  protected:
    void Store(const std::string& key, const std::string& value) {
        run.files.ini[kFile][std::string(kSection) + "/" + key] = value;
    }
    float Level(const std::string& part, uint32_t channel) {
        float level = 0.0f;
        EXPECT_TRUE(run.pc.audio().PartLevel("render0." + part, channel, &level)) << part;
        return level;
    }

    RunHarness run;
};

TEST_F(ApplyStoredResultsTest, AppliesOneBandAndKeepsItInTheTables) {
    Store("qaltoOK", "YES");
    // Percent p gives (100 - p) / 100 × -65.25 dB.
    Store("MasterLeftHigh", "100.0000");
    Store("MasterRightHigh", "80.0000");
    Store("FrontLeftHigh", "60.0000");
    Store("FrontRightHigh", "0.0000");
    Store("SubwooferHigh", "90.0000");
    Store("SideRightHigh", "not a number");
    Store("SideLeftMedium", "50.0000");
    ASSERT_EQ(ApplyStoredResults(run.context.get(), run.window, sim::kSimCodecVendor,
                                 sim::kSimDefaultCodec, kBandHigh),
              kOk);

    std::vector<std::string> reads = {"qaltoOK", "MasterLeftHigh", "MasterRightHigh"};
    for (const char* channel : kChannelNames)
        reads.push_back(std::string(channel) + "High");
    EXPECT_EQ(run.files.iniReads, reads);

    EXPECT_FLOAT_EQ(run.context->masterLevels[0][0][kBandHigh], 0.0f);
    EXPECT_FLOAT_EQ(run.context->masterLevels[0][1][kBandHigh], -13.05f);
    EXPECT_FLOAT_EQ(run.context->channelLevels[0][0][kBandHigh], -26.1f);
    EXPECT_FLOAT_EQ(run.context->channelLevels[0][1][kBandHigh], -65.25f);
    EXPECT_FLOAT_EQ(run.context->channelLevels[1][4][kBandHigh], -6.525f);
    EXPECT_FLOAT_EQ(run.context->channelLevels[0][7][kBandHigh], -65.25f);
    // A missing key is the floor too.
    EXPECT_FLOAT_EQ(run.context->channelLevels[0][6][kBandHigh], -65.25f);
    EXPECT_EQ(run.context->channelLevels[0][6][kBandMedium], 0.0f);

    // On the codec, clamped into each control's range (-46.5 to 0 dB) and set to the nearer of
    // its 1.5 dB steps: the control holds the step, the tables keep what the file said.
    EXPECT_EQ(Level(sim::kPartMaster, 0), 0.0f);
    EXPECT_EQ(Level(sim::kPartMaster, 1), -13.5f);
    EXPECT_EQ(Level(sim::kPartFront, 0), -25.5f);
    EXPECT_EQ(Level(sim::kPartFront, 1), -46.5f);
    EXPECT_EQ(Level(sim::kPartSubwoofer, 0), -6.0f);
    EXPECT_EQ(Level(sim::kPartSide, 1), -46.5f);
    EXPECT_FALSE(run.context->endpointControl);
    EXPECT_EQ(run.pc.audio().TotalLiveRefs(), 0);
}

TEST_F(ApplyStoredResultsTest, OnlyFilesMarkedDoneAreApplied) {
    struct Case {
        const char* done;
        Status status;
    };
    for (const Case& c : {Case{"yes", kOk}, Case{"YESTERDAY", kOk}, Case{"YE", kFail},
                          Case{"NO", kFail}, Case{nullptr, kFail}}) {
        run.files.ini.clear();
        run.files.iniReads.clear();
        if (c.done != nullptr)
            Store("qaltoOK", c.done);
        std::strcpy(run.context->errorText, "earlier");
        EXPECT_EQ(ApplyStoredResults(run.context.get(), run.window, sim::kSimCodecVendor,
                                     sim::kSimDefaultCodec, kBandMedium),
                  c.status)
            << (c.done != nullptr ? c.done : "no file");
        EXPECT_STREQ(run.context->errorText, "earlier");
        if (c.status == kFail) {
            EXPECT_EQ(run.files.iniReads.size(), 1u);
        }
    }
    // A codec that is not there.
    Store("qaltoOK", "YES");
    EXPECT_EQ(ApplyStoredResults(run.context.get(), run.window, sim::kSimCodecVendor, 0x0123,
                                 kBandMedium),
              kFail);
    EXPECT_STREQ(run.context->errorText, "[Qaltor](7) Fail to init topology!");
}

TEST_F(ApplyStoredResultsTest, ANonFiniteValueAppliesTheFloor) {
    for (const char* text : {"nan", "-nan", "inf", "-inf", "Infinity", "1e39", "-1e300"}) {
        SCOPED_TRACE(text);
        run.files.ini.clear();
        Store("qaltoOK", "YES");
        Store("MasterLeftLow", text);
        Store("FrontRightLow", text);
        ASSERT_EQ(ApplyStoredResults(run.context.get(), run.window, sim::kSimCodecVendor,
                                     sim::kSimDefaultCodec, kBandLow),
                  kOk);
        EXPECT_EQ(run.context->masterLevels[0][0][kBandLow], -65.25f);
        EXPECT_EQ(run.context->channelLevels[0][1][kBandLow], -65.25f);
        // The floor, clamped into the controls' range: never 0 dB.
        EXPECT_EQ(Level(sim::kPartMaster, 0), -46.5f);
        EXPECT_EQ(Level(sim::kPartFront, 1), -46.5f);
    }
}

TEST(ApplyStoredResultsSixChannelTest, ASixChannelCodecTakesChannelsUpToTheCenter) {
    sim::SimPcOptions options;
    options.audio = sim::SimAudioSystemBuilder()
                        .Add(sim::SixChannelRender(sim::kSimCodecVendor, 0x0892))
                        .Add(sim::MicrophoneCapture(sim::kSimCodecVendor, 0x0892));
    options.codecDevice = 0x0892;
    RunHarness run(options);
    run.files.ini[kFile][std::string(kSection) + "/qaltoOK"] = "YES";
    ASSERT_EQ(
        ApplyStoredResults(run.context.get(), run.window, sim::kSimCodecVendor, 0x0892, kBandLow),
        kOk);
    std::vector<std::string> reads = {"qaltoOK", "MasterLeftLow", "MasterRightLow"};
    for (int32_t channel = 0; channel <= 5; ++channel)
        reads.push_back(std::string(kChannelNames[channel]) + "Low");
    EXPECT_EQ(run.files.iniReads, reads);
}

}  // namespace
}  // namespace zelk::testing
