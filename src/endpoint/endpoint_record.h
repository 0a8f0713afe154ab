#pragma once

#include <cstdint>

#include "platform/core_audio.h"
#include "platform/ref.h"
#include "platform/wave_format.h"

namespace zelk {

inline constexpr int32_t kMaxEndpointRecords = 16;
inline constexpr int32_t kPartSlots = 16;
inline constexpr int32_t kSlotChannels = 8;
inline constexpr int32_t kTextLength = 260;

// What Open learned about one matching endpoint, and the controls its topology walk kept.
struct EndpointRecord {
    int32_t deviceIndex = 0;
    char16_t endpointId[kTextLength] = {};
    char16_t friendlyName[kTextLength] = {};
    char16_t description[kTextLength] = {};
    uint32_t physicalSpeakers = 0;
    uint32_t fullRangeSpeakers = 0;
    WaveFormatExtensible deviceFormat;
    Ref<VolumeLevelControl> levelControl[kPartSlots];
    Ref<MuteControl> muteControl[kPartSlots];
    int32_t channelCount[kPartSlots] = {};
    float minDb[kPartSlots][kSlotChannels] = {};
    float maxDb[kPartSlots][kSlotChannels] = {};
    float stepDb[kPartSlots][kSlotChannels] = {};
    float currentDb[kPartSlots][kSlotChannels] = {};
    float initialDb[kPartSlots][kSlotChannels] = {};
    int32_t initialMute[kPartSlots] = {};
};

}  // namespace zelk
