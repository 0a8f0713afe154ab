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

WaveInRecorder::WaveInRecorder(const Platform& platform)
    : platform_(platform), worker_(platform.sync) {}

WaveInRecorder::~WaveInRecorder() {
    Shutdown();
}

Status WaveInRecorder::Start(uint16_t vendorId, uint16_t deviceId) {
    // A recorder still holding a device or a worker is stopped first, never overwritten.
    if (device_ || worker_.Held())
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
        if (!ring_.HandOver(i, [this](WaveHeader* header) { return device_->AddBuffer(header); })) {
            Stop();
            return kFail;
        }
    }

    // Without a worker blocks are never re-queued and requests never served.
    worker_.Start([this] { WorkerBody(); });

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
    recorder->worker_.BlockReturned(recorder->ring_, header);
}

void WaveInRecorder::WorkerBody() {
    while (worker_.ShouldRun()) {
        if (ring_.NextReturned())
            TakeNextBlock();
        else
            worker_.WaitForBlock();
    }
}

void WaveInRecorder::TakeNextBlock() {
    const int32_t k = ring_.TakeNext();
    // The whole block is examined, whatever the device says it recorded.
    detector_.Examine(ring_.Buffer(k), blockLength_, kFrameBytes);
    if (recording_.load() == 1)
        ring_.HandOver(k, [this](WaveHeader* header) { return device_->AddBuffer(header); });
}

void WaveInRecorder::Stop() {
    recording_.store(0);
    worker_.Stop();
    if (device_) {
        // A device that never started capture would keep its blocks for ever: make it give them
        // back. A capturing one fills what it holds, at most 64 blocks of 10 ms.
        if (!captureStarted_)
            device_->Reset();
        ring_.ReturnAndUnprepare(*device_, platform_.sync);
        device_->Close();
        device_.reset();
        captureStarted_ = false;
    }
    ring_.FreeAll();
}

void WaveInRecorder::Shutdown() {
    Stop();
    worker_.CloseExitEvent();
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
