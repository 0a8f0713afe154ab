#include "app/czelk_dlg.h"

#include "peer/peer_messages.h"

namespace zelk {

namespace {

// A windowing without windows: the channel needs one even when the platform gives none, and then
// the dialog cannot open.
class NoWindowing : public Windowing {
  public:
    Status OpenWindow(const char*, WindowHandler*, WindowHandle*) override { return kFail; }
    void CloseWindow(WindowHandle) override {}
    WindowHandle FindWindowByTitle(const char*) override { return kNoWindow; }
    bool Post(WindowHandle, uint32_t, uint32_t, int32_t) override { return false; }
    intptr_t RunModal(WindowHandle) override { return -1; }
    void EndModal(WindowHandle, intptr_t) override {}
    bool SetTimer(WindowHandle, uintptr_t, uint32_t) override { return false; }
    void KillTimer(WindowHandle, uintptr_t) override {}
    void EnableControl(WindowHandle, int, bool) override {}
    bool IsControlEnabled(WindowHandle, int) override { return false; }
};

Windowing& WindowingOf(const Platform& platform) {
    static NoWindowing none;
    return platform.windowing != nullptr ? *platform.windowing : none;
}

}  // namespace

CzelkDlg::CzelkDlg(const Platform& platform)
    : engine(platform), channel(engine, WindowingOf(platform)), windowing_(platform.windowing) {}

CzelkDlg::~CzelkDlg() {
    if (window_ != kNoWindow && windowing_ != nullptr)
        windowing_->CloseWindow(window_);
}

intptr_t CzelkDlg::DoModal() {
    if (windowing_ == nullptr || window_ != kNoWindow)
        return kNoDialog;
    if (Failed(windowing_->OpenWindow(WORKER_WINDOW_TITLE, this, &window_))) {
        window_ = kNoWindow;
        return kNoDialog;
    }
    channel.SetWindow(window_);
    OnInitDialog();
    const intptr_t result = windowing_->RunModal(window_);
    // The window goes, and with it its timers; a run still active is torn down with the engine.
    windowing_->CloseWindow(window_);
    window_ = kNoWindow;
    return result;
}

bool CzelkDlg::OnInitDialog() {
    return true;
}

void CzelkDlg::OnOK() {
    windowing_->EndModal(window_, IDC_OK);
}

void CzelkDlg::OnCancel() {
    windowing_->EndModal(window_, IDC_CANCEL);
}

void CzelkDlg::OnTimer(uintptr_t timerId) {
    engine.OnTimerTick(timerId);
    channel.ForwardProgress();
}

intptr_t CzelkDlg::OnMessage(uint32_t message, uint32_t wParam, int32_t lParam) {
    switch (message) {
        case WM_PEER_COMMAND:
            return channel.OnPeerCommand(wParam, lParam);
        case kWmCommand:
            OnCommand(wParam);
            return 0;
        case kWmClose:
            OnCancel();
            return 0;
        case kWmTimer:
            OnTimer(wParam);
            return 0;
        default:
            return 0;
    }
}

void CzelkDlg::OnCommand(uint32_t wParam) {
    // Only clicks: the high 16 bits are the notification, 0 for a click.
    if ((wParam >> 16) != 0)
        return;
    switch (static_cast<int>(wParam & 0xFFFF)) {
        case IDC_OK:
            OnOK();
            break;
        case IDC_CANCEL:
            OnCancel();
            break;
        case IDC_START_BUTTON:
            channel.OnStartButton();
            break;
        case IDC_STOP_BUTTON:
            engine.Stop();
            break;
        default:  // IDC_BUTTON1 and unknown controls do nothing
            break;
    }
}

}  // namespace zelk
