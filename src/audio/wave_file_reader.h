#pragma once

// Streams the sample data of a RIFF/WAVE file: 8/16/24/32-bit PCM or float, plain (one or two
// channels) or extensible "fmt " chunks, the format normalised to the extensible form. After the
// data comes silence.

#include <cstdint>
#include <memory>
#include <string>

#include "audio/audio_source.h"
#include "platform/files.h"

namespace zelk {

class WaveFileReader final : public AudioSource {
  public:
    // Opens and checks the file at once; any failure shows in GetStatus.
    WaveFileReader(Files& files, const std::u16string& path);
    ~WaveFileReader() = default;

    Status GetStatus() override { return status_; }
    WaveFormatExtensible* GetFormat() override { return &format_; }
    bool HasMoreData() override { return status_ == kOk && remaining_ > 0; }
    Status Read(void* buffer, uint32_t byteCount) override;
    Status Reset() override;

  private:
    bool Open(Files& files, const std::u16string& path);
    bool ReadFormatChunk(uint32_t size);
    bool FindDataChunk();
    Status Fail();

    std::unique_ptr<ByteStream> file_;
    Status status_ = kOk;
    int64_t dataPosition_ = 0;  // of the "data" chunk's 8-byte header
    uint32_t dataSize_ = 0;
    uint32_t remaining_ = 0;
    WaveFormatExtensible format_;
};

}  // namespace zelk
