#pragma once

#include "speaker_command_line.h"

namespace speaker {

// Carries out the command line's command and returns the process's exit code.
int RunSpeaker(const Options& options);

}  // namespace speaker
