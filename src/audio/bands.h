#pragma once

// The detector's three amplitude bands, in this order everywhere: the thresholds the recorder
// listens for, the result tables and the results file's keys.

#include <cstdint>

namespace zelk {

enum Band : int32_t { kBandLow = 0, kBandMedium = 1, kBandHigh = 2 };
inline constexpr int32_t kBands = 3;

}  // namespace zelk
