#pragma once

// The engine's hands on the codec: finds the codec's render and capture endpoints, keeps the level
// and mute controls the topology walks find behind them, and offers the level, mute and format
// operations on the first render record and the first capture record.

#include <cstdint>
#include <memory>

#include "endpoint/codec_facts.h"
#include "endpoint/endpoint_enumerator.h"
#include "endpoint/endpoint_record.h"
#include "platform/core_audio.h"
#include "platform/status.h"
#include "platform/windowing.h"

namespace zelk {

// Topology kinds reported by Open.
inline constexpr int32_t kTopologyEightChannel = 8;
inline constexpr int32_t kTopologySixChannel = 6;
inline constexpr int32_t kTopologyMicrophone = 2;

class EndpointControl {
  public:
    EndpointControl(CoreAudio* coreAudio, WindowHandle window);
    // ReleaseControls, then the enumerator's ReleaseDevices.
    ~EndpointControl();
    EndpointControl(const EndpointControl&) = delete;
    EndpointControl& operator=(const EndpointControl&) = delete;

    Status Open(uint16_t vendorId, uint16_t deviceId, int32_t includeCapture,
                int32_t* renderTopologyKind, int32_t* captureTopologyKind);
    void ReleaseControls();

    // Level and mute operations. Speaker channels 0..7; master channels 0 (left) and 1 (right).
    Status SetLevelInRange(VolumeLevelControl* control, uint32_t channel, float level);
    Status SetUpMicrophone();
    Status PrepareRenderLevels(float masterLevel, float channelLevel);
    Status RaiseChannelLevel(int32_t channel, float* newLevel);
    Status GetChannelLevel(int32_t channel, float* level);
    Status SetChannelLevel(int32_t channel, float level);
    Status GetMasterLevels(float* left, float* right);
    Status SetMasterLevels(float left, float right);
    Status RestoreChannelLevel(int32_t channel);
    Status RestoreMasterChannelLevel(int32_t masterChannel);
    void RestoreInputs();
    void RestoreMicrophone();
    void RestoreAll();

    // Render format and speaker configuration of the first render endpoint.
    Status GetRenderFormat(uint16_t* channels, uint32_t* sampleRate, uint16_t* bitsPerSample,
                           uint32_t* channelMask);
    Status SetRenderFormat(uint32_t sampleRate, uint16_t bitsPerSample, uint16_t channels,
                           uint32_t channelMask);
    Status SetSpeakerConfig(uint32_t physicalSpeakers, uint32_t fullRangeSpeakers);

    // Read access for the rest of the engine.
    const EndpointRecord* FirstRenderRecord() const;   // null without a render record
    const EndpointRecord* FirstCaptureRecord() const;  // null without a capture record
    const EndpointRecord& Record(DataFlow flow, int32_t index) const;
    int32_t RecordCount(DataFlow flow) const;
    uint16_t vendorId() const { return vendorId_; }
    uint16_t deviceId() const { return deviceId_; }
    int32_t masterInputCount() const { return masterInputCount_; }
    bool opened() const { return opened_ != 0; }
    EndpointEnumerator* enumerator() const { return enumerator_.get(); }

  private:
    // Steps of Open.
    Status ScanEndpoints(DataFlow flow, const char16_t* matchText, int32_t* topologyKind);
    void ReleaseRecordControls(DataFlow flow, int32_t index);

    // The first records, which the level and format operations act on; null when absent.
    EndpointRecord* RenderRecord();
    EndpointRecord* CaptureRecord();
    // The render topology counts as six-channel for codecs 0x0892 and 0x0662 with 9 master
    // inputs; its mixer inputs then start at slot 5, else at slot 6.
    bool SixChannelLayout() const;
    int32_t FirstInputSlot() const;

    uint16_t vendorId_ = 0;
    uint16_t deviceId_ = 0;
    int32_t masterInputCount_ = 0;
    std::unique_ptr<EndpointEnumerator> enumerator_;
    int32_t opened_ = 0;
    EndpointRecord records_[2][kMaxEndpointRecords];
    int32_t recordCount_[2] = {0, 0};
};

}  // namespace zelk
