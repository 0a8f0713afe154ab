#pragma once

// The recorder's level detector: armed for one band, it examines the next captured block and marks
// the band reached when 100 samples of the block's first channel are at least as loud as the band's
// threshold. Armed, band, thresholds and reached flags are shared between the caller's thread and
// the recorder's worker.

#include <atomic>
#include <cstdint>

#include "audio/bands.h"

namespace zelk {

class LevelDetector {
  public:
    // Qualifying samples one block must hold for its band to be reached.
    static constexpr int32_t kSamplesToReach = 100;
    // The highest threshold the percentage setter gives.
    static constexpr int32_t kHighestThreshold = 32000;

    // Any band value is taken; only 0, 1 and 2 can be reached.
    void Arm(int32_t band);
    // Any output may be null; each value handed out is cleared, the others are left alone.
    void Take(int32_t* pending, int32_t* reachedLow, int32_t* reachedMedium, int32_t* reachedHigh);
    // Percentages of full scale: min(trunc(percent x 32768 / 100), 32000).
    void SetThresholds(int32_t lowPercent, int32_t mediumPercent, int32_t highPercent);
    int16_t Threshold(int32_t band) const { return thresholds_[band].load(); }

    // Worker side: when armed, examines the first channel of the 16-bit frames (frameBytes each)
    // in length bytes of block, then disarms.
    void Examine(const uint8_t* block, uint32_t length, uint32_t frameBytes);

  private:
    std::atomic<int32_t> armed_{0};
    std::atomic<int32_t> band_{1};
    std::atomic<int32_t> reached_[kBands] = {};
    std::atomic<int16_t> thresholds_[kBands] = {10000, 20000, 30000};
};

}  // namespace zelk
