#pragma once

// The simulated PC's state as text: every channel of every level control, every mute state and
// the endpoints' speaker and format properties, so that the machine outlives a worker the way a
// real PC keeps its mixer settings. Writing and reading the file is the platform's part; this is
// the text and the watching.
//
// The text is lines of words separated by single spaces:
//
//     zelk simulated PC state 1
//     endpoint render0 {1}.HDAUDIO\\FUNC_01&Ven_10ec&DEV_0899&SUBSYS_1043....&REV_1000\\4&2b3c...
//     level render0.front 0 -3
//     mute render0.master_mute 0
//     property render0 device_format blob 2800...
//     property render0 physical_speakers uint32 1599
//
// "endpoint" names the device an endpoint's entries belong to (its hardware path, with '\'
// written as "\\" and characters outside printable ASCII as "\uXXXX"). Levels are written so that
// they read back exactly. Entries are keyed by names, so that a changed machine takes what still
// applies: an entry whose endpoint is missing or is another device, whose part, control or
// channel is missing, whose level lies outside the channel's range or whose property the endpoint
// does not have with that type, is ignored.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/sim/sim_audio_system.h"

namespace zelk::sim {

// The first line of a state text; another first line is not a state.
inline constexpr char kPcStateHeader[] = "zelk simulated PC state 1";

// The machine's state, one entry per line in a stable order.
std::string PcStateText(const SimAudioSystem& audio);

struct PcStateLoad {
    // False when the text is not a whole state (another first line, a line that does not parse):
    // nothing was applied and `problem` says why, naming the line.
    bool readable = false;
    std::string problem;
    int32_t applied = 0;  // entries taken over
    int32_t ignored = 0;  // entries that do not apply to this machine
};

// Applies a state text to the machine through its model's side, all or nothing: a text that does
// not parse changes nothing.
PcStateLoad ApplyPcStateText(const std::string& text, SimAudioSystem* audio);

// Writes the machine's state whenever it changed. A burst of changes costs one write: the owner
// calls SaveIfChanged where a burst ends (the Linux worker: after every window message and at
// exit), and a write happens only when the state counter moved and the text differs from the
// one last written.
class PcStateSaver {
  public:
    // Writes a whole state text; false, with a reason, when it could not.
    using Writer = std::function<bool(const std::string& text, std::string* error)>;

    // The state at construction counts as written (it was just loaded, or is the defaults).
    PcStateSaver(const SimAudioSystem* audio, Writer writer);

    // True when nothing needed writing or the write succeeded; after a failed write the next
    // call tries again.
    bool SaveIfChanged(std::string* error);
    // Writes that succeeded.
    int64_t writes() const { return writes_; }

  private:
    const SimAudioSystem* audio_;
    Writer writer_;
    uint64_t seenChanges_;
    std::string written_;
    int64_t writes_ = 0;
};

}  // namespace zelk::sim
