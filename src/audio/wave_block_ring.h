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

#include "platform/sync.h"
#include "platform/wave.h"

namespace zelk {

class WaveBlockRing {
  public:
    static constexpr int32_t kBlockCount = 64;
    // Bytes allocated per block when the block length is no longer.
    static constexpr uint32_t kBufferBytes = 15360;
    // 1 ms sleeps of a drain, far beyond the 640 ms the ring holds, before the device is reset.
    static constexpr uint32_t kDrainSleepsBeforeReset = 5000;

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

    // Hands block i to the device by send (its Write or AddBuffer). The block counts in queued
    // before it goes, so a quick return never takes the count below 0. False when refused.
    template <class Send>
    bool HandOver(int32_t i, Send send) {
        AddQueued();
        if (send(Header(i)) == kMmNoError)
            return true;
        DropQueued();
        return false;
    }

    // Waits, 1 ms at a time, until the device has given back every block (a device that keeps them
    // past kDrainSleepsBeforeReset sleeps is reset), then unprepares every prepared header.
    template <class Device>
    void ReturnAndUnprepare(Device& device, Sync* sync) {
        uint32_t sleeps = 0;
        while (Queued() > 0) {
            if (sleeps++ == kDrainSleepsBeforeReset)
                device.Reset();
            if (sync != nullptr)
                sync->Sleep(1);
        }
        for (int32_t i = 0; i < kBlockCount; ++i) {
            if (IsPrepared(i))
                device.Unprepare(Header(i));
        }
    }

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
