#pragma once

// The simulated PC's state file on Linux: where it is, loading it at start and saving it,
// atomically, whenever the state changed.
//
// The file is $ZELK_SIM_STATE when set and not empty, else "<runtime folder>/sim-state";
// ZELK_SIM_STATE=none keeps no state (every start from the defaults). Deleting the file resets the
// machine to its defaults at the next start.

#include <optional>
#include <string>

#include "platform/posix/whole_file.h"
#include "platform/sim/pc_state.h"
#include "platform/sim/sim_audio_system.h"

namespace zelk::linux_worker {

// The value of ZELK_SIM_STATE that turns the state file off.
inline constexpr char kNoSimState[] = "none";
// The state file's name in the runtime folder.
inline constexpr char kSimStateFileName[] = "sim-state";

// The file for a value of ZELK_SIM_STATE (null or empty when unset); nothing when it is "none".
std::optional<std::string> ResolveSimStatePath(const char* zelkSimState,
                                               const std::string& runtimeFolder);
std::optional<std::string> SimStatePathFromEnvironment(const std::string& runtimeFolder);

// Loads the file into the machine. A missing file is the defaults and gives no message; a file
// that cannot be read or is not a state leaves the defaults and gives a message for the user, as
// does one with entries that do not apply to this machine. Empty when all went well.
std::string LoadSimState(const std::string& path, sim::SimAudioSystem* audio);

// Replaces the file with the machine's state atomically (whole_file.h): a write that fails leaves
// the previous file as it was. `write` stands for write(2) in a test.
bool SaveSimState(const std::string& path, const sim::SimAudioSystem& audio, std::string* error,
                  const posix::WriteFunction& write = nullptr);

// Saves the machine's state to the file whenever it changed: Flush where a burst of changes ends,
// and once more on destruction. A failed write is reported on stderr once until a write succeeds.
class SimStateAutoSaver {
  public:
    SimStateAutoSaver(std::string path, const sim::SimAudioSystem* audio,
                      posix::WriteFunction write = nullptr);
    ~SimStateAutoSaver();
    SimStateAutoSaver(const SimStateAutoSaver&) = delete;
    SimStateAutoSaver& operator=(const SimStateAutoSaver&) = delete;

    bool Flush();
    int64_t writes() const { return saver_.writes(); }

  private:
    std::string path_;
    posix::WriteFunction write_;
    sim::PcStateSaver saver_;
    bool reported_ = false;
};

}  // namespace zelk::linux_worker
