#pragma once

// The handle through which the hidden dialog uses the calibration engine: it owns the one
// calibration context, keeps the run state the dialog and the peer protocol read, remembers the
// completion callback of the current run, receives the dialog's timer ticks and holds the progress
// values the sequencer writes on each tick. It adds the state machine, the argument checks and the
// conversions between decibel levels and the integers the peer sees.

#include <cstdint>
#include <memory>

#include "engine/calibration_context.h"
#include "platform/platform.h"
#include "platform/status.h"
#include "platform/windowing.h"

namespace zelk {

inline constexpr int32_t ENGINE_IDLE = 0;
inline constexpr int32_t ENGINE_DONE = 1;
inline constexpr int32_t ENGINE_RUNNING = 2;
inline constexpr int32_t ENGINE_STOPPED = 3;
inline constexpr int32_t ENGINE_FAILED = -1;

using CompletionCallback = void (*)(void*);

// The two integer scales of a level, both truncated toward zero, with the floor (-65.25 dB) at 0:
// percent of the scale (0 dB is 100; computed in double precision and rounded to single precision
// before the truncation) and gain value (0 dB is 50; computed in double precision). Values beyond
// the 32-bit range are clamped; a level that is not a number gives 0.
int32_t LevelToPercent(float level);
int32_t LevelToGain(float level);

class CalibrationEngine {
  public:
    // Creates the context. Should that fail, the engine refuses every operation.
    explicit CalibrationEngine(const Platform& platform);
    // Tears the context down and destroys it.
    ~CalibrationEngine();
    CalibrationEngine(const CalibrationEngine&) = delete;
    CalibrationEngine& operator=(const CalibrationEngine&) = delete;

    // Starts a run: mode 1 (the single channel singleChannel, 0..7) or 2, 4, 6, 8 channels.
    // Refused while a run is active, which it leaves alone.
    Status Start(WindowHandle window, uint16_t vendorId, uint16_t deviceId, const char* wavPath,
                 int32_t mode, int32_t singleChannel, CompletionCallback completionCallback,
                 void* completionArg);
    // Aborts the run (every saved level back) and forgets its callback, in any state.
    void Stop();
    // Every timer message of the dialog, whatever its identifier.
    void OnTimerTick(uintptr_t timerId);
    int32_t GetState() const { return state; }
    // The eight result levels as percent of the level scale; only after a finished run.
    Status GetLevelPercents(int32_t* values /* [8] */);
    // Applies one band of the results file: selector 0 Medium, 1 Low, 2 High.
    Status ApplyResults(WindowHandle window, uint16_t vendorId, uint16_t deviceId,
                        int32_t selector);
    void SetThresholdPercents(int32_t mediumPercent, int32_t lowPercent, int32_t highPercent);
    Status SetSpeakerLayout(WindowHandle window, uint16_t vendorId, uint16_t deviceId,
                            uint16_t count, uint32_t physicalSpeakers, uint32_t fullRangeSpeakers);
    Status GetSpeakerLayout(WindowHandle window, uint16_t vendorId, uint16_t deviceId,
                            uint16_t* channels, uint32_t* physicalSpeakers,
                            uint32_t* fullRangeSpeakers);
    // A speaker channel's current level as a gain value (floor 0, 0 dB 50).
    Status GetChannelGain(WindowHandle window, uint16_t vendorId, uint16_t deviceId, uint32_t slot,
                          int32_t* value);

    int32_t state = ENGINE_IDLE;
    int32_t countdown = 0;
    int32_t passNumber = 0;
    int32_t channelBit = 0;
    std::unique_ptr<CalibrationContext> context;
    CompletionCallback completionCallback = nullptr;
    void* completionArg = nullptr;
};

}  // namespace zelk
