#include "peer/peer_messages.h"

#include <gtest/gtest.h>

#include <iterator>

namespace zelk {
namespace {

TEST(PeerMessagesTest, WireNumbersAreFixed) {
    EXPECT_EQ(WM_PEER_COMMAND, 0x0400u + 8888u);
    EXPECT_EQ(WM_PEER_CHANNEL_VALUE, 0x0400u + 8890u);
    const uint32_t commands[] = {
        CMD_CALIBRATE,   CMD_CALIBRATE_CHANNEL, CMD_QUERY_SPEAKERS, CMD_APPLY_RESULTS,
        CMD_QUERY_GAINS, CMD_SET_SPEAKERS,      CMD_SELECT_CODEC,   CMD_STOP};
    const uint32_t expected[] = {1, 2, 3, 4, 5, 100, 4332, 10000};
    for (size_t i = 0; i < std::size(commands); ++i)
        EXPECT_EQ(commands[i], expected[i]);
    EXPECT_EQ(REPLY_CALIBRATED, 4u);
    EXPECT_EQ(REPLY_SPEAKERS, 10u);
    EXPECT_EQ(REPLY_SPEAKERS_FAILED, 10000u);
}

TEST(PeerMessagesTest, MasksAndChannelCountsTranslateBothWays) {
    struct Case {
        uint32_t mask;
        int32_t channels;
    };
    const Case known[] = {{0x3, 2}, {0x33, 4}, {0x3F, 6}, {0x63F, 8}};
    for (const Case& c : known) {
        EXPECT_EQ(ChannelCountOfMask(c.mask), c.channels) << c.mask;
        EXPECT_EQ(MaskOfChannelCount(c.channels), c.mask) << c.channels;
    }
    for (uint32_t mask : {0x0u, 0x1u, 0x2u, 0x6u, 0x7u, 0xFu, 0x60Fu, 0x63Eu, 0xFFFFFFFFu})
        EXPECT_EQ(ChannelCountOfMask(mask), 0) << mask;
    for (int32_t count : {0, 1, 3, 5, 7, 9, 63, -2})
        EXPECT_EQ(MaskOfChannelCount(count), 0u) << count;
}

TEST(PeerMessagesTest, SetSpeakersArgumentGivesCountAndMask) {
    struct Case {
        int32_t argument;
        int32_t channels;
        uint32_t mask;
    };
    const Case cases[] = {
        // Known masks.
        {0x3, 2, 0x3},
        {0x33, 4, 0x33},
        {0x3F, 6, 0x3F},
        {0x63F, 8, 0x63F},
        // Channel counts: their standard masks, never the count as a mask.
        {2, 2, 0x3},
        {4, 4, 0x33},
        {6, 6, 0x3F},
        {8, 8, 0x63F},
        // Anything else is passed on for the engine to refuse.
        {0, 0, 0x0},
        {1, 1, 0x1},
        {5, 5, 0x5},
        {7, 7, 0x7},
        {0x60F, 0x60F, 0x60F},
        {-1, -1, 0xFFFFFFFFu},
        {INT32_MIN, INT32_MIN, 0x80000000u},
    };
    for (const Case& c : cases) {
        const SpeakerRequest request = TranslateSpeakerArgument(c.argument);
        EXPECT_EQ(request.channels, c.channels) << c.argument;
        EXPECT_EQ(request.mask, c.mask) << c.argument;
    }
}

TEST(PeerMessagesTest, SpeakerBitsCoverEveryStandardMask) {
    uint32_t all = 0;
    for (const SpeakerBit& bit : SPEAKER_BITS)
        all |= bit.bit;
    EXPECT_EQ(all, 0x63Fu);
    EXPECT_STREQ(CHANNEL_SLOT_NAMES[4], "subwoofer");
    EXPECT_STREQ(CHANNEL_SLOT_NAMES[7], "side right");
}

}  // namespace
}  // namespace zelk
