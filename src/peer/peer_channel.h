#pragma once

// The worker's side of the peer protocol: carries out the peer's commands through the engine,
// answers by posting to the window titled "Speaker" (looked up afresh for every reply), reports
// the end of a calibration run and forwards the run's progress after each timer tick. Lives in the
// hidden dialog and runs on its thread.

#include <cstdint>

#include "engine/calibration_engine.h"
#include "peer/peer_messages.h"
#include "platform/windowing.h"

namespace zelk {

class PeerChannel {
  public:
    PeerChannel(CalibrationEngine& engine, Windowing& windowing);
    PeerChannel(const PeerChannel&) = delete;
    PeerChannel& operator=(const PeerChannel&) = delete;

    // The dialog's own window: the owner of the calibration timer and of the buttons.
    void SetWindow(WindowHandle window) { window_ = window; }
    WindowHandle window() const { return window_; }

    // WM_PEER_COMMAND from the peer. Always 0.
    intptr_t OnPeerCommand(uint32_t wParam, int32_t lParam);
    // A full run (singleChannel false) or a run of the one channel slot given in argument.
    void StartCalibration(bool singleChannel, int32_t argument);
    // The Start button: the default codec, then a full run.
    void OnStartButton();
    void ReportSpeakerLayout();
    void ReportChannelGains();
    // Registered with the engine at every start; arg is the channel.
    static void OnCalibrationComplete(void* arg);
    // After every timer tick: posts the (pass number, channel bit) pair when it changed.
    void ForwardProgress();

    // Channel state; the initial values select the Start button's codec and a stereo run.
    uint16_t vendorId = kCodecVendorId;
    uint16_t deviceId = START_BUTTON_DEVICE_ID;
    int32_t runMode = 2;
    int32_t runSingleChannel = 0;
    // The channel count of the last full start, which a full start whose layout query gives no
    // known mask keeps: a full run never becomes a single-channel one.
    int32_t fullRunMode = 2;
    // The codec the current or last run measured; its completion applies the results there, even
    // when another codec was selected meanwhile.
    uint16_t runVendorId = kCodecVendorId;
    uint16_t runDeviceId = START_BUTTON_DEVICE_ID;
    // The progress pair posted last; kept across runs.
    int32_t lastPassNumber = 0;
    int32_t lastChannelBit = 0;

  private:
    WindowHandle FindPeer();
    void PostToPeer(WindowHandle peer, uint32_t message, uint32_t wParam, int32_t lParam);
    void Complete();

    CalibrationEngine& engine_;
    Windowing& windowing_;
    WindowHandle window_ = kNoWindow;
};

}  // namespace zelk
