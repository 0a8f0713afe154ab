#include "audio/wave_block_ring.h"

#include <algorithm>
#include <new>

namespace zelk {

bool WaveBlockRing::Allocate(int32_t i, uint32_t blockLength) {
    const uint32_t bytes = std::max(kBufferBytes, blockLength);
    buffers_[i].reset(new (std::nothrow) uint8_t[bytes]());
    headers_[i] = WaveHeader{};
    if (buffers_[i] == nullptr)
        return false;
    headers_[i].data = buffers_[i].get();
    headers_[i].bufferLength = blockLength;
    headers_[i].user = static_cast<uintptr_t>(i);
    return true;
}

void WaveBlockRing::FreeAll() {
    for (int32_t i = 0; i < kBlockCount; ++i) {
        buffers_[i].reset();
        headers_[i] = WaveHeader{};
        prepared_[i] = false;
    }
}

void WaveBlockRing::Restart() {
    for (auto& done : done_)
        done.store(0);
    nextSlot_ = 0;
}

bool WaveBlockRing::MarkReturned(const WaveHeader* header) {
    if (header == nullptr || header->user >= static_cast<uintptr_t>(kBlockCount))
        return false;
    done_[header->user].store(1);
    return true;
}

int32_t WaveBlockRing::TakeNext() {
    const int32_t k = nextSlot_;
    done_[k].store(0);
    nextSlot_ = k < kBlockCount - 1 ? k + 1 : 0;
    return k;
}

}  // namespace zelk
