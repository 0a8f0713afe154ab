#pragma once

// Files: byte streams for the WAV reader, the current directory and the private-profile (INI)
// reading and writing of the results file.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zelk {

enum class SeekOrigin : int32_t { kBegin = 0, kCurrent = 1, kEnd = 2 };

class ByteStream {
  public:
    virtual ~ByteStream() = default;
    // Bytes read; fewer than asked at the end of the stream or on an error.
    virtual size_t Read(void* buffer, size_t bytes) = 0;
    virtual bool Seek(int64_t offset, SeekOrigin origin) = 0;
    virtual bool Tell(int64_t* position) = 0;
};

class Files {
  public:
    virtual ~Files() = default;
    // Null when the file cannot be opened for reading.
    virtual std::unique_ptr<ByteStream> OpenForReading(const std::u16string& path) = 0;
    // Text in the system's narrow code page to UTF-16.
    virtual std::u16string NarrowToWide(const char* text) = 0;
    // Length of the directory text written into buffer, or 0 when it cannot be had or does not
    // fit (then the buffer holds nothing useful).
    virtual uint32_t CurrentDirectory(char* buffer, uint32_t capacity) = 0;
    virtual bool WriteIniString(const char* section, const char* key, const char* value,
                                const char* path) = 0;
    // Copies the value (or defaultValue) into buffer, truncated to capacity-1 characters and
    // terminated; returns the characters copied.
    virtual uint32_t ReadIniString(const char* section, const char* key, const char* defaultValue,
                                   char* buffer, uint32_t capacity, const char* path) = 0;
};

}  // namespace zelk
