#include "platform/posix/channel_message.h"

#include <gtest/gtest.h>

#include <vector>

namespace zelk::posix {
namespace {

TEST(ChannelMessageTest, EncodesLittleEndianWhateverTheMachine) {
    struct Case {
        ChannelMessage message;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {{9912, 4332, 2201}, {0xB8, 0x26, 0, 0, 0xEC, 0x10, 0, 0, 0x99, 0x08, 0, 0}},
        {{0x0111, 1001, 0}, {0x11, 0x01, 0, 0, 0xE9, 0x03, 0, 0, 0, 0, 0, 0}},
        {{0x04030201, 0xFFFFFFFF, -2},
         {1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF}},
        {{0, 0, INT32_MIN}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}},
    };
    for (const Case& c : cases) {
        uint8_t bytes[kChannelMessageSize];
        EncodeChannelMessage(c.message, bytes);
        EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + sizeof bytes), c.bytes);
        ChannelMessage decoded;
        ASSERT_TRUE(DecodeChannelMessage(c.bytes.data(), c.bytes.size(), &decoded));
        EXPECT_EQ(decoded, c.message);
    }
}

TEST(ChannelMessageTest, DecodesOnlyExactlyTwelveBytes) {
    const std::vector<uint8_t> bytes(16, 0x5A);
    const ChannelMessage untouched{1, 2, 3};
    for (size_t size : {size_t{0}, size_t{1}, size_t{11}, size_t{13}, size_t{16}}) {
        ChannelMessage message = untouched;
        EXPECT_FALSE(DecodeChannelMessage(bytes.data(), size, &message)) << size;
        EXPECT_EQ(message, untouched);
    }
    ChannelMessage message;
    EXPECT_TRUE(DecodeChannelMessage(bytes.data(), 12, &message));
    EXPECT_FALSE(DecodeChannelMessage(nullptr, 12, &message));
}

}  // namespace
}  // namespace zelk::posix
