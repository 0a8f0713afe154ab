#pragma once

// One message on the channel: a datagram of exactly 12 bytes, little-endian uint32 message,
// uint32 wParam, int32 lParam, whatever the byte order of the machine.

#include <cstddef>
#include <cstdint>

namespace zelk::posix {

inline constexpr size_t kChannelMessageSize = 12;

struct ChannelMessage {
    uint32_t message = 0;
    uint32_t wParam = 0;
    int32_t lParam = 0;

    bool operator==(const ChannelMessage&) const = default;
};

void EncodeChannelMessage(const ChannelMessage& message, uint8_t (&bytes)[kChannelMessageSize]);
// False (and nothing written) unless size is exactly kChannelMessageSize.
bool DecodeChannelMessage(const uint8_t* bytes, size_t size, ChannelMessage* message);

}  // namespace zelk::posix
