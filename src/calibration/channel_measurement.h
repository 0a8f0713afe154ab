#pragma once

// The measurement of one speaker channel: the channel is isolated, raised step by step while the
// microphone listens, and the levels at which the detector first reports Low, Medium and High are
// recorded.

#include <cstdint>

#include "engine/calibration_context.h"

namespace zelk {

inline constexpr float kChannelStartLevelDb = -40.0f;
inline constexpr float kOpenMasterLevelDb = 0.0f;
inline constexpr int32_t kCycleTicks = 16;
inline constexpr int32_t kStepTick = 0;
inline constexpr int32_t kArmTick = 8;
inline constexpr int32_t kFirstPollTick = 9;

// First tick of a channel's phase: every level to the floor, the master of the channel's side
// open, the channel at its start level.
void BeginChannel(CalibrationContext* context, int32_t channel);

// Work of tick phaseTick (0..1023) of the channel's phase. True when High was reached on it.
bool MeasureChannelTick(CalibrationContext* context, int32_t channel, int32_t phaseTick);

}  // namespace zelk
