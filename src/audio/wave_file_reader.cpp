#include "audio/wave_file_reader.h"

#include <algorithm>
#include <cstring>

namespace zelk {
namespace {

constexpr uint32_t kMinRiffSize = 45;
constexpr uint32_t kMinFormatSize = 16;
constexpr uint32_t kFormatRecordSize = 40;
constexpr uint32_t kPlainFrontCenter = 0x4;
constexpr uint32_t kPlainFrontPair = 0x3;

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool IsId(const uint8_t* p, const char* id) {
    return std::memcmp(p, id, 4) == 0;
}

// The 40-byte extensible record as it lies in a file.
WaveFormatExtensible FormatFromBytes(const uint8_t* p) {
    WaveFormatExtensible format;
    format.wFormatTag = Le16(p + 0);
    format.nChannels = Le16(p + 2);
    format.nSamplesPerSec = Le32(p + 4);
    format.nAvgBytesPerSec = Le32(p + 8);
    format.nBlockAlign = Le16(p + 12);
    format.wBitsPerSample = Le16(p + 14);
    format.cbSize = Le16(p + 16);
    format.wValidBitsPerSample = Le16(p + 18);
    format.dwChannelMask = Le32(p + 20);
    format.SubFormat.data1 = Le32(p + 24);
    format.SubFormat.data2 = Le16(p + 28);
    format.SubFormat.data3 = Le16(p + 30);
    std::memcpy(format.SubFormat.data4, p + 32, 8);
    return format;
}

// RIFF chunks occupy an even number of bytes: an odd size is followed by one pad byte.
int64_t PaddedSize(uint32_t size) {
    return static_cast<int64_t>(size) + (size & 1u);
}

}  // namespace

WaveFileReader::WaveFileReader(Files& files, const std::u16string& path) {
    if (!Open(files, path))
        status_ = kUnsupportedFormat;
}

bool WaveFileReader::Open(Files& files, const std::u16string& path) {
    file_ = files.OpenForReading(path);
    if (!file_)
        return false;

    // "RIFF", RIFF size, "WAVE", "fmt ", fmt size: the "fmt " chunk must come first.
    uint8_t head[20];
    if (file_->Read(head, sizeof head) != sizeof head)
        return false;
    if (!IsId(head, "RIFF") || Le32(head + 4) < kMinRiffSize || !IsId(head + 8, "WAVE") ||
        !IsId(head + 12, "fmt "))
        return false;
    if (!ReadFormatChunk(Le32(head + 16)))
        return false;
    return FindDataChunk();
}

bool WaveFileReader::ReadFormatChunk(uint32_t size) {
    if (size < kMinFormatSize)
        return false;
    uint8_t record[kFormatRecordSize] = {};
    const uint32_t kept = std::min(size, kFormatRecordSize);
    if (file_->Read(record, kept) != kept)
        return false;
    const int64_t rest = PaddedSize(size) - kept;
    if (rest > 0 && !file_->Seek(rest, SeekOrigin::kCurrent))
        return false;

    WaveFormatExtensible format = FormatFromBytes(record);
    switch (format.wFormatTag) {
        case kWaveFormatPcm:
        case kWaveFormatIeeeFloat:
            if (format.nChannels != 1 && format.nChannels != 2)
                return false;
            format.SubFormat =
                format.wFormatTag == kWaveFormatPcm ? kSubtypePcm : kSubtypeIeeeFloat;
            format.wFormatTag = kWaveFormatExtensible;
            format.cbSize = 22;
            format.wValidBitsPerSample = format.wBitsPerSample;
            format.dwChannelMask = format.nChannels == 1 ? kPlainFrontCenter : kPlainFrontPair;
            break;
        case kWaveFormatExtensible:
            break;
        default:
            return false;
    }
    if (format.SubFormat != kSubtypePcm && format.SubFormat != kSubtypeIeeeFloat)
        return false;
    format_ = format;
    return true;
}

bool WaveFileReader::FindDataChunk() {
    for (;;) {
        if (!file_->Tell(&dataPosition_))
            return false;
        uint8_t header[8];
        if (file_->Read(header, sizeof header) != sizeof header)
            return false;
        const uint32_t size = Le32(header + 4);
        if (IsId(header, "data")) {
            if (size == 0)
                return false;
            dataSize_ = size;
            remaining_ = size;
            return true;
        }
        if (!file_->Seek(PaddedSize(size), SeekOrigin::kCurrent))
            return false;
    }
}

Status WaveFileReader::Fail() {
    status_ = kUnsupportedFormat;
    return status_;
}

Status WaveFileReader::Read(void* buffer, uint32_t byteCount) {
    if (const Status check = CheckRead(status_, buffer, byteCount); check != kOk)
        return check;

    const uint32_t fromFile = std::min(byteCount, remaining_);
    if (fromFile > 0 && file_->Read(buffer, fromFile) != fromFile)
        return Fail();
    remaining_ -= fromFile;
    if (fromFile < byteCount) {
        const uint8_t silence = format_.wBitsPerSample == 8 ? 0x80 : 0x00;
        std::memset(static_cast<uint8_t*>(buffer) + fromFile, silence, byteCount - fromFile);
    }
    return kOk;
}

Status WaveFileReader::Reset() {
    if (status_ != kOk)
        return status_;
    uint8_t header[8];
    if (!file_->Seek(dataPosition_, SeekOrigin::kBegin) ||
        file_->Read(header, sizeof header) != sizeof header || !IsId(header, "data") ||
        Le32(header + 4) != dataSize_)
        return Fail();
    remaining_ = dataSize_;
    return kOk;
}

}  // namespace zelk
