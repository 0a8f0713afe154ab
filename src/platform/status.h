#pragma once

#include <cstdint>

namespace zelk {

// A 32-bit result in the platform's convention: zero or positive is success, negative is failure.
// Platform failures pass through with their own values.
using Status = int32_t;

inline constexpr Status kOk = 0;
inline constexpr Status kFalse = 1;
inline constexpr Status kFail = static_cast<Status>(0x80004005u);
inline constexpr Status kPointer = static_cast<Status>(0x80004003u);
inline constexpr Status kNoInterface = static_cast<Status>(0x80004002u);
inline constexpr Status kNotImplemented = static_cast<Status>(0x80004001u);
inline constexpr Status kAccessDenied = static_cast<Status>(0x80070005u);
inline constexpr Status kInvalidArg = static_cast<Status>(0x80070057u);
inline constexpr Status kOutOfMemory = static_cast<Status>(0x8007000Eu);
inline constexpr Status kNotFound = static_cast<Status>(0x80070490u);
inline constexpr Status kWrongEndpointType = static_cast<Status>(0x88890003u);
inline constexpr Status kUnsupportedFormat = static_cast<Status>(0x88890008u);

constexpr bool Succeeded(Status status) {
    return status >= 0;
}
constexpr bool Failed(Status status) {
    return status < 0;
}

}  // namespace zelk
