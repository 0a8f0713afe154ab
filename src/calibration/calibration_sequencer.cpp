#include "calibration/calibration_sequencer.h"

#include "calibration/channel_measurement.h"
#include "calibration/results_file.h"
#include "calibration/test_signal.h"

namespace zelk {

namespace {

constexpr uint32_t kWarmupOver = 0xFFFFFFFFu;

bool IsSpeakerChannel(int32_t channel) {
    return channel >= 0 && channel < kSpeakerChannels;
}

// Moves position on by one tick and ends the pass's channel loop where the mode's plan ends.
void Advance(CalibrationContext* context) {
    int32_t& position = context->position;
    position += 1;
    switch (context->mode) {
        case 1:
            if (IsSpeakerChannel(context->singleChannel) &&
                position == (context->singleChannel + 1) * kChannelPhaseTicks)
                position = kChannelLoopEnd;
            break;
        case 2:
            if (position == 2 * kChannelPhaseTicks)
                position = kChannelLoopEnd;
            break;
        case 4:
            if (position == 4 * kChannelPhaseTicks)
                position = kChannelLoopEnd;
            break;
        case 6:
        case 8:
            if (context->mode == 6 && position == 6 * kChannelPhaseTicks) {
                position = kChannelLoopEnd;
            } else if (position == 4 * kChannelPhaseTicks && context->pass == 0) {
                // The subwoofer belongs to the lower tone of pass 1.
                position = 5 * kChannelPhaseTicks;
            } else if (position == 5 * kChannelPhaseTicks && context->pass == 1) {
                position = kChannelLoopEnd;
            }
            break;
        default:
            break;
    }
}

bool MeasuresSubwooferInPass1(const CalibrationContext* context) {
    return context->mode == 6 || context->mode == 8 ||
           (context->mode == 1 && context->singleChannel == kSubwooferChannel);
}

}  // namespace

int32_t CalibrationTick(CalibrationContext* context, uintptr_t timerId, int32_t* countdown,
                        int32_t* passNumber, int32_t* channelBit) {
    if (timerId != CALIBRATION_TIMER_ID || context == nullptr)
        return kTickNotOurs;
    // A tick that outlives its run (a message queued before the timer was killed) does nothing.
    if (!context->runActive())
        return kTickNotOurs;

    if (passNumber != nullptr)
        *passNumber = context->pass + 1;
    if (channelBit != nullptr)
        *channelBit = context->reportedChannelBit;

    if (context->warmupTicks < kWarmupTicks) {
        context->warmupTicks += 1;
        if (countdown != nullptr)
            *countdown = static_cast<int32_t>(kWarmupTicks - context->warmupTicks);
        return kTickContinue;
    }
    if (context->warmupTicks == kWarmupTicks)
        context->warmupTicks = kWarmupOver;
    if (countdown != nullptr)
        *countdown = 0;

    bool skipChannelWork = context->toneOn == 0;
    if (!skipChannelWork && context->position >= 0 && context->position < kChannelLoopEnd &&
        context->position % kChannelPhaseTicks == 0) {
        if (context->mode == 1 && context->position == 0 && context->pass == 0 &&
            IsSpeakerChannel(context->singleChannel)) {
            if (context->singleChannel == kSubwooferChannel) {
                context->position = kChannelLoopEnd;
                skipChannelWork = true;
            } else {
                context->position = context->singleChannel * kChannelPhaseTicks;
            }
        }
        if (!skipChannelWork)
            BeginChannel(context, context->position / kChannelPhaseTicks);
    }
    if (!skipChannelWork && context->position >= 0 && context->position < kChannelLoopEnd) {
        int32_t channel = context->position / kChannelPhaseTicks;
        if (MeasureChannelTick(context, channel, context->position % kChannelPhaseTicks))
            context->position = channel * kChannelPhaseTicks + (kChannelPhaseTicks - 1);
    }

    Advance(context);

    if (context->position == kPlayerStopPosition) {
        context->player.Stop();
        return kTickContinue;
    }
    if (context->position < kNextPassPosition)
        return kTickContinue;

    context->pass += 1;
    if (context->pass >= kPasses) {
        context->FinishRun();
        return kTickFinished;
    }
    if (context->pass == 1) {
        if (Failed(StartTestSignal(context, kPassFrequencies[1]))) {
            context->FinishRun();
            return kTickFailed;
        }
        context->position = MeasuresSubwooferInPass1(context)
                                ? kSubwooferChannel * kChannelPhaseTicks
                                : kChannelLoopEnd;
        return kTickContinue;
    }
    // Pass 2: the results are kept before the playback; a file that cannot be written does not
    // stop the run.
    (void)WriteResultsFile(context);
    if (Failed(StartTestSignal(context, kPassFrequencies[2]))) {
        context->FinishRun();
        return kTickFinished;
    }
    context->position = 0;
    return kTickContinue;
}

}  // namespace zelk
