#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/guid.h"

namespace zelk {

inline constexpr uint16_t kWaveFormatPcm = 1;
inline constexpr uint16_t kWaveFormatIeeeFloat = 3;
inline constexpr uint16_t kWaveFormatExtensible = 0xFFFE;

inline constexpr Guid kSubtypePcm = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr Guid kSubtypeIeeeFloat = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// The extensible wave format record: 40 bytes, little-endian, the layout of an extensible
// "fmt " chunk and of the endpoint's device format. The first 18 bytes are the plain format;
// a plain format has cbSize 0 and nothing after it.
struct WaveFormatExtensible {
    uint16_t wFormatTag = 0;
    uint16_t nChannels = 0;
    uint32_t nSamplesPerSec = 0;
    uint32_t nAvgBytesPerSec = 0;
    uint16_t nBlockAlign = 0;
    uint16_t wBitsPerSample = 0;
    uint16_t cbSize = 0;
    uint16_t wValidBitsPerSample = 0;
    uint32_t dwChannelMask = 0;
    Guid SubFormat;
};
static_assert(sizeof(WaveFormatExtensible) == 40);
static_assert(offsetof(WaveFormatExtensible, cbSize) == 16);
static_assert(offsetof(WaveFormatExtensible, wValidBitsPerSample) == 18);
static_assert(offsetof(WaveFormatExtensible, dwChannelMask) == 20);
static_assert(offsetof(WaveFormatExtensible, SubFormat) == 24);

// An extensible format of whole-byte samples, every bit valid: PCM unless subFormat says float.
constexpr WaveFormatExtensible ExtensibleFormat(uint16_t channels, uint32_t rate, uint16_t bits,
                                                uint32_t channelMask,
                                                const Guid& subFormat = kSubtypePcm) {
    WaveFormatExtensible format;
    format.wFormatTag = kWaveFormatExtensible;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.nBlockAlign = static_cast<uint16_t>(channels * (bits / 8));
    format.nAvgBytesPerSec = format.nBlockAlign * rate;
    format.wBitsPerSample = bits;
    format.cbSize = 22;
    format.wValidBitsPerSample = bits;
    format.dwChannelMask = channelMask;
    format.SubFormat = subFormat;
    return format;
}

}  // namespace zelk
