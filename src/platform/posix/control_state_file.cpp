#include "platform/posix/control_state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/posix/unique_fd.h"

namespace zelk::posix {

std::string ControlStatePath(const std::string& folder, const std::string& title) {
    return folder + "/" + title + ".controls";
}

bool WriteControlState(const std::string& path, const std::map<int, bool>& controls) {
    std::string text;
    for (const auto& [id, enabled] : controls)
        text += std::to_string(id) + (enabled ? " enabled\n" : " disabled\n");

    std::vector<char> temporary(path.begin(), path.end());
    const char suffix[] = ".XXXXXX";
    temporary.insert(temporary.end(), suffix, suffix + sizeof suffix);
    UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file.valid())
        return false;
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(file.get(), text.data() + written, text.size() - written);
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    file.Reset();
    if (written != text.size() || ::rename(temporary.data(), path.c_str()) != 0) {
        ::unlink(temporary.data());
        return false;
    }
    return true;
}

bool ReadControlState(const std::string& path, std::map<int, bool>* controls) {
    if (controls == nullptr)
        return false;
    std::ifstream file(path);
    if (!file)
        return false;
    controls->clear();
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        int id;
        std::string state;
        std::string rest;
        if (!(fields >> id >> state) || (fields >> rest))
            continue;
        if (state == "enabled")
            (*controls)[id] = true;
        else if (state == "disabled")
            (*controls)[id] = false;
    }
    return true;
}

}  // namespace zelk::posix
