#pragma once

// Captures the codec's microphone input (16-bit stereo, 48000 Hz) in a ring of 64 blocks of 10 ms
// and carries the level detector the measurement arms and takes.

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/bands.h"
#include "audio/level_detector.h"
#include "audio/wave_block_ring.h"
#include "audio/wave_stream_worker.h"
#include "platform/platform.h"
#include "platform/status.h"
#include "platform/wave.h"

namespace zelk {

class WaveInRecorder {
  public:
    // Uses platform.waveIn and platform.sync.
    explicit WaveInRecorder(const Platform& platform);
    ~WaveInRecorder();
    WaveInRecorder(const WaveInRecorder&) = delete;
    WaveInRecorder& operator=(const WaveInRecorder&) = delete;

    Status Start(uint16_t vendorId, uint16_t deviceId);
    void Stop();
    void Shutdown();

    void ArmDetection(int32_t band);
    // Any output may be null; each value handed out is cleared.
    void TakeDetection(int32_t* pending, int32_t* reachedLow, int32_t* reachedMedium,
                       int32_t* reachedHigh);
    void SetDetectionThresholds(int32_t lowPercent, int32_t mediumPercent, int32_t highPercent);

  private:
    static constexpr uint32_t kFrameBytes = 4;

    static void DeviceCallback(uint32_t message, void* instance, WaveHeader* header);
    void WorkerBody();
    void TakeNextBlock();

    Platform platform_;
    WaveFormatExtensible format_;
    std::unique_ptr<WaveInDevice> device_;
    bool captureStarted_ = false;
    WaveBlockRing ring_;
    uint32_t blockLength_ = 0;
    std::atomic<int32_t> recording_{0};
    LevelDetector detector_;
    WaveStreamWorker worker_;
};

}  // namespace zelk
