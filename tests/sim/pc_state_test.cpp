#include "platform/sim/pc_state.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_codec_builder.h"

namespace zelk::sim {
namespace {

PropertyValue Number(uint32_t value) {
    PropertyValue property;
    property.type = PropertyValue::Type::kUInt32;
    property.number = value;
    return property;
}

PropertyValue Blob(std::vector<uint8_t> bytes) {
    PropertyValue property;
    property.type = PropertyValue::Type::kBlob;
    property.blob = std::move(bytes);
    return property;
}

// A default PC whose state differs from the defaults in every kind of entry.
std::unique_ptr<SimAudioSystem> ChangedPc() {
    auto pc = BuildDefaultPc();
    EXPECT_TRUE(pc->SetPartLevel("render0.front", 1, -12.0f));
    EXPECT_TRUE(pc->SetPartLevel("render0.in3_volume", 0, 10.5f));
    EXPECT_TRUE(pc->SetPartLevel("capture0.mic_volume", 1, -3.3f));  // off any step, exactly
    EXPECT_TRUE(pc->SetPartMuted("render0.master_mute", true));
    EXPECT_TRUE(pc->SetPartMuted("render0.in2_mute", false));
    pc->SetEndpointProperty(DataFlow::kRender, 0, kKeyFullRangeSpeakers, Number(0x3F));
    pc->SetEndpointProperty(DataFlow::kRender, 0, kKeyDeviceFormat, Blob({0x00, 0xFE, 0x28}));
    return pc;
}

TEST(PcStateTest, ATextReadBackGivesTheSameMachine) {
    auto saved = ChangedPc();
    const std::string text = PcStateText(*saved);
    EXPECT_EQ(text.rfind(kPcStateHeader, 0), 0u) << text;

    auto fresh = BuildDefaultPc();
    EXPECT_NE(PcStateText(*fresh), text);
    const PcStateLoad load = ApplyPcStateText(text, fresh.get());
    EXPECT_TRUE(load.readable) << load.problem;
    EXPECT_EQ(load.ignored, 0);
    EXPECT_GT(load.applied, 40);
    EXPECT_EQ(PcStateText(*fresh), text);

    float level = 0.0f;
    ASSERT_TRUE(fresh->PartLevel("capture0.mic_volume", 1, &level));
    EXPECT_EQ(level, -3.3f);
    bool muted = false;
    ASSERT_TRUE(fresh->PartMuted("render0.master_mute", &muted));
    EXPECT_TRUE(muted);
    EXPECT_EQ(fresh->EndpointProperty(DataFlow::kRender, 0, kKeyFullRangeSpeakers).number, 0x3Fu);
    EXPECT_EQ(fresh->EndpointProperty(DataFlow::kRender, 0, kKeyDeviceFormat).blob,
              (std::vector<uint8_t>{0x00, 0xFE, 0x28}));
}

struct ForeignCase {
    const char* name;
    const char* line;  // appended to a default PC's state
};

class PcStateForeignEntryTest : public ::testing::TestWithParam<ForeignCase> {};

TEST_P(PcStateForeignEntryTest, IsIgnoredAndTheRestApplies) {
    auto saved = ChangedPc();
    const std::string text = PcStateText(*saved) + GetParam().line + "\n";
    auto fresh = BuildDefaultPc();
    const PcStateLoad load = ApplyPcStateText(text, fresh.get());
    EXPECT_TRUE(load.readable) << load.problem;
    EXPECT_EQ(load.ignored, 1);
    EXPECT_EQ(PcStateText(*fresh), PcStateText(*saved));
}

INSTANTIATE_TEST_SUITE_P(
    Entries, PcStateForeignEntryTest,
    ::testing::Values(
        ForeignCase{"MissingPart", "level render0.in99_volume 0 -3"},
        ForeignCase{"MissingChannel", "level render0.subwoofer 1 -3"},
        ForeignCase{"LevelOutsideTheRange", "level render0.front 0 1.5"},
        ForeignCase{"MissingLevelControl", "level render0.master_mute 0 -3"},
        ForeignCase{"MissingMuteControl", "mute render0.front 1"},
        ForeignCase{"MissingEndpoint", "level render5.front 0 -3"},
        ForeignCase{"UnknownProperty", "property render0 colour uint32 3"},
        ForeignCase{"PropertyOfAnotherType", "property render0 device_format uint32 3"},
        ForeignCase{"PropertyTheEndpointLacks", "property capture0 engine_format blob 00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PcStateTest, AnotherDeviceBehindAnEndpointKeepsItsDefaults) {
    auto saved = ChangedPc();
    std::string text = PcStateText(*saved);
    const size_t device = text.find("DEV_0899");
    ASSERT_NE(device, std::string::npos);
    text.replace(device, 8, "DEV_0662");  // the first endpoint line: render0's

    auto fresh = BuildDefaultPc();
    const std::string defaults = PcStateText(*fresh);
    const PcStateLoad load = ApplyPcStateText(text, fresh.get());
    EXPECT_TRUE(load.readable) << load.problem;
    EXPECT_GT(load.ignored, 30);
    // The microphone's entries still apply; the speakers keep their defaults.
    float level = 0.0f;
    ASSERT_TRUE(fresh->PartLevel("capture0.mic_volume", 1, &level));
    EXPECT_EQ(level, -3.3f);
    ASSERT_TRUE(fresh->PartLevel("render0.front", 1, &level));
    EXPECT_EQ(level, -4.5f);
    EXPECT_NE(PcStateText(*fresh), defaults);
}

struct CorruptCase {
    const char* name;
    const char* text;
    const char* problem;  // part of the message
};

class PcStateCorruptTest : public ::testing::TestWithParam<CorruptCase> {};

TEST_P(PcStateCorruptTest, ChangesNothingAndSaysWhere) {
    auto pc = BuildDefaultPc();
    const std::string before = PcStateText(*pc);
    const PcStateLoad load = ApplyPcStateText(GetParam().text, pc.get());
    EXPECT_FALSE(load.readable);
    EXPECT_NE(load.problem.find(GetParam().problem), std::string::npos) << load.problem;
    EXPECT_EQ(load.applied, 0);
    EXPECT_EQ(PcStateText(*pc), before);
}

#define HEADER "zelk simulated PC state 1\n"
#define DEVICE "endpoint render0 x\n"
#define GOOD "level render0.front 0 -9\n"

INSTANTIATE_TEST_SUITE_P(
    Texts, PcStateCorruptTest,
    ::testing::Values(
        CorruptCase{"Empty", "", "empty"},
        CorruptCase{"AnotherFormat", "[QORSqaltor]\nFL_L=40\n", "does not begin"},
        CorruptCase{"AnotherVersion", "zelk simulated PC state 2\n" GOOD, "does not begin"},
        CorruptCase{"CutShort", HEADER DEVICE GOOD "level render0.front 1", "line 4"},
        CorruptCase{"NotANumber", HEADER DEVICE GOOD "level render0.front 1 loud\n", "line 4"},
        CorruptCase{"NotFinite", HEADER DEVICE GOOD "level render0.front 1 nan\n", "line 4"},
        CorruptCase{"NegativeChannel", HEADER DEVICE "level render0.front -1 -9\n", "line 3"},
        CorruptCase{"MuteNotABit", HEADER DEVICE "mute render0.master_mute 2\n", "line 3"},
        CorruptCase{"BadHex", HEADER DEVICE "property render0 device_format blob 2g\n", "line 3"},
        CorruptCase{"OddHex", HEADER DEVICE "property render0 device_format blob 280\n", "line 3"},
        CorruptCase{"UnknownType", HEADER DEVICE "property render0 device_format text a\n",
                    "line 3"},
        CorruptCase{"UnknownKind", HEADER DEVICE "volume render0.front 0 -9\n", "line 3"},
        CorruptCase{"BadEscape", HEADER "endpoint render0 a\\q\n", "line 2"},
        CorruptCase{"EndpointTwice", HEADER DEVICE DEVICE, "line 3"},
        CorruptCase{"NoPartName", HEADER DEVICE "mute render0. 1\n", "line 3"},
        CorruptCase{"BlankLine", HEADER DEVICE "\n" GOOD, "line 3"},
        CorruptCase{"WindowsLineEnds", HEADER DEVICE "level render0.front 0 -9\r\n", "line 3"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PcStateTest, EveryChangeOfTheMachineMovesTheCounterAndNothingElse) {
    auto pc = BuildDefaultPc();
    SimVolumeLevel* front = pc->FindPart("render0.front")->level();
    SimMute* mute = pc->FindPart("render0.master_mute")->mute();
    uint64_t seen = pc->StateChanges();
    auto moved = [&] {
        const uint64_t now = pc->StateChanges();
        const bool result = now != seen;
        seen = now;
        return result;
    };

    float level = 0.0f;
    bool muted = false;
    ASSERT_EQ(front->GetLevel(0, &level), kOk);
    ASSERT_EQ(mute->GetMute(&muted), kOk);
    EXPECT_FALSE(moved());
    EXPECT_NE(front->SetLevel(7, -6.0f), kOk);  // a channel the control does not have
    EXPECT_FALSE(moved());
    ASSERT_EQ(front->SetLevel(0, -6.0f), kOk);
    EXPECT_TRUE(moved());
    ASSERT_EQ(mute->SetMute(true), kOk);
    EXPECT_TRUE(moved());

    Ref<PropertyStore> store;
    ASSERT_EQ(
        pc->Endpoint(DataFlow::kRender, 0)->OpenPropertyStore(StoreAccess::kReadWrite, &store),
        kOk);
    ASSERT_EQ(store->SetValue(kKeyPhysicalSpeakers, Number(0x3F)), kOk);
    EXPECT_TRUE(moved());
    ASSERT_TRUE(pc->SetPartLevel("render0.rear", 0, -6.0f));
    EXPECT_TRUE(moved());
}

class PcStateSaverTest : public ::testing::Test {
  protected:
    PcStateSaverTest()
        : pc_(BuildDefaultPc()),
          saver_(pc_.get(), [this](const std::string& text, std::string* error) {
              ++attempts_;
              if (failing_) {
                  *error = "disk full";
                  return false;
              }
              written_ = text;
              return true;
          }) {}

    std::unique_ptr<SimAudioSystem> pc_;
    PcStateSaver saver_;
    int attempts_ = 0;
    bool failing_ = false;
    std::string written_;
};

TEST_F(PcStateSaverTest, ABurstOfChangesIsOneWriteOfTheLastState) {
    std::string error;
    EXPECT_TRUE(saver_.SaveIfChanged(&error));
    EXPECT_EQ(attempts_, 0) << "the state at construction counts as written";

    for (int step = 0; step < 20; ++step)
        ASSERT_TRUE(pc_->SetPartLevel("render0.front", 0, -1.5f * static_cast<float>(step)));
    EXPECT_TRUE(saver_.SaveIfChanged(&error));
    EXPECT_EQ(attempts_, 1);
    EXPECT_EQ(written_, PcStateText(*pc_));
    EXPECT_NE(written_.find("level render0.front 0 -28.5\n"), std::string::npos) << written_;
    EXPECT_TRUE(saver_.SaveIfChanged(&error));
    EXPECT_EQ(attempts_, 1);

    // Changed and changed back: the text is what was written, so nothing is written.
    ASSERT_TRUE(pc_->SetPartMuted("render0.master_mute", true));
    ASSERT_TRUE(pc_->SetPartMuted("render0.master_mute", false));
    EXPECT_TRUE(saver_.SaveIfChanged(&error));
    EXPECT_EQ(attempts_, 1);
    EXPECT_EQ(saver_.writes(), 1);
}

TEST_F(PcStateSaverTest, AFailedWriteIsTriedAgainAtTheNextCall) {
    std::string error;
    ASSERT_TRUE(pc_->SetPartMuted("render0.master_mute", true));
    failing_ = true;
    EXPECT_FALSE(saver_.SaveIfChanged(&error));
    EXPECT_EQ(error, "disk full");
    EXPECT_TRUE(written_.empty());
    failing_ = false;
    EXPECT_TRUE(saver_.SaveIfChanged(&error));
    EXPECT_EQ(attempts_, 2);
    EXPECT_EQ(written_, PcStateText(*pc_));
    EXPECT_EQ(saver_.writes(), 1);
}

}  // namespace
}  // namespace zelk::sim
