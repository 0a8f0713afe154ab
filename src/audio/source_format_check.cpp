#include "audio/source_format_check.h"

namespace zelk {

Status CheckSourceFormat(const WaveFormatExtensible& format) {
    if (format.nChannels == 0 || format.nSamplesPerSec == 0 || format.nAvgBytesPerSec == 0 ||
        format.nBlockAlign == 0)
        return kInvalidArg;
    if (format.cbSize > 1024 || format.cbSize < 22)
        return kInvalidArg;
    if (format.wValidBitsPerSample == 0 || format.wValidBitsPerSample > format.wBitsPerSample)
        return kInvalidArg;
    if (format.SubFormat == kSubtypePcm || format.SubFormat == kSubtypeIeeeFloat) {
        // Unsigned 32-bit arithmetic, as the device computes the rate.
        const uint32_t bytesPerSecond = static_cast<uint32_t>(format.nChannels) *
                                        format.wBitsPerSample * format.nSamplesPerSec / 8u;
        if (format.nAvgBytesPerSec != bytesPerSecond)
            return kInvalidArg;
    }
    return kOk;
}

}  // namespace zelk
