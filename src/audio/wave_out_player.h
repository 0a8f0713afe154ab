#pragma once

// Streams one test signal (a sine tone or a WAV file) to the codec's wave-out device in a ring of
// 64 blocks of 10 ms, refilled in ring order by a worker thread.

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/sine_wave_source.h"
#include "audio/wave_block_ring.h"
#include "audio/wave_file_reader.h"
#include "audio/wave_stream_worker.h"
#include "platform/platform.h"
#include "platform/wave.h"

namespace zelk {

inline constexpr int32_t kPlayerTextLength = 260;

class WaveOutPlayer {
  public:
    // Uses platform.waveOut, platform.sync and platform.files.
    explicit WaveOutPlayer(const Platform& platform);
    ~WaveOutPlayer();
    WaveOutPlayer(const WaveOutPlayer&) = delete;
    WaveOutPlayer& operator=(const WaveOutPlayer&) = delete;

    // infoText and errorText are the caller's 260-character buffers; wavPath is narrow text of at
    // most 259 characters. Returns true when playback started.
    bool Start(char* infoText, uint16_t deviceId, uint16_t vendorId, int32_t useSine,
               uint16_t channelCount, uint32_t channelMask, const char* wavPath, char* errorText,
               double frequency);
    void Stop();
    void Shutdown();

  private:
    static void DeviceCallback(uint32_t message, void* instance, WaveHeader* header);
    void WorkerBody();
    void Refill();

    Platform platform_;
    std::unique_ptr<WaveFileReader> fileSource_;
    std::unique_ptr<SineWaveSource> sineSource_;
    AudioSource* currentSource_ = nullptr;
    std::unique_ptr<WaveOutDevice> device_;
    WaveBlockRing ring_;
    uint32_t blockLength_ = 0;
    std::atomic<int32_t> playing_{0};
    WaveStreamWorker worker_;
};

}  // namespace zelk
