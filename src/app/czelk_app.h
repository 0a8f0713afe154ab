#pragma once

// The application object: runs the hidden dialog modally and ends when it ends.

#include <cstdint>

#include "platform/platform.h"

namespace zelk {

class CzelkApp {
  public:
    explicit CzelkApp(const Platform& platform);

    // Constructs the dialog (and with it the engine), runs it modally, destroys it and returns
    // false: there is no further message loop.
    bool InitInstance();

    // The dialog's result: IDC_OK or IDC_CANCEL, or -1 when its window could not be opened (for
    // example while a live worker holds the title "zelk").
    intptr_t modalResult() const { return modalResult_; }

  private:
    Platform platform_;
    intptr_t modalResult_ = 0;
};

}  // namespace zelk
