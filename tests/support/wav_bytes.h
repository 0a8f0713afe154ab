#pragma once

// Builds WAV files byte by byte, so each test states exactly the layout it reads.

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <vector>

#include "platform/wave_format.h"

namespace zelk::testing {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void Put32(Bytes& out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

inline void PutId(Bytes& out, const char* id) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(id[i]));
}

// A plain 16-byte "fmt " body.
inline Bytes PlainFormat(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    Bytes out;
    const uint32_t align = channels * bits / 8u;
    Put16(out, tag);
    Put16(out, channels);
    Put32(out, rate);
    Put32(out, align * rate);
    Put16(out, align);
    Put16(out, bits);
    return out;
}

// A 40-byte extensible "fmt " body (the bytes of zelk::ExtensibleFormat).
inline Bytes ExtensibleFormatBody(uint16_t channels, uint32_t rate, uint16_t bits, uint32_t mask,
                                  const Guid& subFormat = kSubtypePcm) {
    Bytes out = PlainFormat(kWaveFormatExtensible, channels, rate, bits);
    Put16(out, 22);
    Put16(out, bits);
    Put32(out, mask);
    Put32(out, subFormat.data1);
    Put16(out, subFormat.data2);
    Put16(out, subFormat.data3);
    out.insert(out.end(), subFormat.data4, subFormat.data4 + 8);
    return out;
}

// A chunk: header, body and, after an odd body, the pad byte. declaredSize overrides the size
// field.
inline Bytes Chunk(const char* id, const Bytes& body,
                   std::optional<uint32_t> declaredSize = std::nullopt) {
    Bytes out;
    PutId(out, id);
    Put32(out, declaredSize.value_or(static_cast<uint32_t>(body.size())));
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() % 2 != 0)
        out.push_back(0);
    return out;
}

// "RIFF", size, "WAVE" and the chunks; riffSize overrides the size field.
inline Bytes Riff(std::initializer_list<Bytes> chunks,
                  std::optional<uint32_t> riffSize = std::nullopt) {
    Bytes body;
    for (const Bytes& chunk : chunks)
        body.insert(body.end(), chunk.begin(), chunk.end());
    Bytes out;
    PutId(out, "RIFF");
    Put32(out, riffSize.value_or(static_cast<uint32_t>(body.size() + 4)));
    PutId(out, "WAVE");
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Bytes that show where in a stream they stand: byte i is (i * 7 + 3) mod 251.
inline Bytes Pattern(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>((i * 7 + 3) % 251);
    return out;
}

}  // namespace zelk::testing
