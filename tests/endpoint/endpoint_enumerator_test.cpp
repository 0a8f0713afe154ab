// Property reads and writes on single endpoints, identifiers, and the collections' lifetime.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "endpoint/endpoint_enumerator.h"
#include "endpoint/endpoint_record.h"
#include "endpoint/endpoint_test_support.h"
#include "platform/sim/sim_audio_system.h"
#include "platform/sim/sim_codec_builder.h"

namespace zelk {
namespace {

using sim::SimKind;
using test::kInjected;

class EndpointEnumeratorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        system_ = sim::BuildDefaultPc();
        enumerator_ = std::make_unique<EndpointEnumerator>(system_.get(), kNoWindow);
        enumerator_->EnumerateEndpoints(DataFlow::kRender);
        enumerator_->EnumerateEndpoints(DataFlow::kCapture);
    }
    void TearDown() override {
        enumerator_.reset();
        EXPECT_EQ(system_->TotalLiveRefs(), 0) << test::HeldText(*system_);
        EXPECT_EQ(system_->OverReleases(), 0);
    }
    void SetProperty(const PropertyKey& key, PropertyValue value) {
        system_->SetEndpointProperty(DataFlow::kRender, 0, key, value);
    }

    std::unique_ptr<sim::SimAudioSystem> system_;
    std::unique_ptr<EndpointEnumerator> enumerator_;
};

struct TextReadCase {
    const char* name;
    int32_t flow;
    int32_t index;
    uint32_t capacity;
    const char* object;  // fault, if any
    const char* operation;
    Status status;
    std::string text;  // what the buffer holds afterwards ("=" for unchanged)
};

void PrintTo(const TextReadCase& c, std::ostream* os) {
    *os << c.name;
}

class TextReadTest : public EndpointEnumeratorTest,
                     public ::testing::WithParamInterface<TextReadCase> {};

TEST_P(TextReadTest, CopiesTruncatesOrMarksTheDeviceMissing) {
    const TextReadCase& c = GetParam();
    system_->Faults().FailAt(c.object, c.operation, 1, kInjected);
    char16_t buffer[kTextLength];
    std::fill(std::begin(buffer), std::end(buffer), u'=');
    buffer[1] = u'\0';
    EXPECT_EQ(enumerator_->ReadEndpointProperty(c.flow, c.index, kKeyFriendlyName, buffer,
                                                BufferKind::kText, c.capacity, nullptr),
              c.status);
    EXPECT_EQ(test::Narrow(buffer), c.text);
    if (c.capacity < kTextLength) {
        EXPECT_EQ(buffer[c.capacity], u'=');  // nothing written past the capacity
    }
}

