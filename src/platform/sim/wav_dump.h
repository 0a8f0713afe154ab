#pragma once

// A WAV file of what a simulated render device played, so that a person can listen to a run. The
// sizes in the header are brought up to date after every block, so the file stays playable if
// the process ends without closing it.

#include <cstdint>
#include <fstream>
#include <string>

#include "platform/wave_format.h"

namespace zelk::sim {

class WavDump {
  public:
    // False when the file cannot be created.
    bool Open(const std::string& path, const WaveFormatExtensible& format);
    void Append(const uint8_t* data, uint32_t bytes);
    void Close();
    bool IsOpen() const { return file_.is_open(); }

  private:
    void WriteSizes();

    std::ofstream file_;
    uint32_t formatBytes_ = 0;
    uint32_t dataBytes_ = 0;
};

}  // namespace zelk::sim
