#pragma once

// The results file: the measured levels of a run, kept as percentages of the level scale so that
// one band can be applied to the codec again without measuring.

#include <cstdint>

#include "engine/calibration_context.h"
#include "platform/status.h"
#include "platform/windowing.h"

namespace zelk {

// Writes the run's results into "\Qalto.ini" of the current directory: "qaltoOK" and the level
// keys as percentages of the level scale. 0 when every key was written, negative otherwise
// (also when the directory is too long for the file's path).
int32_t WriteResultsFile(CalibrationContext* context);

// Sets one band (0 Low, 1 Medium, 2 High) of the stored results on the codec's render levels.
// The levels read are also kept in the context's tables. 0 on success, 0x80004005 when there are
// no stored results or the codec cannot be reached.
Status ApplyStoredResults(CalibrationContext* context, WindowHandle window, uint16_t vendorId,
                          uint16_t deviceId, int32_t band);

}  // namespace zelk
