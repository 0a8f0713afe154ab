#include "engine/calibration_context.h"

#include <cstring>
#include <new>

#include "calibration/calibration_sequencer.h"
#include "calibration/test_signal.h"

namespace zelk {

namespace {

struct ChannelPlan {
    int32_t mode;
    int32_t channelCount;
    int32_t channelMask;
};

constexpr ChannelPlan kChannelPlans[] = {
    {1, 8, 0xFF}, {2, 2, 0x03}, {4, 6, 0x3F}, {6, 6, 0x3F}, {8, 8, 0xFF},
};

const ChannelPlan* FindChannelPlan(int32_t mode) {
    for (const ChannelPlan& plan : kChannelPlans) {
        if (plan.mode == mode)
            return &plan;
    }
    return nullptr;
}

// Length of text up to its terminator, looking at no more than limit characters.
size_t BoundedLength(const char* text, size_t limit) {
    size_t length = 0;
    while (length < limit && text[length] != '\0')
        ++length;
    return length;
}

}  // namespace

CalibrationContext::CalibrationContext(const Platform& platform)
    : platform(platform), player(platform), recorder(platform) {}

CalibrationContext::~CalibrationContext() {
    Teardown();
}

void CalibrationContext::Teardown() {
    if (tornDown_)
        return;
    // A context torn down in the middle of a run gives the user's levels back first.
    if (runActive_)
        AbortRun();
    DropEndpointControl();
    recorder.Shutdown();
    player.Shutdown();
    tornDown_ = true;
}

void CalibrationContext::SetErrorText(const char* message) {
    if (message == nullptr) {
        errorText[0] = '\0';
        return;
    }
    size_t length = BoundedLength(message, kErrorTextLength - 1);
    std::memcpy(errorText, message, length);
    errorText[length] = '\0';
}

Status CalibrationContext::BeginRun(WindowHandle window, uint16_t vendorId, uint16_t deviceId,
                                    const char* wavPath, int32_t mode, int32_t singleChannel) {
    // A start never runs over a live run, and a path the field cannot hold is refused; neither
    // refusal changes anything.
    if (runActive_ || tornDown_)
        return kFail;
    if (wavPath != nullptr && BoundedLength(wavPath, kWavPathLength) >= kWavPathLength)
        return kFail;

    this->window = window;
    this->vendorId = vendorId;
    this->deviceId = deviceId;

    if (wavPath != nullptr) {
        size_t length = BoundedLength(wavPath, kWavPathLength - 1);
        std::memcpy(this->wavPath, wavPath, length);
        this->wavPath[length] = '\0';
    } else {
        this->wavPath[0] = '\0';
    }

    this->singleChannel = 0;
    this->mode = mode;
    const ChannelPlan* plan = FindChannelPlan(mode);
    // A single-channel run names one of the eight speaker channels; any other value would index
    // past the result tables.
    if (plan == nullptr ||
        (mode == 1 && (singleChannel < 0 || singleChannel >= kSpeakerChannels))) {
        SetErrorText("[Qaltor](1) Invalid channel number!");
        return kFail;
    }
    channelCount = plan->channelCount;
    channelMask = plan->channelMask;
    if (mode == 1)
        this->singleChannel = singleChannel;

    DropEndpointControl();

    endpointControl.reset(new (std::nothrow) EndpointControl(platform.coreAudio, window));
    if (!endpointControl) {
        SetErrorText("[Qaltor](1) Insufficient memory!");
        return kFail;
    }

    if (Failed(endpointControl->Open(vendorId, deviceId, 1, &renderTopologyKind,
                                     &captureTopologyKind))) {
        SetErrorText("[Qaltor](1) Fail to init topology!");
        UndoFailedStart(false);
        return kFail;
    }

    if (Failed(endpointControl->SetUpMicrophone())) {
        SetErrorText("[Qaltor](1) Fail to set Mic.!");
        UndoFailedStart(false);
        return kFail;
    }

    if (Failed(recorder.Start(vendorId, deviceId))) {
        SetErrorText("[Qaltor](1) Fail to Record!");
        UndoFailedStart(true);
        return kFail;
    }

    pass = 0;
    reportedChannelBit = 0;

    Status status = StartTestSignal(this, kPassFrequencies[0]);
    if (Failed(status)) {
        SetErrorText("[Qaltor](1) Fail to Play!");
        // The tone step has already moved the render levels; AbortRun puts everything back.
        runActive_ = true;
        AbortRun();
        return status;
    }

    warmupTicks = 0;
    position = 0;
    if (platform.windowing != nullptr)
        platform.windowing->SetTimer(window, CALIBRATION_TIMER_ID, CALIBRATION_TIMER_PERIOD_MS);

    if (mode != 1) {
        for (auto& passLevels : channelLevels) {
            for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
                float value = (mode < 8 && channel >= mode) ? kLevelFloorDb : 0.0f;
                for (float& level : passLevels[channel])
                    level = value;
            }
        }
        for (auto& passLevels : masterLevels) {
            for (auto& sideLevels : passLevels) {
                for (float& level : sideLevels)
                    level = 0.0f;
            }
        }
    }

    runActive_ = true;
    return status;
}

void CalibrationContext::UndoFailedStart(bool microphoneSetUp) {
    if (!endpointControl)
        return;
    if (microphoneSetUp)
        endpointControl->RestoreMicrophone();
    endpointControl->ReleaseControls();
}

void CalibrationContext::AbortRun() {
    recorder.Stop();
    if (platform.windowing != nullptr && window != kNoWindow)
        platform.windowing->KillTimer(window, CALIBRATION_TIMER_ID);
    player.Stop();
    if (endpointControl) {
        endpointControl->RestoreAll();
        endpointControl->ReleaseControls();
    }
    runActive_ = false;
}

void CalibrationContext::FinishRun() {
    recorder.Stop();
    if (platform.windowing != nullptr && window != kNoWindow)
        platform.windowing->KillTimer(window, CALIBRATION_TIMER_ID);
    player.Stop();
    if (endpointControl) {
        endpointControl->RestoreInputs();
        endpointControl->RestoreMicrophone();
        endpointControl->ReleaseControls();
    }
    runActive_ = false;
}

Status CalibrationContext::ReopenEndpointControl(WindowHandle window, uint16_t vendorId,
                                                 uint16_t deviceId) {
    // The run's control is the sequencer's until the run ends.
    if (runActive_)
        return kFail;

    this->vendorId = vendorId;
    this->deviceId = deviceId;
    DropEndpointControl();

    endpointControl.reset(new (std::nothrow) EndpointControl(platform.coreAudio, window));
    if (!endpointControl) {
        SetErrorText("[Qaltor](7) Insufficient memory!");
        return kFail;
    }
    if (Failed(endpointControl->Open(vendorId, deviceId, 0, &renderTopologyKind,
                                     &captureTopologyKind))) {
        SetErrorText("[Qaltor](7) Fail to init topology!");
        // What a partly successful scan took is given back; the unopened object stays until the
        // next drop.
        endpointControl->ReleaseControls();
        return kFail;
    }
    return kOk;
}

void CalibrationContext::DropEndpointControl() {
    if (!endpointControl)
        return;
    endpointControl->ReleaseControls();
    endpointControl.reset();
}

}  // namespace zelk
