#include "app/linux/sim_state_file.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/posix/whole_file.h"

namespace zelk::linux_worker {

std::optional<std::string> ResolveSimStatePath(const char* zelkSimState,
                                               const std::string& runtimeFolder) {
    if (zelkSimState != nullptr && *zelkSimState != '\0') {
        if (std::string(zelkSimState) == kNoSimState)
            return std::nullopt;
        return std::string(zelkSimState);
    }
    return runtimeFolder + "/" + kSimStateFileName;
}

std::optional<std::string> SimStatePathFromEnvironment(const std::string& runtimeFolder) {
    return ResolveSimStatePath(std::getenv("ZELK_SIM_STATE"), runtimeFolder);
}

std::string LoadSimState(const std::string& path, sim::SimAudioSystem* audio) {
    std::string text;
    std::string error;
    switch (posix::ReadWholeFile(path, &text, &error)) {
        case posix::ReadResult::kMissing:
            return {};
        case posix::ReadResult::kFailed:
            return "the simulated PC's state is unreadable (" + error +
                   "); starting from the defaults";
        case posix::ReadResult::kRead:
            break;
    }
    const sim::PcStateLoad load = sim::ApplyPcStateText(text, audio);
    if (!load.readable) {
        return "the simulated PC's state in " + path + " is not a state file (" + load.problem +
               "); starting from the defaults, and it is replaced at the first change";
    }
    if (load.ignored != 0) {
        return "the simulated PC's state in " + path +
               " was saved on another machine: " + std::to_string(load.ignored) + " of its " +
               std::to_string(load.applied + load.ignored) +
               " entries do not apply here and keep their defaults";
    }
    return {};
}

bool SaveSimState(const std::string& path, const sim::SimAudioSystem& audio, std::string* error,
                  const posix::WriteFunction& write) {
    return posix::ReplaceWholeFile(path, sim::PcStateText(audio), error, write);
}

SimStateAutoSaver::SimStateAutoSaver(std::string path, const sim::SimAudioSystem* audio,
                                     posix::WriteFunction write)
    : path_(std::move(path)),
      write_(std::move(write)),
      saver_(audio, [this](const std::string& text, std::string* error) {
          return posix::ReplaceWholeFile(path_, text, error, write_);
      }) {}

SimStateAutoSaver::~SimStateAutoSaver() {
    Flush();
}

bool SimStateAutoSaver::Flush() {
    std::string error;
    if (saver_.SaveIfChanged(&error)) {
        reported_ = false;
        return true;
    }
    if (!reported_) {
        std::fprintf(stderr, "zelk: cannot save the simulated PC's state: %s\n", error.c_str());
        reported_ = true;
    }
    return false;
}

}  // namespace zelk::linux_worker
