#include "audio/level_detector.h"

#include <algorithm>

namespace zelk {
namespace {

int32_t TakeFlag(std::atomic<int32_t>& flag) {
    return flag.exchange(0);
}

int16_t ThresholdFromPercent(int32_t percent) {
    const int64_t value = static_cast<int64_t>(percent) * 32768 / 100;
    return static_cast<int16_t>(
        std::clamp<int64_t>(value, INT16_MIN, LevelDetector::kHighestThreshold));
}

}  // namespace

void LevelDetector::Arm(int32_t band) {
    band_.store(band);
    for (auto& reached : reached_)
        reached.store(0);
    // Last, so the worker never examines for a half-made request.
    armed_.store(1);
}

void LevelDetector::Take(int32_t* pending, int32_t* reachedLow, int32_t* reachedMedium,
                         int32_t* reachedHigh) {
    if (pending != nullptr)
        *pending = TakeFlag(armed_);
    if (reachedLow != nullptr)
        *reachedLow = TakeFlag(reached_[0]);
    if (reachedMedium != nullptr)
        *reachedMedium = TakeFlag(reached_[1]);
    if (reachedHigh != nullptr)
        *reachedHigh = TakeFlag(reached_[2]);
}

void LevelDetector::SetThresholds(int32_t lowPercent, int32_t mediumPercent, int32_t highPercent) {
    thresholds_[0].store(ThresholdFromPercent(lowPercent));
    thresholds_[1].store(ThresholdFromPercent(mediumPercent));
    thresholds_[2].store(ThresholdFromPercent(highPercent));
}

void LevelDetector::Examine(const uint8_t* block, uint32_t length, uint32_t frameBytes) {
    if (armed_.load() == 0)
        return;
    const int32_t band = band_.load();
    if (band >= 0 && band < kBands && frameBytes >= 2) {
        const int32_t threshold = thresholds_[band].load();
        int32_t count = 0;
        for (uint32_t offset = 0; offset + frameBytes <= length; offset += frameBytes) {
            const auto sample =
                static_cast<int16_t>(static_cast<uint16_t>(block[offset] | block[offset + 1] << 8));
            // Wider than 16 bits, so that -32768 is as loud as it is.
            const int32_t magnitude = sample < 0 ? -static_cast<int32_t>(sample) : sample;
            if (magnitude >= threshold && ++count >= kSamplesToReach) {
                reached_[band].store(1);
                break;
            }
        }
    }
    armed_.store(0);
}

}  // namespace zelk
