#pragma once

// The codecs this program knows and their speaker channels: one definition for the endpoint
// control, the calibration, the engine and the peer protocol.

#include <cstdint>

namespace zelk {

// The floor of the level scale in dB: silence, and the zero point of the percent and gain scales
// the results file and the peer see (0 dB is their top).
inline constexpr float kLevelFloorDb = -65.25f;

// PCI identifiers of the codecs.
inline constexpr uint16_t kCodecVendorId = 0x10EC;
inline constexpr uint16_t kSixChannelCodecId = 0x0662;         // six-channel topology
inline constexpr uint16_t kSixOrEightChannelCodecId = 0x0892;  // either topology
inline constexpr uint16_t kEightChannelCodecId = 0x0899;       // eight-channel topology
inline constexpr uint16_t kKnownCodecIds[] = {kSixChannelCodecId, kSixOrEightChannelCodecId,
                                              kEightChannelCodecId};

// Whether a codec's render topology may be the six-channel one (then channels 6 and 7 have no
// control of their own).
constexpr bool MayBeSixChannelCodec(uint16_t deviceId) {
    return deviceId == kSixChannelCodecId || deviceId == kSixOrEightChannelCodecId;
}

// Speaker channels, in this order everywhere: 0 front left, 1 front right, 2 rear left, 3 rear
// right, 4 subwoofer, 5 center, 6 side left, 7 side right. The channel bit of channel k is 1 << k.
inline constexpr int32_t kSpeakerChannels = 8;
inline constexpr int32_t kSubwooferChannel = 4;
inline constexpr int32_t kCenterChannel = 5;

// The last speaker channel a codec's render topology serves: the center on the six-channel topology
// of a codec that may have it, the side right otherwise.
constexpr int32_t LastServedChannel(uint16_t deviceId, bool sixChannelTopology) {
    return MayBeSixChannelCodec(deviceId) && sixChannelTopology ? kCenterChannel
                                                                : kSpeakerChannels - 1;
}

// The master pair.
inline constexpr int32_t kMasterSides = 2;
inline constexpr int32_t kMasterLeft = 0;
inline constexpr int32_t kMasterRight = 1;

// Master side of a speaker channel: right for 1, 3 and 7, left for every other.
constexpr int32_t MasterSideOf(int32_t channel) {
    return (channel == 1 || channel == 3 || channel == 7) ? kMasterRight : kMasterLeft;
}

}  // namespace zelk
