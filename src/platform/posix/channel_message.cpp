#include "platform/posix/channel_message.h"

namespace zelk::posix {

namespace {

void PutLe32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetLe32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

}  // namespace

void EncodeChannelMessage(const ChannelMessage& message, uint8_t (&bytes)[kChannelMessageSize]) {
    PutLe32(bytes, message.message);
    PutLe32(bytes + 4, message.wParam);
    PutLe32(bytes + 8, static_cast<uint32_t>(message.lParam));
}

bool DecodeChannelMessage(const uint8_t* bytes, size_t size, ChannelMessage* message) {
    if (bytes == nullptr || message == nullptr || size != kChannelMessageSize)
        return false;
    message->message = GetLe32(bytes);
    message->wParam = GetLe32(bytes + 4);
    message->lParam = static_cast<int32_t>(GetLe32(bytes + 8));
    return true;
}

}  // namespace zelk::posix
