#pragma once

// The worker's hidden dialog, captioned "zelk": it owns the engine, receives the peer's commands,
// its buttons' clicks and the calibration timer as messages of its window, and ends on OK, Cancel
// or the platform's close request. Written against the platform's windowing only.
//
// Windows step: the dialog template (102) is marked visible; there the window must be kept hidden
// by clearing the show flag on every position change (WM_WINDOWPOSCHANGING), and it sets the
// application icon (128) as its big and small icon and paints it when minimised. Nothing of this
// exists on a platform without a screen, so none of it is here.

#include <cstdint>

#include "engine/calibration_engine.h"
#include "peer/peer_channel.h"
#include "platform/platform.h"
#include "platform/windowing.h"

namespace zelk {

class CzelkDlg : public WindowHandler {
  public:
    // The modal result when the dialog's window cannot be opened (e.g. a live worker holds the
    // title "zelk").
    static constexpr intptr_t kNoDialog = -1;

    explicit CzelkDlg(const Platform& platform);
    ~CzelkDlg() override;
    CzelkDlg(const CzelkDlg&) = delete;
    CzelkDlg& operator=(const CzelkDlg&) = delete;

    // Opens the window "zelk", initialises the dialog and dispatches messages until the dialog
    // ends; then closes the window. Returns IDC_OK, IDC_CANCEL, or kNoDialog when the window could
    // not be opened or the loop had nothing left to wait for.
    intptr_t DoModal();

    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t lParam) override;

    bool OnInitDialog();
    void OnOK();
    void OnCancel();
    // The engine's tick, then the progress forwarding; for every timer of the dialog.
    void OnTimer(uintptr_t timerId);

    WindowHandle window() const { return window_; }

    CalibrationEngine engine;
    PeerChannel channel;

  private:
    void OnCommand(uint32_t wParam);

    Windowing* windowing_;
    WindowHandle window_ = kNoWindow;
};

}  // namespace zelk
