#pragma once

// Files on Linux: byte streams over stdio with 64-bit positions, UTF-8 as the narrow text, and a
// private-profile (INI) store in plain text files, each write replacing the file atomically
// (whole_file.h): a failed write leaves the previous file as it was.
//
// Paths are the engine's own, written with the platform's separator '\': a backslash is read as a
// path separator here, so "<current directory>\name.ini" names a file in that directory.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/files.h"
#include "platform/posix/whole_file.h"

namespace zelk {

class PosixFiles : public Files {
  public:
    PosixFiles() = default;
    // The INI writer writes its files through `write` (a test's full disk) instead of write(2).
    explicit PosixFiles(posix::WriteFunction write) : write_(std::move(write)) {}

    std::unique_ptr<ByteStream> OpenForReading(const std::u16string& path) override;
    std::u16string NarrowToWide(const char* text) override;
    uint32_t CurrentDirectory(char* buffer, uint32_t capacity) override;
    // "[section]" and "key=value" lines, names matched without regard to case. A new key goes at
    // the end of its section, a new section at the end of the file; a null value removes the key,
    // a null key the whole section. False when the file could not be read or replaced.
    bool WriteIniString(const char* section, const char* key, const char* value,
                        const char* path) override;
    uint32_t ReadIniString(const char* section, const char* key, const char* defaultValue,
                           char* buffer, uint32_t capacity, const char* path) override;

  private:
    posix::WriteFunction write_;
};

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8(const std::u16string& text);
// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string Utf8ToWide(const std::string& text);

}  // namespace zelk
