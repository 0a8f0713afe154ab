#pragma once

// Finds the wave device of the codec: the first device, by id, whose interface name contains
// "VEN_xxxx&DEV_xxxx" (upper case) of the codec's identifiers.

#include <cstdint>
#include <new>
#include <string>

#include "platform/wave.h"

namespace zelk {

inline constexpr uint32_t kNoWaveDevice = 0xFFFFFFFFu;
// Interface names are a few hundred bytes; a device claiming more than this is skipped.
inline constexpr uint32_t kMaxInterfaceNameBytes = 0x10000;

// "ven_%04x&dev_%04x" of the identifiers, in upper case.
std::u16string CodecIdentifierText(uint16_t vendorId, uint16_t deviceId);

// True when the upper-cased name contains the text (a name ends at its first 0 or its length).
bool InterfaceNameContains(const char16_t* name, size_t length, const std::u16string& text);

// Devices is WaveOut or WaveIn. Returns the chosen id or kNoWaveDevice.
template <class Devices>
uint32_t FindCodecWaveDevice(Devices& devices, uint32_t count, uint16_t vendorId,
                             uint16_t deviceId) {
    const std::u16string text = CodecIdentifierText(vendorId, deviceId);
    for (uint32_t id = 0; id < count; ++id) {
        uint32_t bytes = 0;
        if (devices.QueryInterfaceSize(id, &bytes) != kMmNoError || bytes == 0 ||
            bytes > kMaxInterfaceNameBytes)
            continue;
        // Sized in characters for a size given in bytes, plus room: the name always ends in 0.
        const size_t length = static_cast<size_t>(bytes) + 16;
        char16_t* name = new (std::nothrow) char16_t[length]();
        if (name == nullptr)
            continue;
        const bool match = devices.QueryInterfaceName(id, name, bytes + 16) == kMmNoError &&
                           InterfaceNameContains(name, length, text);
        delete[] name;
        if (match)
            return id;
    }
    return kNoWaveDevice;
}

}  // namespace zelk
