#include "calibration/channel_measurement.h"

#include <cmath>
#include <limits>

#include "audio/wave_in_recorder.h"

namespace zelk {

namespace {

// Keeps the levels at which band was first reached: the master of the channel's side and the
// channel's own current level. An entry that cannot be read keeps its value.
void RecordBand(CalibrationContext* context, int32_t channel, int32_t band) {
    EndpointControl* control = context->endpointControl.get();
    int32_t pass = context->pass;
    if (control == nullptr || pass < 0 || pass >= kPasses)
        return;

    float left = 0.0f;
    float right = 0.0f;
    if (Succeeded(control->GetMasterLevels(&left, &right)))
        context->masterLevels[pass][MasterSideOf(channel)][band] =
            MasterSideOf(channel) == kMasterLeft ? left : right;

    // The control leaves the level unwritten for a channel its part slot does not have.
    float level = std::numeric_limits<float>::quiet_NaN();
    if (Succeeded(control->GetChannelLevel(channel, &level)) && !std::isnan(level))
        context->channelLevels[pass][channel][band] = level;
}

}  // namespace

void BeginChannel(CalibrationContext* context, int32_t channel) {
    if (context == nullptr)
        return;
    context->soughtBand = kBandLow;
    EndpointControl* control = context->endpointControl.get();
    if (control == nullptr)
        return;
    control->PrepareRenderLevels(kLevelFloorDb, kLevelFloorDb);
    if (MasterSideOf(channel) == kMasterLeft)
        control->SetMasterLevels(kOpenMasterLevelDb, kLevelFloorDb);
    else
        control->SetMasterLevels(kLevelFloorDb, kOpenMasterLevelDb);
    control->SetChannelLevel(channel, kChannelStartLevelDb);
}

bool MeasureChannelTick(CalibrationContext* context, int32_t channel, int32_t phaseTick) {
    if (context == nullptr || channel < 0 || channel >= kSpeakerChannels || phaseTick < 0)
        return false;

    int32_t cycleTick = phaseTick % kCycleTicks;
    if (cycleTick == kStepTick) {
        if (EndpointControl* control = context->endpointControl.get()) {
            float newLevel = 0.0f;
            control->RaiseChannelLevel(channel, &newLevel);
        }
        context->reportedChannelBit = 1 << channel;
        return false;
    }
    if (cycleTick == kArmTick) {
        context->recorder.ArmDetection(context->soughtBand);
        return false;
    }
    if (cycleTick < kFirstPollTick)
        return false;

    int32_t pending = 0;
    int32_t reachedLow = 0;
    int32_t reachedMedium = 0;
    int32_t reachedHigh = 0;
    context->recorder.TakeDetection(&pending, &reachedLow, &reachedMedium, &reachedHigh);
    if (pending != 0)
        return false;
    if (reachedHigh != 0) {
        RecordBand(context, channel, kBandHigh);
        return true;
    }
    if (reachedMedium != 0) {
        context->soughtBand = kBandHigh;
        context->recorder.ArmDetection(kBandHigh);
        RecordBand(context, channel, kBandMedium);
    } else if (reachedLow != 0) {
        context->soughtBand = kBandMedium;
        context->recorder.ArmDetection(kBandMedium);
        RecordBand(context, channel, kBandLow);
    }
    return false;
}

}  // namespace zelk
