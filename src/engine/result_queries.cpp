// The three read-only questions the engine answers for the peer: the result levels of the tables,
// the render endpoint's speaker layout and one speaker channel's current level.

#include <cmath>
#include <limits>

#include "engine/calibration_context.h"

namespace zelk {

namespace {

constexpr int32_t kPassOfChannel[kSpeakerChannels] = {0, 0, 0, 0, 1, 0, 0, 0};

}  // namespace

Status CalibrationContext::GetResultLevels(float* levels) {
    if (levels == nullptr)
        return kFail;
    for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
        int32_t resultPass = kPassOfChannel[channel];
        static_assert(kPassOfChannel[kSubwooferChannel] == 1);
        float channelEntry = channelLevels[resultPass][channel][kBandMedium];
        float masterEntry = masterLevels[resultPass][MasterSideOf(channel)][kBandMedium];
        levels[channel] = channelEntry + masterEntry;
    }
    return kOk;
}

Status CalibrationContext::QuerySpeakerLayout(WindowHandle window, uint16_t vendorId,
                                              uint16_t deviceId, uint16_t* channels,
                                              uint32_t* physicalSpeakers,
                                              uint32_t* fullRangeSpeakers) {
    if (channels == nullptr || physicalSpeakers == nullptr || fullRangeSpeakers == nullptr)
        return kFail;

    Status status = ReopenEndpointControl(window, vendorId, deviceId);
    if (Failed(status))
        return status;

    uint16_t formatChannels = 0;
    uint32_t sampleRate = 0;
    uint16_t bitsPerSample = 0;
    uint32_t channelMask = 0;
    status = endpointControl->GetRenderFormat(&formatChannels, &sampleRate, &bitsPerSample,
                                              &channelMask);
    const EndpointRecord* record = endpointControl->FirstRenderRecord();
    if (Failed(status)) {
        SetErrorText("[Qaltor] Fail to get render device format!");
    } else if (record == nullptr) {
        status = kFail;
    } else {
        *channels = formatChannels;
        *physicalSpeakers = record->physicalSpeakers;
        *fullRangeSpeakers = record->fullRangeSpeakers;
        status = kOk;
    }

    DropEndpointControl();
    return status;
}

Status CalibrationContext::QueryChannelLevel(WindowHandle window, uint16_t vendorId,
                                             uint16_t deviceId, uint32_t slot, float* level) {
    if (slot > 7 || level == nullptr)
        return kFail;

    Status status = ReopenEndpointControl(window, vendorId, deviceId);
    if (Failed(status))
        return status;

    // The control reports success without a level for a channel beyond those its part slot has;
    // that case is a failure here, so the caller never reads an unwritten level.
    float value = std::numeric_limits<float>::quiet_NaN();
    status = endpointControl->GetChannelLevel(static_cast<int32_t>(slot), &value);
    if (Succeeded(status)) {
        if (std::isnan(value))
            status = kFail;
        else
            *level = value;
    }

    DropEndpointControl();
    return status;
}

}  // namespace zelk
