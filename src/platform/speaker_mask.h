#pragma once

// The platform's speaker mask: the channel-mask word of a wave format and of an endpoint's
// speaker properties, and the four standard layouts the codecs serve.

#include <cstdint>

namespace zelk {

inline constexpr uint32_t kSpeakerFrontLeft = 0x1;
inline constexpr uint32_t kSpeakerFrontRight = 0x2;
inline constexpr uint32_t kSpeakerFrontCenter = 0x4;
inline constexpr uint32_t kSpeakerLowFrequency = 0x8;
inline constexpr uint32_t kSpeakerBackLeft = 0x10;
inline constexpr uint32_t kSpeakerBackRight = 0x20;
inline constexpr uint32_t kSpeakerSideLeft = 0x200;
inline constexpr uint32_t kSpeakerSideRight = 0x400;

struct SpeakerLayout {
    uint32_t mask;
    int32_t channels;
};

inline constexpr uint32_t kStereoMask = kSpeakerFrontLeft | kSpeakerFrontRight;            // 0x3
inline constexpr uint32_t kQuadMask = kStereoMask | kSpeakerBackLeft | kSpeakerBackRight;  // 0x33
inline constexpr uint32_t kFivePointOneMask =
    kQuadMask | kSpeakerFrontCenter | kSpeakerLowFrequency;  // 0x3F
inline constexpr uint32_t kSevenPointOneMask =
    kFivePointOneMask | kSpeakerSideLeft | kSpeakerSideRight;  // 0x63F

inline constexpr SpeakerLayout kSpeakerLayouts[] = {
    {kStereoMask, 2},
    {kQuadMask, 4},
    {kFivePointOneMask, 6},
    {kSevenPointOneMask, 8},
};

// Channel count of a standard layout's mask; 0 for any other mask.
constexpr int32_t ChannelCountOfMask(uint32_t mask) {
    for (const SpeakerLayout& layout : kSpeakerLayouts) {
        if (layout.mask == mask)
            return layout.channels;
    }
    return 0;
}

// Standard mask of 2, 4, 6 or 8 channels; 0 for any other count.
constexpr uint32_t MaskOfChannelCount(int64_t channels) {
    for (const SpeakerLayout& layout : kSpeakerLayouts) {
        if (layout.channels == channels)
            return layout.mask;
    }
    return 0;
}

}  // namespace zelk
