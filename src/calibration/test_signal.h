#pragma once

// The test-signal step of a pass: a sine tone on every stream channel with every level at the
// floor (a measuring pass), or the run's WAV file with the calibrated Medium levels applied (the
// playback pass).

#include "engine/calibration_context.h"
#include "platform/status.h"

namespace zelk {

// A frequency above 0 starts a measuring pass, any other value the playback pass. Returns 0 when
// the player started, else 0x80004005.
Status StartTestSignal(CalibrationContext* context, double frequency);

}  // namespace zelk
