#include "audio/wave_stream_worker.h"

#include <utility>

namespace zelk {

WaveStreamWorker::WaveStreamWorker(Sync* sync) : sync_(sync) {
    if (sync_ != nullptr) {
        exitEvent_ = sync_->NewEvent(true, true);
        wakeEvent_ = sync_->NewEvent(false, false);
    }
}

WaveStreamWorker::~WaveStreamWorker() {
    Stop();
}

void WaveStreamWorker::Start(std::function<void()> body) {
    if (thread_)
        return;
    if (exitEvent_)
        exitEvent_->Reset();
    run_.store(1);
    if (sync_ != nullptr && exitEvent_ && wakeEvent_) {
        thread_ = sync_->StartThread([this, body = std::move(body)] {
            body();
            exitEvent_->Set();
        });
    }
    if (!thread_) {
        run_.store(0);
        if (exitEvent_)
            exitEvent_->Set();
    }
}

void WaveStreamWorker::Stop() {
    if (thread_) {
        run_.store(0);
        wakeEvent_->Set();
        if (exitEvent_)
            exitEvent_->Wait(kExitWaitMs);
        thread_->Join();
        thread_.reset();
    }
    run_.store(0);
}

void WaveStreamWorker::CloseExitEvent() {
    exitEvent_.reset();
}

void WaveStreamWorker::WaitForBlock() {
    wakeEvent_->Wait(kWaitForever);
}

void WaveStreamWorker::BlockReturned(WaveBlockRing& ring, const WaveHeader* header) {
    if (!ring.MarkReturned(header))
        return;
    if (wakeEvent_)
        wakeEvent_->Set();
    ring.DropQueued();
}

}  // namespace zelk
