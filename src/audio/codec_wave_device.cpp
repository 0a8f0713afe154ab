#include "audio/codec_wave_device.h"

#include <cstdio>

namespace zelk {
namespace {

char16_t Upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

}  // namespace

std::u16string CodecIdentifierText(uint16_t vendorId, uint16_t deviceId) {
    char narrow[32];
    std::snprintf(narrow, sizeof narrow, "ven_%04x&dev_%04x", static_cast<unsigned>(vendorId),
                  static_cast<unsigned>(deviceId));
    std::u16string text;
    for (const char* p = narrow; *p != '\0'; ++p)
        text.push_back(Upper(static_cast<char16_t>(*p)));
    return text;
}

bool InterfaceNameContains(const char16_t* name, size_t length, const std::u16string& text) {
    std::u16string upper;
    for (size_t i = 0; i < length && name[i] != u'\0'; ++i)
        upper.push_back(Upper(name[i]));
    return upper.find(text) != std::u16string::npos;
}

}  // namespace zelk
