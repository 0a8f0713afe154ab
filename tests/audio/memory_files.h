#pragma once

// Files held in memory, for the WAV reader and the player. Counts the streams that are open.

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
    uint32_t CurrentDirectory(char*, uint32_t) override { return 0; }
    bool WriteIniString(const char*, const char*, const char*, const char*) override {
        return false;
    }
    uint32_t ReadIniString(const char*, const char*, const char*, char*, uint32_t,
                           const char*) override {
        return 0;
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
