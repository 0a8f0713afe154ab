#pragma once

// Everything the engine reaches outside itself. The worker builds one for the real machine (or the
// simulated one); each test builds its own.

namespace zelk {

class Windowing;
class CoreAudio;
class WaveOut;
class WaveIn;
class Sync;
class Files;

struct Platform {
    Windowing* windowing = nullptr;
    CoreAudio* coreAudio = nullptr;
    WaveOut* waveOut = nullptr;
    WaveIn* waveIn = nullptr;
    Sync* sync = nullptr;
    Files* files = nullptr;
};

}  // namespace zelk
