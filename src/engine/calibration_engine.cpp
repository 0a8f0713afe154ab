#include "engine/calibration_engine.h"

#include <cmath>
#include <iterator>
#include <limits>
#include <new>

#include "calibration/calibration_sequencer.h"
#include "calibration/results_file.h"
#include "platform/speaker_mask.h"

namespace zelk {

namespace {

constexpr double kLevelScaleDb = -static_cast<double>(kLevelFloorDb);

// Bands of the results file by ApplyResults selector.
constexpr int32_t kBandOfSelector[] = {1 /* Medium */, 0 /* Low */, 2 /* High */};

int32_t TruncateToInt32(double value) {
    if (std::isnan(value))
        return 0;
    if (value >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (value <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

// True when the render device format no longer has the channel count and mask read before, or
// cannot be read back.
bool DeviceFormatMoved(EndpointControl* control, uint16_t channels, uint32_t channelMask) {
    uint16_t nowChannels = 0;
    uint32_t sampleRate = 0;
    uint16_t bitsPerSample = 0;
    uint32_t nowMask = 0;
    if (Failed(control->GetRenderFormat(&nowChannels, &sampleRate, &bitsPerSample, &nowMask)))
        return true;
    return nowChannels != channels || nowMask != channelMask;
}

double AboveFloor(float level, double scale) {
    return (static_cast<double>(level) + kLevelScaleDb) / kLevelScaleDb * scale;
}

}  // namespace

int32_t LevelToPercent(float level) {
    return TruncateToInt32(static_cast<double>(static_cast<float>(AboveFloor(level, 100.0))));
}

int32_t LevelToGain(float level) {
    return TruncateToInt32(AboveFloor(level, 50.0));
}

CalibrationEngine::CalibrationEngine(const Platform& platform)
    : context(new (std::nothrow) CalibrationContext(platform)) {}

CalibrationEngine::~CalibrationEngine() {
    if (context) {
        context->Teardown();
        context.reset();
    }
}

Status CalibrationEngine::Start(WindowHandle window, uint16_t vendorId, uint16_t deviceId,
                                const char* wavPath, int32_t mode, int32_t singleChannel,
                                CompletionCallback callback, void* callbackArg) {
    if (!context || state == ENGINE_RUNNING)
        return kFail;

    countdown = 0;
    passNumber = 0;
    channelBit = 0;
    state = ENGINE_IDLE;

    const Status status =
        context->BeginRun(window, vendorId, deviceId, wavPath, mode, singleChannel);
    if (Failed(status)) {
        state = ENGINE_FAILED;
        return status;
    }
    completionCallback = callback;
    completionArg = callbackArg;
    state = ENGINE_RUNNING;
    return status;
}

void CalibrationEngine::Stop() {
    if (context)
        context->AbortRun();
    completionCallback = nullptr;
    completionArg = nullptr;
    state = ENGINE_STOPPED;
}

void CalibrationEngine::OnTimerTick(uintptr_t timerId) {
    if (!context)
        return;
    const int32_t result =
        CalibrationTick(context.get(), timerId, &countdown, &passNumber, &channelBit);
    if (result == kTickFinished)
        state = ENGINE_DONE;
    else if (result == kTickFailed)
        state = ENGINE_FAILED;
    else
        return;

    // Cleared before the call, so that a callback that starts the next run keeps that run's
    // callback.
    const CompletionCallback callback = completionCallback;
    void* const callbackArg = completionArg;
    completionCallback = nullptr;
    completionArg = nullptr;
    if (callback != nullptr)
        callback(callbackArg);
}

Status CalibrationEngine::GetLevelPercents(int32_t* values) {
    if (!context || values == nullptr || state != ENGINE_DONE)
        return kFail;
    float levels[kSpeakerChannels] = {};
    if (Failed(context->GetResultLevels(levels)))
        return kFail;
    for (int32_t slot = 0; slot < kSpeakerChannels; ++slot)
        values[slot] = LevelToPercent(levels[slot]);
    return kOk;
}

Status CalibrationEngine::ApplyResults(WindowHandle window, uint16_t vendorId, uint16_t deviceId,
                                       int32_t selector) {
    if (!context || state == ENGINE_RUNNING)
        return kFail;
    if (selector < 0 || selector >= static_cast<int32_t>(std::size(kBandOfSelector)))
        return kFail;
    // What the application of the file achieved is not the caller's concern.
    ApplyStoredResults(context.get(), window, vendorId, deviceId, kBandOfSelector[selector]);
    return kOk;
}

void CalibrationEngine::SetThresholdPercents(int32_t mediumPercent, int32_t lowPercent,
                                             int32_t highPercent) {
    if (context)
        context->recorder.SetDetectionThresholds(lowPercent, mediumPercent, highPercent);
}

Status CalibrationEngine::SetSpeakerLayout(WindowHandle window, uint16_t vendorId,
                                           uint16_t deviceId, uint16_t count,
                                           uint32_t physicalSpeakers, uint32_t fullRangeSpeakers) {
    if (!context || state == ENGINE_RUNNING)
        return kFail;
    const uint32_t mask = MaskOfChannelCount(count);
    if (mask == 0)
        return kFail;
    if ((physicalSpeakers & ~mask) != 0 || (fullRangeSpeakers & ~mask) != 0)
        return kFail;

    if (Failed(context->ReopenEndpointControl(window, vendorId, deviceId)))
        return kFail;
    EndpointControl* control = context->endpointControl.get();

    uint16_t oldChannels = 0;
    uint32_t sampleRate = 0;
    uint16_t bitsPerSample = 0;
    uint32_t oldMask = 0;
    Status status = control->GetRenderFormat(&oldChannels, &sampleRate, &bitsPerSample, &oldMask);
    if (Failed(status)) {
        context->SetErrorText("[Qaltor] Fail to get render device format!");
    } else {
        status = control->SetRenderFormat(sampleRate, bitsPerSample, count, mask);
        if (Failed(status)) {
            // When only the engine format was refused, the device format was already written:
            // the endpoint gets back the format it had. A refused device format changed nothing,
            // and nothing is written then.
            if (DeviceFormatMoved(control, oldChannels, oldMask))
                control->SetRenderFormat(sampleRate, bitsPerSample, oldChannels, oldMask);
            context->SetErrorText("[Qaltor] Fail to set render device format!");
        } else {
            status = control->SetSpeakerConfig(physicalSpeakers, fullRangeSpeakers);
            if (Failed(status)) {
                // The device keeps the format it had.
                control->SetRenderFormat(sampleRate, bitsPerSample, oldChannels, oldMask);
                context->SetErrorText("[Qaltor] Fail to set render speaker config!");
            }
        }
    }
    context->DropEndpointControl();
    return status;
}

Status CalibrationEngine::GetSpeakerLayout(WindowHandle window, uint16_t vendorId,
                                           uint16_t deviceId, uint16_t* channels,
                                           uint32_t* physicalSpeakers,
                                           uint32_t* fullRangeSpeakers) {
    if (!context || state == ENGINE_RUNNING)
        return kFail;
    if (channels == nullptr || physicalSpeakers == nullptr || fullRangeSpeakers == nullptr)
        return kFail;
    return context->QuerySpeakerLayout(window, vendorId, deviceId, channels, physicalSpeakers,
                                       fullRangeSpeakers);
}

Status CalibrationEngine::GetChannelGain(WindowHandle window, uint16_t vendorId, uint16_t deviceId,
                                         uint32_t slot, int32_t* value) {
    if (!context || state == ENGINE_RUNNING)
        return kFail;
    if (value == nullptr || slot > 7)
        return kFail;
    // The query fails rather than succeed without a level; the floor is only a defined start.
    float level = kLevelFloorDb;
    const Status status = context->QueryChannelLevel(window, vendorId, deviceId, slot, &level);
    *value = Succeeded(status) ? LevelToGain(level) : 0;
    return status;
}

}  // namespace zelk
