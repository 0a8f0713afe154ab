#pragma once

// A window handler that records what it receives and can react to it.

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/posix/channel_message.h"
#include "platform/windowing.h"

namespace zelk::posix::testing {

class RecordingHandler : public WindowHandler {
  public:
    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t lParam) override {
        received.push_back(ChannelMessage{message, wParam, lParam});
        if (react)
            react(received.back());
        return 0;
    }

    std::vector<ChannelMessage> received;
    std::function<void(const ChannelMessage&)> react;
};

}  // namespace zelk::posix::testing
