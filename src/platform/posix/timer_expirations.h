#pragma once

// Orders the expirations that several periodic timers reported at once, so that their messages go
// out in the order the timers fell due, however many each timer missed.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelk::posix {

struct TimerBatch {
    uintptr_t id = 0;
    uint64_t count = 0;  // expirations not yet delivered
    int64_t lastNs = 0;  // when the latest of them fell due
    int64_t periodNs = 0;
};

// Takes the earliest undelivered expiration (ties go to the earlier batch) and returns the index
// of its batch, or -1 when every batch is delivered.
int TakeNextExpiration(std::vector<TimerBatch>& batches);

}  // namespace zelk::posix
