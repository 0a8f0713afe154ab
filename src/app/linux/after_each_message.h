#pragma once

// A windowing that runs a function after every message a window's handler has taken, on the
// window's thread: where the worker's changes of the machine come in bursts (a command, a timer
// tick), this is where a burst ends.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/windowing.h"

namespace zelk::linux_worker {

class AfterEachMessage final : public Windowing {
  public:
    AfterEachMessage(Windowing* inner, std::function<void()> after);
    ~AfterEachMessage() override;

    Status OpenWindow(const char* title, WindowHandler* handler, WindowHandle* window) override;
    void CloseWindow(WindowHandle window) override { inner_->CloseWindow(window); }
    WindowHandle FindWindowByTitle(const char* title) override {
        return inner_->FindWindowByTitle(title);
    }
    bool Post(WindowHandle window, uint32_t message, uint32_t wParam, int32_t lParam) override {
        return inner_->Post(window, message, wParam, lParam);
    }
    intptr_t RunModal(WindowHandle window) override { return inner_->RunModal(window); }
    void EndModal(WindowHandle window, intptr_t result) override {
        inner_->EndModal(window, result);
    }
    bool SetTimer(WindowHandle window, uintptr_t id, uint32_t periodMs) override {
        return inner_->SetTimer(window, id, periodMs);
    }
    void KillTimer(WindowHandle window, uintptr_t id) override { inner_->KillTimer(window, id); }
    void EnableControl(WindowHandle window, int controlId, bool enable) override {
        inner_->EnableControl(window, controlId, enable);
    }
    bool IsControlEnabled(WindowHandle window, int controlId) override {
        return inner_->IsControlEnabled(window, controlId);
    }

  private:
    class Relay;

    Windowing* inner_;
    std::function<void()> after_;
    std::vector<std::unique_ptr<Relay>> relays_;  // one per window opened, kept to the end
};

}  // namespace zelk::linux_worker
