#pragma once

// What all simulated audio objects of one machine share: the reference ledger, the fault rules
// and the lock over the codec's state (levels, mute states, endpoint properties).

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/sim/sim_faults.h"

namespace zelk::sim {

enum class SimKind : int32_t {
    kEnumerator,
    kCollection,
    kEndpoint,
    kPropertyStore,
    kTopology,
    kConnector,
    kPart,
    kPartsList,
    kVolumeLevel,
    kMute,
};
inline constexpr size_t kSimKindCount = 10;

const char* SimKindName(SimKind kind);

// Live references per kind of object, and the count of Releases that had nothing to release.
class SimRefLedger {
  public:
    void Added(SimKind kind) { live_[Index(kind)].fetch_add(1); }
    void Released(SimKind kind) { live_[Index(kind)].fetch_sub(1); }
    void OverReleased(SimKind kind) { overReleases_[Index(kind)].fetch_add(1); }

    int64_t Live(SimKind kind) const { return live_[Index(kind)].load(); }
    int64_t TotalLive() const {
        int64_t total = 0;
        for (const auto& count : live_)
            total += count.load();
        return total;
    }
    int64_t OverReleases(SimKind kind) const { return overReleases_[Index(kind)].load(); }
    int64_t TotalOverReleases() const {
        int64_t total = 0;
        for (const auto& count : overReleases_)
            total += count.load();
        return total;
    }

  private:
    static size_t Index(SimKind kind) { return static_cast<size_t>(kind); }

    std::array<std::atomic<int64_t>, kSimKindCount> live_{};
    std::array<std::atomic<int64_t>, kSimKindCount> overReleases_{};
};

class SimObject;

struct SimContext {
    SimRefLedger refs;
    SimFaults faults;
    // Guards the codec's levels, mute states and the endpoints' property values: the room model
    // reads them from device threads while the dialog thread changes them.
    mutable std::mutex state;
    // Every object of the machine, in the order they were made (filled while the machine is
    // built, read-only afterwards).
    std::vector<const SimObject*> objects;
    // Counts the changes of that state, through the platform interface or the model's side, so
    // that a watcher (the state file) can tell whether anything changed since it last looked
    // without a callback under the lock.
    std::atomic<uint64_t> stateChanges{0};

    void Register(const SimObject* object) { objects.push_back(object); }
    void StateChanged() { stateChanges.fetch_add(1, std::memory_order_relaxed); }
};

}  // namespace zelk::sim
