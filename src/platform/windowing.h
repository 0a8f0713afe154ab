#pragma once

// Windows and their messages: the hidden dialog's window, the peer's window found by title, posted
// messages, the modal loop, periodic timers and the dialog's buttons.

#include <cstdint>

#include "platform/status.h"

namespace zelk {

// An opaque window handle; 0 is no window.
using WindowHandle = uintptr_t;
inline constexpr WindowHandle kNoWindow = 0;

inline constexpr uint32_t kWmClose = 0x0010;
inline constexpr uint32_t kWmCommand = 0x0111;
inline constexpr uint32_t kWmTimer = 0x0113;
inline constexpr uint32_t kWmUser = 0x0400;

// Control identifiers of the dialog (WM_COMMAND, low 16 bits of wParam).
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

// Receives the messages of one window on the window's thread.
class WindowHandler {
  public:
    virtual ~WindowHandler() = default;
    virtual intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t lParam) = 0;
};

class Windowing {
  public:
    virtual ~Windowing() = default;
    // Creates a window with the given title whose messages go to handler. Fails when the title is
    // invalid or another live window holds it.
    virtual Status OpenWindow(const char* title, WindowHandler* handler, WindowHandle* window) = 0;
    virtual void CloseWindow(WindowHandle window) = 0;
    // kNoWindow when no window has the title.
    virtual WindowHandle FindWindowByTitle(const char* title) = 0;
    // Queues a message for the window and returns at once; false when it cannot be queued.
    virtual bool Post(WindowHandle window, uint32_t message, uint32_t wParam, int32_t lParam) = 0;
    // Dispatches the window's messages (and its timers) until EndModal; returns its result.
    virtual intptr_t RunModal(WindowHandle window) = 0;
    virtual void EndModal(WindowHandle window, intptr_t result) = 0;
    // A periodic timer delivered as kWmTimer messages with wParam = id on the window's thread.
    // Setting an id again restarts it with the new period.
    virtual bool SetTimer(WindowHandle window, uintptr_t id, uint32_t periodMs) = 0;
    virtual void KillTimer(WindowHandle window, uintptr_t id) = 0;
    virtual void EnableControl(WindowHandle window, int controlId, bool enable) = 0;
    virtual bool IsControlEnabled(WindowHandle window, int controlId) = 0;
};

}  // namespace zelk
