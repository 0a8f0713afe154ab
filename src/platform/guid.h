#pragma once

#include <cstdint>

namespace zelk {

// The platform's 16-byte identifier, laid out as it is in memory and in files.
struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};

    friend bool operator==(const Guid&, const Guid&) = default;
};
static_assert(sizeof(Guid) == 16);

}  // namespace zelk
