#include "endpoint/endpoint_text.h"

namespace zelk {

void FormatCodecMatchText(uint16_t vendorId, uint16_t deviceId, char16_t* text, size_t capacity) {
    constexpr char16_t kHex[] = u"0123456789ABCDEF";
    char16_t formatted[18] = u"VEN_0000&DEV_0000";
    for (int digit = 0; digit < 4; ++digit) {
        int shift = 12 - 4 * digit;
        formatted[4 + digit] = kHex[(vendorId >> shift) & 0xF];
        formatted[13 + digit] = kHex[(deviceId >> shift) & 0xF];
    }
    CopyText(text, capacity, std::u16string_view(formatted, 17));
}

void UpperCaseText(char16_t* text) {
    if (text == nullptr)
        return;
    for (; *text != u'\0'; ++text) {
        if (*text >= u'a' && *text <= u'z')
            *text = static_cast<char16_t>(*text - u'a' + u'A');
    }
}

bool ContainsText(const char16_t* text, const char16_t* part) {
    if (text == nullptr || part == nullptr)
        return false;
    return std::u16string_view(text).find(std::u16string_view(part)) != std::u16string_view::npos;
}

void CopyText(char16_t* text, size_t capacity, std::u16string_view source) {
    if (text == nullptr || capacity == 0)
        return;
    size_t length = source.size() < capacity - 1 ? source.size() : capacity - 1;
    for (size_t i = 0; i < length; ++i)
        text[i] = source[i];
    text[length] = u'\0';
}

}  // namespace zelk
