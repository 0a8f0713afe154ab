#pragma once

// The ring of 64 blocks of 10 ms a wave stream keeps on its device: headers, buffers, the flags
// the device callback raises for returned blocks, and the count of blocks the device holds.
//
// The device callback marks a block returned and only then gives up its count in queued, so once
// queued reaches 0 no callback touches the ring any more. The worker takes returned blocks strictly
// in ring order: it clears a block's flag before handing the block back, so a quick return of the
// same block is never lost.

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/wave.h"

namespace zelk {

class WaveBlockRing {
  public:
    static constexpr int32_t kBlockCount = 64;
    // Bytes allocated per block when the block length is no longer.
    static constexpr uint32_t kBufferBytes = 15360;

    // Allocates the zero-filled buffer of block i, at least kBufferBytes and at least blockLength
    // long, and points header i at it (user value i). False when it cannot be had.
    bool Allocate(int32_t i, uint32_t blockLength);
    void FreeAll();
    bool HasBuffer(int32_t i) const { return buffers_[i] != nullptr; }
    uint8_t* Buffer(int32_t i) { return buffers_[i].get(); }
    WaveHeader* Header(int32_t i) { return &headers_[i]; }

    void SetPrepared(int32_t i, bool prepared) { prepared_[i] = prepared; }
    bool IsPrepared(int32_t i) const { return prepared_[i]; }

    // Before the first block goes to the device: no block returned, the worker starts at slot 0.
    void Restart();

    // Device callback side: flags the returned block. False for a header that is not one of ours.
    bool MarkReturned(const WaveHeader* header);

    // Worker side.
    bool NextReturned() const { return done_[nextSlot_].load() != 0; }
    // Clears the next slot's flag, moves on and returns the slot's index.
    int32_t TakeNext();

    // Blocks handed to the device and not yet returned.
    void AddQueued() { queued_.fetch_add(1); }
    void DropQueued() { queued_.fetch_sub(1); }
    int32_t Queued() const { return queued_.load(); }
    void ClearQueued() { queued_.store(0); }

  private:
    WaveHeader headers_[kBlockCount];
    std::unique_ptr<uint8_t[]> buffers_[kBlockCount];
    bool prepared_[kBlockCount] = {};
    std::atomic<int32_t> done_[kBlockCount] = {};
    std::atomic<int32_t> queued_{0};
    int32_t nextSlot_ = 0;  // the worker's alone while it runs
};

}  // namespace zelk
