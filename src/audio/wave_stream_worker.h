#pragma once

// The worker thread of a wave stream (the player's refilling, the recorder's re-queueing): started
// once per stream, it waits between returned blocks for the signal the device callback gives, and
// it is ended by the stream's Stop. The exit event is set once the body has returned.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "audio/wave_block_ring.h"
#include "platform/sync.h"
#include "platform/wave.h"

namespace zelk {

class WaveStreamWorker {
  public:
    // How long Stop waits for the exit signal. A worker still running after it is waited for all
    // the same: nothing it uses is freed under it.
    static constexpr uint32_t kExitWaitMs = 5000;

    // Without sync there are no events and no worker is ever started.
    explicit WaveStreamWorker(Sync* sync);
    ~WaveStreamWorker();
    WaveStreamWorker(const WaveStreamWorker&) = delete;
    WaveStreamWorker& operator=(const WaveStreamWorker&) = delete;

    // Caller side. True from a successful Start until Stop, also after the body has returned.
    bool Held() const { return thread_ != nullptr; }
    // Unless a worker is held: sets run and starts body on a thread of its own. When no thread can
    // be started, run is cleared and the exit event set again: Stop then has nothing to wait for.
    void Start(std::function<void()> body);
    // Clears run, wakes the worker, waits for its exit signal and forgets it.
    void Stop();
    // The last step of the stream's Shutdown; no worker starts afterwards.
    void CloseExitEvent();

    // Worker side.
    bool ShouldRun() const { return run_.load() == 1; }
    // A worker that ends on its own (the player's source ran dry) clears run before it returns.
    void EndOnItsOwn() { run_.store(0); }
    // Waits until the device callback has returned a block, or Stop wants the worker to end.
    void WaitForBlock();

    // Device callback side: flags the returned block in the ring and wakes the worker; the
    // block's count in queued goes last, since once queued reaches 0 Stop may close the device.
    void BlockReturned(WaveBlockRing& ring, const WaveHeader* header);

  private:
    Sync* sync_;
    std::unique_ptr<Event> exitEvent_;  // manual reset, set when the worker ends
    std::unique_ptr<Event> wakeEvent_;  // auto reset, set for every returned block
    std::unique_ptr<Thread> thread_;
    std::atomic<int32_t> run_{0};
};

}  // namespace zelk
