#pragma once

// The peer's side of the simulated windowing: a "Speaker" window that records every reply.

#include <cstdint>
#include <ostream>
#include <vector>

#include "platform/windowing.h"

namespace zelk::test {

struct Reply {
    uint32_t message;
    uint32_t wParam;
    int32_t lParam;
    bool operator==(const Reply&) const = default;
    friend void PrintTo(const Reply& r, std::ostream* os) {
        *os << "{" << r.message << ", " << r.wParam << ", " << r.lParam << "}";
    }
};

class PeerWindow : public WindowHandler {
  public:
    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t lParam) override {
        replies.push_back({message, wParam, lParam});
        return 0;
    }
    std::vector<Reply> replies;
};

}  // namespace zelk::test
