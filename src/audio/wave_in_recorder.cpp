#include "audio/wave_in_recorder.h"

#include "audio/codec_wave_device.h"

namespace zelk {
namespace {

WaveFormatExtensible CaptureFormat() {
    WaveFormatExtensible format;
    format.wFormatTag = kWaveFormatPcm;
    format.nChannels = 2;
    format.nSamplesPerSec = 48000;
    format.nAvgBytesPerSec = 192000;
    format.nBlockAlign = 4;
    format.wBitsPerSample = 16;
    format.cbSize = 0;
    return format;
}

}  // namespace

WaveInRecorder::WaveInRecorder(const Platform& platform) : platform_(platform) {
    if (platform_.sync != nullptr) {
        exitEvent_ = platform_.sync->NewEvent(true, true);
        wakeEvent_ = platform_.sync->NewEvent(false, false);
    }
}

WaveInRecorder::~WaveInRecorder() {
    Shutdown();
}

Status WaveInRecorder::Start(uint16_t vendorId, uint16_t deviceId) {
    // A recorder still holding a device or a worker is stopped first, never overwritten.
    if (device_ || worker_)
        Stop();

    const uint32_t count = platform_.waveIn != nullptr ? platform_.waveIn->GetDeviceCount() : 0;
    if (count == 0) {
        Stop();
        return kFail;
    }
    const uint32_t deviceIndex = FindCodecWaveDevice(*platform_.waveIn, count, vendorId, deviceId);

    format_ = CaptureFormat();
    if (deviceIndex == kNoWaveDevice ||
        platform_.waveIn->Open(deviceIndex, format_, &WaveInRecorder::DeviceCallback, this,
                               &device_) != kMmNoError ||
        !device_) {
        device_.reset();
        Stop();
        return kFail;
    }
    captureStarted_ = false;

    recording_.store(1);
    blockLength_ = format_.nAvgBytesPerSec / 100u;
    ring_.ClearQueued();
    ring_.Restart();
    for (int32_t i = 0; i < WaveBlockRing::kBlockCount; ++i) {
        if (!ring_.Allocate(i, blockLength_) || device_->Prepare(ring_.Header(i)) != kMmNoError) {
            Stop();
            return kFail;
        }
        ring_.SetPrepared(i, true);
        ring_.AddQueued();
        if (device_->AddBuffer(ring_.Header(i)) != kMmNoError) {
            ring_.DropQueued();
            Stop();
            return kFail;
        }
    }

    if (!worker_) {
        if (exitEvent_)
            exitEvent_->Reset();
        run_.store(1);
        if (platform_.sync != nullptr && exitEvent_ && wakeEvent_)
            worker_ = platform_.sync->StartThread([this] { WorkerBody(); });
        if (!worker_) {
            // Blocks are then never re-queued and requests never served; Stop has nothing to wait
            // for.
            run_.store(0);
            if (exitEvent_)
                exitEvent_->Set();
        }
    }

    if (device_->Start() != kMmNoError) {
        Stop();
        return kFail;
    }
    captureStarted_ = true;
    return kOk;
}

void WaveInRecorder::DeviceCallback(uint32_t message, void* instance, WaveHeader* header) {
    if (message != kWimData || instance == nullptr)
        return;
    auto* recorder = static_cast<WaveInRecorder*>(instance);
    if (!recorder->ring_.MarkReturned(header))
        return;
    if (recorder->wakeEvent_)
        recorder->wakeEvent_->Set();
    // Last: once queued reaches 0, Stop may close the device.
    recorder->ring_.DropQueued();
}

void WaveInRecorder::WorkerBody() {
    while (run_.load() == 1) {
        if (ring_.NextReturned())
            TakeNextBlock();
        else
            wakeEvent_->Wait(kWaitForever);
    }
    exitEvent_->Set();
}

void WaveInRecorder::TakeNextBlock() {
    const int32_t k = ring_.TakeNext();
    // The whole block is examined, whatever the device says it recorded.
    detector_.Examine(ring_.Buffer(k), blockLength_, kFrameBytes);
    if (recording_.load() == 1) {
        ring_.AddQueued();
        if (device_->AddBuffer(ring_.Header(k)) != kMmNoError)
            ring_.DropQueued();
    }
}

void WaveInRecorder::Stop() {
    recording_.store(0);
    if (worker_) {
        run_.store(0);
        wakeEvent_->Set();
        if (exitEvent_)
            exitEvent_->Wait(kWorkerExitWaitMs);
        // A worker that is late past the wait is still waited for: nothing it uses is freed
        // under it.
        worker_->Join();
        worker_.reset();
    }
    run_.store(0);

    if (device_) {
        // A device that never started capture would keep its blocks for ever: make it give them
        // back. A capturing one fills what it holds, at most 64 blocks of 10 ms.
        if (!captureStarted_)
            device_->Reset();
        uint32_t sleeps = 0;
        while (ring_.Queued() > 0) {
            if (sleeps++ == kDrainSleepsBeforeReset)
                device_->Reset();
            if (platform_.sync != nullptr)
                platform_.sync->Sleep(1);
        }
        for (int32_t i = 0; i < WaveBlockRing::kBlockCount; ++i) {
            if (ring_.IsPrepared(i))
                device_->Unprepare(ring_.Header(i));
        }
        device_->Close();
        device_.reset();
        captureStarted_ = false;
    }
    ring_.FreeAll();
}

void WaveInRecorder::Shutdown() {
    Stop();
    exitEvent_.reset();
}

void WaveInRecorder::ArmDetection(int32_t band) {
    detector_.Arm(band);
}

void WaveInRecorder::TakeDetection(int32_t* pending, int32_t* reachedLow, int32_t* reachedMedium,
                                   int32_t* reachedHigh) {
    detector_.Take(pending, reachedLow, reachedMedium, reachedHigh);
}

void WaveInRecorder::SetDetectionThresholds(int32_t lowPercent, int32_t mediumPercent,
                                            int32_t highPercent) {
    detector_.SetThresholds(lowPercent, mediumPercent, highPercent);
}

}  // namespace zelk
