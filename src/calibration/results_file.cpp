#include "calibration/results_file.h"

namespace zelk {

// Storing results is not available in this build: nothing is written and nothing is applied.
int32_t WriteResultsFile(CalibrationContext* context) {
    (void)context;
    return kFail;
}

Status ApplyStoredResults(CalibrationContext* context, WindowHandle window, uint16_t vendorId,
                          uint16_t deviceId, int32_t band) {
    (void)context;
    (void)window;
    (void)vendorId;
    (void)deviceId;
    (void)band;
    return kFail;
}

}  // namespace zelk
