#pragma once

// Turns SIGINT and SIGTERM into the platform's close request: the signal posts WM_CLOSE to the
// process's own window, whose loop then ends as a close ends it. When the message cannot be posted
// (the window is not open yet, or its queue is full) the signal takes its default action.

#include <string>

namespace zelk::posix {

// socketPath is the window's socket; false when the handlers cannot be installed.
bool PostCloseOnSignals(const std::string& socketPath);

}  // namespace zelk::posix
