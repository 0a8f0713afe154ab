#pragma once

// Files held in memory, for every test that needs them: byte streams for WAV files (counting the
// streams that are open), a current directory, and an INI store keyed by path, section and key
// that records the keys written and read, in order.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"

namespace zelk::testing {

class MemoryFiles : public Files {
  public:
    std::map<std::u16string, std::vector<uint8_t>> files;
    std::map<std::string, std::map<std::string, std::string>> ini;  // path -> section/key -> value
    std::string currentDirectory = "C:\\zelk";
    std::vector<std::string> iniWritten;  // keys, in the order written
    std::vector<std::string> iniReads;    // keys, in the order read

    std::unique_ptr<ByteStream> OpenForReading(const std::u16string& path) override {
        auto it = files.find(path);
        if (it == files.end())
            return nullptr;
        return std::make_unique<Stream>(it->second, openStreams_);
    }
    // The narrow text is plain ASCII in the tests.
    std::u16string NarrowToWide(const char* text) override {
        std::u16string wide;
        for (; text != nullptr && *text != '\0'; ++text)
            wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
        return wide;
    }
    uint32_t CurrentDirectory(char* buffer, uint32_t capacity) override {
        if (currentDirectory.empty() || currentDirectory.size() + 1 > capacity)
            return 0;
        std::memcpy(buffer, currentDirectory.c_str(), currentDirectory.size() + 1);
        return static_cast<uint32_t>(currentDirectory.size());
    }
    bool WriteIniString(const char* section, const char* key, const char* value,
                        const char* path) override {
        iniWritten.push_back(key);
        ini[path][std::string(section) + "/" + key] = value;
        return true;
    }
    uint32_t ReadIniString(const char* section, const char* key, const char* defaultValue,
                           char* buffer, uint32_t capacity, const char* path) override {
        iniReads.push_back(key);
        std::string value = defaultValue != nullptr ? defaultValue : "";
        auto file = ini.find(path);
        if (file != ini.end()) {
            auto entry = file->second.find(std::string(section) + "/" + key);
            if (entry != file->second.end())
                value = entry->second;
        }
        if (capacity == 0)
            return 0;
        const size_t length = std::min<size_t>(value.size(), capacity - 1);
        std::memcpy(buffer, value.data(), length);
        buffer[length] = '\0';
        return static_cast<uint32_t>(length);
    }

    int OpenStreams() const { return *openStreams_; }

  private:
    class Stream : public ByteStream {
      public:
        Stream(const std::vector<uint8_t>& bytes, std::shared_ptr<int> open)
            : bytes_(bytes), open_(std::move(open)) {
            ++*open_;
        }
        ~Stream() override { --*open_; }
        size_t Read(void* buffer, size_t count) override {
            if (position_ >= static_cast<int64_t>(bytes_.size()))
                return 0;
            const size_t got = std::min(count, bytes_.size() - static_cast<size_t>(position_));
            std::memcpy(buffer, bytes_.data() + position_, got);
            position_ += static_cast<int64_t>(got);
            return got;
        }
        // Like a file, a stream may be placed past its end; reads there get nothing.
        bool Seek(int64_t offset, SeekOrigin origin) override {
            const int64_t base = origin == SeekOrigin::kBegin ? 0
                                 : origin == SeekOrigin::kCurrent
                                     ? position_
                                     : static_cast<int64_t>(bytes_.size());
            if (base + offset < 0)
                return false;
            position_ = base + offset;
            return true;
        }
        bool Tell(int64_t* position) override {
            *position = position_;
            return true;
        }

      private:
        const std::vector<uint8_t>& bytes_;
        std::shared_ptr<int> open_;
        int64_t position_ = 0;
    };

    std::shared_ptr<int> openStreams_ = std::make_shared<int>(0);
};

}  // namespace zelk::testing
