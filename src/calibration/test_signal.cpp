#include "calibration/test_signal.h"

#include "audio/wave_in_recorder.h"

namespace zelk {

namespace {

float MediumResult(const CalibrationContext* context, int32_t channel) {
    int32_t resultPass = channel == kSubwooferChannel ? 1 : 0;
    return context->channelLevels[resultPass][channel][kBandMedium];
}

// The playback pass sounds the calibrated Medium levels of the run's layout; what lies outside
// the layout goes back to what the control found at opening.
void ApplyMediumResults(CalibrationContext* context, EndpointControl* control) {
    control->SetMasterLevels(context->masterLevels[0][kMasterLeft][kBandMedium],
                             context->masterLevels[0][kMasterRight][kBandMedium]);
    bool singleRun = context->mode == 1;
    if (singleRun) {
        int32_t otherSide =
            MasterSideOf(context->singleChannel) == kMasterLeft ? kMasterRight : kMasterLeft;
        control->RestoreMasterChannelLevel(otherSide);
    }
    for (int32_t channel = 0; channel < context->channelCount && channel < kSpeakerChannels;
         ++channel) {
        bool restore = false;
        if (singleRun)
            restore = channel != context->singleChannel;
        else if (context->mode == 4)
            restore = channel == kSubwooferChannel || channel == kCenterChannel;
        if (restore)
            control->RestoreChannelLevel(channel);
        else
            control->SetChannelLevel(channel, MediumResult(context, channel));
    }
    const int32_t lastChannel =
        LastServedChannel(context->deviceId, context->renderTopologyKind == kTopologySixChannel);
    for (int32_t channel = context->channelCount; channel <= lastChannel; ++channel)
        control->RestoreChannelLevel(channel);
}

}  // namespace

Status StartTestSignal(CalibrationContext* context, double frequency) {
    if (context == nullptr)
        return kFail;
    context->toneOn = frequency > 0.0 ? 1 : 0;

    if (EndpointControl* control = context->endpointControl.get()) {
        if (context->toneOn != 0)
            control->PrepareRenderLevels(kLevelFloorDb, kLevelFloorDb);
        else
            ApplyMediumResults(context, control);
    }

    // A playback pass without a file has nothing to play.
    if (context->toneOn == 0 && context->wavPath[0] == '\0')
        return kFail;

    char infoText[kPlayerTextLength] = {};
    char errorText[kPlayerTextLength] = {};
    bool started = context->player.Start(
        infoText, context->deviceId, context->vendorId, context->toneOn,
        static_cast<uint16_t>(context->channelCount), static_cast<uint32_t>(context->channelMask),
        context->wavPath, errorText, frequency);
    return started ? kOk : kFail;
}

}  // namespace zelk
