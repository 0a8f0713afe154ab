#include "platform/posix/timer_expirations.h"

namespace zelk::posix {

int TakeNextExpiration(std::vector<TimerBatch>& batches) {
    int best = -1;
    int64_t bestNs = 0;
    for (size_t i = 0; i < batches.size(); ++i) {
        const TimerBatch& batch = batches[i];
        if (batch.count == 0)
            continue;
        const int64_t dueNs = batch.lastNs - static_cast<int64_t>(batch.count - 1) * batch.periodNs;
        if (best < 0 || dueNs < bestNs) {
            best = static_cast<int>(i);
            bestNs = dueNs;
        }
    }
    if (best >= 0)
        --batches[static_cast<size_t>(best)].count;
    return best;
}

}  // namespace zelk::posix
