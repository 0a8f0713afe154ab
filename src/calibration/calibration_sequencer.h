#pragma once

// The timer-driven schedule of a calibration run: the warm-up, the measuring passes with their
// channel phases, the pass tails, the playback pass and both endings.

#include <cstdint>

#include "engine/calibration_context.h"

namespace zelk {

// Frequency arguments of the passes: the two measuring tones and the playback pass (not above 0).
inline constexpr double kPassFrequencies[kPasses] = {261.63, 130.81, -1.0};

inline constexpr uint32_t kWarmupTicks = 600;
inline constexpr int32_t kChannelPhaseTicks = 1024;
// Positions of the pass tail.
inline constexpr int32_t kChannelLoopEnd = 8192;
inline constexpr int32_t kPlayerStopPosition = 8193;
inline constexpr int32_t kNextPassPosition = 8195;

// Results of CalibrationTick.
inline constexpr int32_t kTickNotOurs = -1;
inline constexpr int32_t kTickContinue = 0;
inline constexpr int32_t kTickFinished = 1;
inline constexpr int32_t kTickFailed = 2;

// One tick of the calibration timer. Returns -1 for another timer (nothing read or written) and
// when no run is active, 0 while the run goes on, 1 when it has finished and 2 when it has
// failed; on 1 and 2 FinishRun has been done. countdown, passNumber and channelBit receive the
// run's progress.
int32_t CalibrationTick(CalibrationContext* context, uintptr_t timerId, int32_t* countdown,
                        int32_t* passNumber, int32_t* channelBit);

}  // namespace zelk
