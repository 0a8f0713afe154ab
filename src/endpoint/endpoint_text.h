#pragma once

// The few operations on UTF-16 texts of fixed capacity that finding the codec's endpoints needs.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zelk {

// "VEN_%04X&DEV_%04X" of the codec's identifiers (upper-case hexadecimal), truncated to capacity
// units with the terminator.
void FormatCodecMatchText(uint16_t vendorId, uint16_t deviceId, char16_t* text, size_t capacity);

// Upper-cases the letters a to z in place, up to the terminator.
void UpperCaseText(char16_t* text);

// Whether part occurs in text (both terminated); an empty part occurs everywhere.
bool ContainsText(const char16_t* text, const char16_t* part);

// Copies source into text, truncated to capacity units including the terminator; nothing is
// written when capacity is 0.
void CopyText(char16_t* text, size_t capacity, std::u16string_view source);

}  // namespace zelk
