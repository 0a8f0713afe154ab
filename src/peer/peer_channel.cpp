#include "peer/peer_channel.h"

namespace zelk {

namespace {

// Detection thresholds of every start, in percent of full scale.
constexpr int32_t kMediumThresholdPercent = 30;
constexpr int32_t kLowThresholdPercent = 20;
constexpr int32_t kHighThresholdPercent = 50;

constexpr uint16_t kStereoChannels = 2;

bool IsKnownDevice(int32_t deviceId) {
    for (uint16_t known : kKnownCodecIds) {
        if (deviceId == known)
            return true;
    }
    return false;
}

}  // namespace

PeerChannel::PeerChannel(CalibrationEngine& engine, Windowing& windowing)
    : engine_(engine), windowing_(windowing) {}

WindowHandle PeerChannel::FindPeer() {
    return windowing_.FindWindowByTitle(PEER_WINDOW_TITLE);
}

void PeerChannel::PostToPeer(WindowHandle peer, uint32_t message, uint32_t wParam, int32_t lParam) {
    if (peer != kNoWindow)
        windowing_.Post(peer, message, wParam, lParam);
}

intptr_t PeerChannel::OnPeerCommand(uint32_t wParam, int32_t lParam) {
    switch (wParam) {
        case CMD_CALIBRATE:
            StartCalibration(false, 0);
            break;
        case CMD_CALIBRATE_CHANNEL:
            StartCalibration(true, lParam);
            break;
        case CMD_QUERY_SPEAKERS:
            ReportSpeakerLayout();
            break;
        case CMD_APPLY_RESULTS:
            engine_.ApplyResults(window_, vendorId, deviceId, lParam);
            break;
        case CMD_QUERY_GAINS:
            ReportChannelGains();
            break;
        case CMD_SET_SPEAKERS: {
            const SpeakerRequest request = TranslateSpeakerArgument(lParam);
            // The engine compares the count as an unsigned 16-bit value.
            engine_.SetSpeakerLayout(window_, vendorId, deviceId,
                                     static_cast<uint16_t>(request.channels), request.mask,
                                     request.mask);
            ReportSpeakerLayout();
            break;
        }
        case CMD_SELECT_CODEC:
            vendorId = kCodecVendorId;
            if (IsKnownDevice(lParam))
                deviceId = static_cast<uint16_t>(lParam);
            break;
        case CMD_STOP:
            engine_.Stop();
            break;
        default:
            break;
    }
    return 0;
}

void PeerChannel::StartCalibration(bool singleChannel, int32_t argument) {
    // A start over a running run is refused by the engine; it must not touch the running run's
    // mode either (its completion reads it) nor the buttons.
    if (engine_.GetState() == ENGINE_RUNNING)
        return;
    if (singleChannel) {
        if (argument < 0 || argument >= kSpeakerChannels)
            return;
        runMode = 1;
        runSingleChannel = argument;
    } else {
        uint16_t channels = 0;
        uint32_t physicalSpeakers = 0;
        uint32_t fullRangeSpeakers = 0;
        const Status query = engine_.GetSpeakerLayout(window_, vendorId, deviceId, &channels,
                                                      &physicalSpeakers, &fullRangeSpeakers);
        if (physicalSpeakers == 0)
            engine_.SetSpeakerLayout(window_, vendorId, deviceId, kStereoChannels, kStereoMask,
                                     kStereoMask);
        if (Failed(query)) {
            fullRunMode = kStereoChannels;
        } else if (const int32_t count = ChannelCountOfMask(physicalSpeakers); count != 0) {
            fullRunMode = count;
        }
        runMode = fullRunMode;
        runSingleChannel = 0;
    }

    windowing_.EnableControl(window_, IDC_START_BUTTON, false);
    engine_.SetThresholdPercents(kMediumThresholdPercent, kLowThresholdPercent,
                                 kHighThresholdPercent);
    runVendorId = vendorId;
    runDeviceId = deviceId;
    const Status status =
        engine_.Start(window_, vendorId, deviceId, nullptr, runMode, runSingleChannel,
                      &PeerChannel::OnCalibrationComplete, this);
    if (Succeeded(status))
        windowing_.EnableControl(window_, IDC_STOP_BUTTON, true);
    else
        windowing_.EnableControl(window_, IDC_START_BUTTON, true);
}

void PeerChannel::OnStartButton() {
    // Refused during a run, like any start.
    if (engine_.GetState() == ENGINE_RUNNING)
        return;
    vendorId = kCodecVendorId;
    deviceId = START_BUTTON_DEVICE_ID;
    StartCalibration(false, 0);
}

void PeerChannel::ReportSpeakerLayout() {
    uint16_t channels = 0;
    uint32_t physicalSpeakers = 0;
    uint32_t fullRangeSpeakers = 0;
    const Status status = engine_.GetSpeakerLayout(window_, vendorId, deviceId, &channels,
                                                   &physicalSpeakers, &fullRangeSpeakers);
    const WindowHandle peer = FindPeer();
    if (peer == kNoWindow)
        return;
    if (Succeeded(status)) {
        PostToPeer(peer, WM_PEER_COMMAND, REPLY_SPEAKERS, static_cast<int32_t>(physicalSpeakers));
    } else {
        PostToPeer(peer, WM_PEER_COMMAND, REPLY_SPEAKERS_FAILED,
                   static_cast<int32_t>(physicalSpeakers));
        engine_.SetSpeakerLayout(window_, vendorId, deviceId, kStereoChannels, kStereoMask,
                                 kStereoMask);
    }
}

void PeerChannel::ReportChannelGains() {
    const WindowHandle peer = FindPeer();
    for (int32_t slot = 0; slot < kSpeakerChannels; ++slot) {
        int32_t value = 0;
        if (Succeeded(engine_.GetChannelGain(window_, vendorId, deviceId,
                                             static_cast<uint32_t>(slot), &value)))
            PostToPeer(peer, WM_PEER_CHANNEL_VALUE, static_cast<uint32_t>(slot), value);
    }
}

void PeerChannel::OnCalibrationComplete(void* arg) {
    static_cast<PeerChannel*>(arg)->Complete();
}

void PeerChannel::Complete() {
    int32_t percents[kSpeakerChannels] = {};
    if (engine_.GetState() == ENGINE_DONE && Succeeded(engine_.GetLevelPercents(percents)) &&
        runMode != 1) {
        engine_.ApplyResults(window_, runVendorId, runDeviceId, APPLY_MEDIUM);
        PostToPeer(FindPeer(), WM_PEER_COMMAND, REPLY_CALIBRATED, 1);
    }
    windowing_.EnableControl(window_, IDC_STOP_BUTTON, false);
    windowing_.EnableControl(window_, IDC_START_BUTTON, true);
}

void PeerChannel::ForwardProgress() {
    const int32_t passNumber = engine_.passNumber;
    const int32_t channelBit = engine_.channelBit;
    if (passNumber == lastPassNumber && channelBit == lastChannelBit)
        return;
    lastPassNumber = passNumber;
    lastChannelBit = channelBit;
    PostToPeer(FindPeer(), WM_PEER_COMMAND, static_cast<uint32_t>(passNumber), channelBit);
}

}  // namespace zelk
