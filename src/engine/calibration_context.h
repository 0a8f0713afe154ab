#pragma once

// Everything a calibration run needs: the codec identifiers, the run's endpoint control, the
// player and the recorder, the channel plan, the sequencer's counters, the result tables, the
// optional WAV path and the text of the last failure. One context lives as long as the engine.

#include <cstdint>
#include <memory>

#include "audio/wave_in_recorder.h"
#include "audio/wave_out_player.h"
#include "endpoint/codec_facts.h"
#include "endpoint/endpoint_control.h"
#include "platform/platform.h"
#include "platform/status.h"
#include "platform/windowing.h"

namespace zelk {

inline constexpr uintptr_t CALIBRATION_TIMER_ID = 30309;
inline constexpr uint32_t CALIBRATION_TIMER_PERIOD_MS = 10;

inline constexpr int32_t kPasses = 3;
inline constexpr int32_t kWavPathLength = 260;
inline constexpr int32_t kErrorTextLength = 1024;

class CalibrationContext {
  public:
    explicit CalibrationContext(const Platform& platform);
    ~CalibrationContext();
    CalibrationContext(const CalibrationContext&) = delete;
    CalibrationContext& operator=(const CalibrationContext&) = delete;

    // DropEndpointControl, then the recorder's and the player's Shutdown.
    void Teardown();

    Status BeginRun(WindowHandle window, uint16_t vendorId, uint16_t deviceId, const char* wavPath,
                    int32_t mode, int32_t singleChannel);
    void AbortRun();
    void FinishRun();
    Status ReopenEndpointControl(WindowHandle window, uint16_t vendorId, uint16_t deviceId);
    void DropEndpointControl();

    // One-shot result queries.
    Status GetResultLevels(float* levels /* [8] */);
    Status QuerySpeakerLayout(WindowHandle window, uint16_t vendorId, uint16_t deviceId,
                              uint16_t* channels, uint32_t* physicalSpeakers,
                              uint32_t* fullRangeSpeakers);
    Status QueryChannelLevel(WindowHandle window, uint16_t vendorId, uint16_t deviceId,
                             uint32_t slot, float* level);

    // Records the message of the last failure.
    void SetErrorText(const char* message);

    // True from a successful BeginRun until AbortRun or FinishRun: the player and the recorder
    // stream, the timer runs and the endpoint control belongs to the run.
    bool runActive() const { return runActive_; }

    const Platform platform;

    uint16_t vendorId = 0;
    uint16_t deviceId = 0;
    int32_t renderTopologyKind = 0;
    int32_t captureTopologyKind = 0;
    std::unique_ptr<EndpointControl> endpointControl;
    WaveOutPlayer player;
    WaveInRecorder recorder;
    int32_t mode = 0;
    int32_t channelCount = 0;
    int32_t channelMask = 0;
    int32_t singleChannel = 0;
    int32_t pass = 0;
    int32_t reportedChannelBit = 0;
    WindowHandle window = kNoWindow;
    int32_t position = 0;
    int32_t toneOn = 0;
    uint32_t warmupTicks = 0;
    float channelLevels[kPasses][kSpeakerChannels][kBands] = {};
    float masterLevels[kPasses][kMasterSides][kBands] = {};
    int32_t soughtBand = 0;
    char wavPath[kWavPathLength] = {};
    char errorText[kErrorTextLength] = {};

  private:
    // Puts back what a start changed before it failed and gives back the run's controls.
    void UndoFailedStart(bool microphoneSetUp);

    bool runActive_ = false;
    bool tornDown_ = false;
};

}  // namespace zelk
