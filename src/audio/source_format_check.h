#pragma once

#include "platform/status.h"
#include "platform/wave_format.h"

namespace zelk {

// Judges whether an extensible format is consistent enough to be played: kOk or kInvalidArg.
Status CheckSourceFormat(const WaveFormatExtensible& format);

}  // namespace zelk
