#pragma once

// A test signal the wave-out player pulls in blocks of bytes: a synthesised sine tone or the sample
// data of a WAV file. Sources own no thread and are used by one thread at a time.

#include <cstdint>

#include "platform/status.h"
#include "platform/wave_format.h"

namespace zelk {

class AudioSource {
  public:
    // 0 when the source is usable. A failure is sticky.
    virtual Status GetStatus() = 0;
    // The source's own format record; the caller may adjust it in place (the player does so for
    // the channel mask). Meaningful only when GetStatus is 0.
    virtual WaveFormatExtensible* GetFormat() = 0;
    virtual bool HasMoreData() = 0;
    // Fills buffer with byteCount bytes of samples in the source's format. A failure status is
    // returned unchanged; then a null buffer gives kPointer and a byte count of 0 kInvalidArg.
    virtual Status Read(void* buffer, uint32_t byteCount) = 0;
    // Restarts the signal from its beginning.
    virtual Status Reset() = 0;

  protected:
    // Owners hold and destroy a source under its concrete type.
    ~AudioSource() = default;

    // What every Read checks first, in this order: the source's failure status, a null buffer, a
    // byte count of 0. kOk when the read may go on.
    static Status CheckRead(Status status, const void* buffer, uint32_t byteCount) {
        if (status != kOk)
            return status;
        if (buffer == nullptr)
            return kPointer;
        return byteCount == 0 ? kInvalidArg : kOk;
    }
};

}  // namespace zelk
