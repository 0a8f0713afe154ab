#pragma once

// Streams one test signal (a sine tone or a WAV file) to the codec's wave-out device in a ring of
// 64 blocks of 10 ms, refilled in ring order by a worker thread.

#include <cstdint>

#include "platform/platform.h"

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

    // (private state added by the implementation)
};

}  // namespace zelk
