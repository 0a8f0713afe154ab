#pragma once

// A private runtime folder for one test, removed with everything in it afterwards.

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace zelk::posix::testing {

class TempRuntimeFolder {
  public:
    TempRuntimeFolder() {
        char pattern[] = "/tmp/zelk-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);  // mode 0700
        path_ = made != nullptr ? made : "";
    }
    ~TempRuntimeFolder() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TempRuntimeFolder(const TempRuntimeFolder&) = delete;
    TempRuntimeFolder& operator=(const TempRuntimeFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace zelk::posix::testing