INSTANTIATE_TEST_SUITE_P(
    Reads, TextReadTest,
    ::testing::Values(
        TextReadCase{"Whole", 0, 0, kTextLength, "", "", kOk, "Speakers (Onboard HD Audio)"},
        TextReadCase{"Truncated", 0, 0, 5, "", "", kOk, "Spea"},
        TextReadCase{"NoRoom", 0, 0, 0, "", "", kOk, "="},
        TextReadCase{"Capture", 1, 0, kTextLength, "", "", kOk, "Microphone (Onboard HD Audio)"},
        TextReadCase{"BadFlow", 2, 0, kTextLength, "", "", kFail, "="},
        TextReadCase{"NoSuchEndpoint", 0, 3, kTextLength, "", "", kInvalidArg,
                     "<Device not available>"},
        TextReadCase{"NoSuchEndpointShortBuffer", 0, 3, 8, "", "", kInvalidArg, "<Device"},
        TextReadCase{"ItemFails", 0, 0, kTextLength, "render.collection", "Item", kInjected,
                     "<Device not available>"},
        TextReadCase{"StoreFails", 0, 0, kTextLength, "render0", "OpenPropertyStore", kInjected,
                     "="},
        TextReadCase{"ValueFails", 0, 0, kTextLength, "render0.store", "GetValue", kInjected, "="}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndpointEnumeratorTest, BlobsFillAtMostTheCapacity) {
    std::vector<uint8_t> stored(40);
    for (size_t i = 0; i < stored.size(); ++i)
        stored[i] = static_cast<uint8_t>(i + 1);
    PropertyValue blob;
    blob.type = PropertyValue::Type::kBlob;
    blob.blob = stored;
    SetProperty(kKeyDeviceFormat, blob);

    uint8_t buffer[48];
    std::memset(buffer, 0xAA, sizeof(buffer));
    ASSERT_EQ(enumerator_->ReadEndpointProperty(0, 0, kKeyDeviceFormat, buffer, BufferKind::kBytes,
                                                10, nullptr),
              kOk);
    EXPECT_EQ(std::memcmp(buffer, stored.data(), 10), 0);
    EXPECT_EQ(buffer[10], 0xAA);

    // A shorter blob fills only its own length.
    blob.blob.resize(18);
    SetProperty(kKeyDeviceFormat, blob);
    std::memset(buffer, 0xAA, sizeof(buffer));
    ASSERT_EQ(enumerator_->ReadEndpointProperty(0, 0, kKeyDeviceFormat, buffer, BufferKind::kBytes,
                                                40, nullptr),
              kOk);
    EXPECT_EQ(std::memcmp(buffer, stored.data(), 18), 0);
    EXPECT_EQ(buffer[18], 0xAA);

    // A text buffer takes no blob, and an empty blob copies nothing.
    char16_t text[4] = {u'x', u'\0'};
    EXPECT_EQ(enumerator_->ReadEndpointProperty(0, 0, kKeyDeviceFormat, text, BufferKind::kText, 4,
                                                nullptr),
              kOk);
    EXPECT_EQ(text[0], u'x');
    blob.blob.clear();
    SetProperty(kKeyDeviceFormat, blob);
    std::memset(buffer, 0xAA, sizeof(buffer));
    EXPECT_EQ(enumerator_->ReadEndpointProperty(0, 0, kKeyDeviceFormat, buffer, BufferKind::kBytes,
                                                40, nullptr),
              kOk);
    EXPECT_EQ(buffer[0], 0xAA);
}

TEST_F(EndpointEnumeratorTest, NumbersGoToTheNumberSlot) {
    uint32_t number = 7;
    EXPECT_EQ(enumerator_->ReadEndpointProperty(0, 0, kKeyPhysicalSpeakers, nullptr,
                                                BufferKind::kBytes, 0, &number),
              kOk);
    EXPECT_EQ(number, 0x63Fu);
    // A text value leaves the number slot alone, and so does a missing value.
    number = 7;
    EXPECT_EQ(enumerator_->ReadEndpointProperty(0, 0, kKeyFriendlyName, nullptr, BufferKind::kText,
                                                0, &number),
              kOk);
    EXPECT_EQ(number, 7u);
    EXPECT_EQ(enumerator_->ReadEndpointProperty(1, 0, kKeyPhysicalSpeakers, nullptr,
                                                BufferKind::kBytes, 0, &number),
              kOk);
    EXPECT_EQ(number, 7u);
    // No slot at all is fine.
    EXPECT_EQ(enumerator_->ReadEndpointProperty(0, 0, kKeyPhysicalSpeakers, nullptr,
                                                BufferKind::kBytes, 0, nullptr),
              kOk);
}

TEST_F(EndpointEnumeratorTest, WritesGoThroughAReadWriteStore) {
    EXPECT_EQ(enumerator_->WriteEndpointProperty(0, kKeyPhysicalSpeakers,
                                                 PropertyValue::Type::kUInt32, nullptr, 0, 0x33),
              kOk);
    EXPECT_EQ(system_->EndpointProperty(DataFlow::kRender, 0, kKeyPhysicalSpeakers).number, 0x33u);

    const uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(enumerator_->WriteEndpointProperty(0, kKeyOemFormat, PropertyValue::Type::kBlob,
                                                 bytes, 4, 0),
              kOk);
    EXPECT_EQ(system_->EndpointProperty(DataFlow::kRender, 0, kKeyOemFormat).blob,
              std::vector<uint8_t>(bytes, bytes + 4));

    EXPECT_EQ(enumerator_->WriteEndpointProperty(0, kKeyFriendlyName, PropertyValue::Type::kText,
                                                 u"Lautsprecher", 0, 0),
              kOk);
    EXPECT_EQ(system_->EndpointProperty(DataFlow::kRender, 0, kKeyFriendlyName).text,
              u"Lautsprecher");

    // Failures come back unchanged; absent buffers and unknown types are refused.
    system_->Faults().FailAt("render0.store", "SetValue", 1, kInjected);
    EXPECT_EQ(enumerator_->WriteEndpointProperty(0, kKeyPhysicalSpeakers,
                                                 PropertyValue::Type::kUInt32, nullptr, 0, 0x3),
              kInjected);
    system_->Faults().FailAt("render0", "OpenPropertyStore", 1, kWrongEndpointType);
    EXPECT_EQ(enumerator_->WriteEndpointProperty(0, kKeyPhysicalSpeakers,
                                                 PropertyValue::Type::kUInt32, nullptr, 0, 0x3),
              kWrongEndpointType);
    EXPECT_EQ(enumerator_->WriteEndpointProperty(1, kKeyPhysicalSpeakers,
                                                 PropertyValue::Type::kUInt32, nullptr, 0, 0x3),
              kInvalidArg);
    EXPECT_EQ(enumerator_->WriteEndpointProperty(0, kKeyFriendlyName, PropertyValue::Type::kText,
                                                 nullptr, 0, 0),
              kFail);
    EXPECT_EQ(enumerator_->WriteEndpointProperty(0, kKeyOemFormat, PropertyValue::Type::kBlob,
                                                 nullptr, 4, 0),
              kFail);
    EXPECT_EQ(enumerator_->WriteEndpointProperty(0, kKeyOemFormat, PropertyValue::Type::kOther,
                                                 bytes, 4, 0),
              kFail);
    EXPECT_EQ(system_->EndpointProperty(DataFlow::kRender, 0, kKeyPhysicalSpeakers).number, 0x33u);
}

TEST(EndpointIdTest, CopiesAtMost259UnitsOrMarksTheDeviceMissing) {
    sim::EndpointDesign render = sim::EightChannelRender(0x10EC, 0x0899);
    render.id = std::u16string(300, u'i');
    auto system = sim::SimAudioSystemBuilder().Add(render).Build();
    EndpointEnumerator enumerator(system.get(), kNoWindow);
    enumerator.EnumerateEndpoints(DataFlow::kRender);

    char16_t id[kTextLength + 1];
    std::fill(std::begin(id), std::end(id), u'=');
    ASSERT_EQ(enumerator.ReadEndpointId(0, 0, id), kOk);
    EXPECT_EQ(test::Narrow(id), std::string(259, 'i'));
    EXPECT_EQ(id[kTextLength], u'=');

    system->Faults().FailAt("render0", "GetId", 1, kInjected);
    id[0] = u'\0';
    EXPECT_EQ(enumerator.ReadEndpointId(0, 0, id), kInjected);
    EXPECT_EQ(id[0], u'\0');
    EXPECT_EQ(enumerator.ReadEndpointId(0, 1, id), kInvalidArg);
    EXPECT_EQ(test::Narrow(id), "<Device not available>");
    EXPECT_EQ(enumerator.ReadEndpointId(1, 0, id), kFail);  // no capture collection
    EXPECT_EQ(enumerator.ReadEndpointId(-1, 0, id), kFail);
    EXPECT_EQ(enumerator.ReadEndpointId(0, 0, nullptr), kFail);
}

TEST_F(EndpointEnumeratorTest, CollectionsAreReplacedAndReleased) {
    EXPECT_EQ(enumerator_->GetEndpointCount(DataFlow::kRender), 1);
    enumerator_->EnumerateEndpoints(DataFlow::kRender);
    EXPECT_EQ(system_->RefsOf("render.collection", SimKind::kCollection), 1u);
    system_->Faults().FailAt("enumerator", "EnumActiveEndpoints", 1, kInjected);
    enumerator_->EnumerateEndpoints(DataFlow::kRender);
    EXPECT_EQ(system_->RefsOf("render.collection", SimKind::kCollection), 0u);
    EXPECT_EQ(enumerator_->GetEndpointCount(DataFlow::kRender), 0);
    EXPECT_EQ(enumerator_->GetEndpointCount(DataFlow::kCapture), 1);
    system_->Faults().FailAt("capture.collection", "GetCount", 1, kInjected);
    EXPECT_EQ(enumerator_->GetEndpointCount(DataFlow::kCapture), 0);

    enumerator_->ReleaseDevices();
    EXPECT_EQ(system_->TotalLiveRefs(), 0);
    EXPECT_FALSE(enumerator_->HasDeviceEnumerator());
    enumerator_->ReleaseDevices();
    EXPECT_EQ(system_->OverReleases(), 0);
}

}  // namespace
}  // namespace zelk
