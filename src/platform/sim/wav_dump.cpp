#include "platform/sim/wav_dump.h"

#include <cstring>

namespace zelk::sim {

namespace {

void Put32(std::ofstream& file, uint32_t value) {
    const char bytes[4] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                           static_cast<char>((value >> 16) & 0xFF),
                           static_cast<char>((value >> 24) & 0xFF)};
    file.write(bytes, 4);
}

}  // namespace

bool WavDump::Open(const std::string& path, const WaveFormatExtensible& format) {
    Close();
    file_.open(path, std::ios::binary | std::ios::trunc);
    if (!file_.is_open())
        return false;
    // An extensible format keeps its 40 bytes; a plain one its 16 (PCM) or 18 bytes.
    if (format.wFormatTag == kWaveFormatExtensible) {
        formatBytes_ = static_cast<uint32_t>(sizeof(WaveFormatExtensible));
    } else if (format.wFormatTag == kWaveFormatPcm) {
        formatBytes_ = 16;
    } else {
        formatBytes_ = 18;
    }
    char record[sizeof(WaveFormatExtensible)];
    std::memcpy(record, &format, sizeof(record));
    if (formatBytes_ == 18) {
        record[16] = 0;  // cbSize 0
        record[17] = 0;
    }
    dataBytes_ = 0;
    file_.write("RIFF", 4);
    Put32(file_, 0);
    file_.write("WAVEfmt ", 8);
    Put32(file_, formatBytes_);
    file_.write(record, formatBytes_);
    file_.write("data", 4);
    Put32(file_, 0);
    WriteSizes();
    return file_.good();
}

void WavDump::Append(const uint8_t* data, uint32_t bytes) {
    if (!file_.is_open() || bytes == 0)
        return;
    file_.seekp(0, std::ios::end);
    file_.write(reinterpret_cast<const char*>(data), bytes);
    dataBytes_ += bytes;
    WriteSizes();
}

void WavDump::Close() {
    if (!file_.is_open())
        return;
    if ((dataBytes_ & 1u) != 0) {
        file_.seekp(0, std::ios::end);
        file_.put(0);  // RIFF pads an odd chunk to an even size
    }
    file_.close();
}

void WavDump::WriteSizes() {
    const uint32_t padded = dataBytes_ + (dataBytes_ & 1u);
    file_.seekp(4);
    Put32(file_, 4 + 8 + formatBytes_ + 8 + padded);
    file_.seekp(static_cast<std::streamoff>(12 + 8 + formatBytes_ + 4));
    Put32(file_, dataBytes_);
    file_.flush();
}

}  // namespace zelk::sim
