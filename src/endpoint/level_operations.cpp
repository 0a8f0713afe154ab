// Level and mute operations on the first render record and the first capture record.

#include "endpoint/endpoint_control.h"

#include <cmath>

#include "endpoint/topology_walks.h"

namespace zelk {

namespace {

constexpr int32_t kMasterSlot = 0;
constexpr float kMicrophoneGainDb = 12.0f;
constexpr float kBoostGainDb = 30.0f;
constexpr float kRaiseSteps = 20.0f;

struct SlotChannel {
    int32_t slot;
    int32_t channel;
};

// Speaker channels 0..7: front left/right, rear left/right, subwoofer, center, side left/right.
constexpr SlotChannel kSpeakerSlots[8] = {{1, 0}, {1, 1}, {2, 0}, {2, 1},
                                          {3, 0}, {4, 0}, {5, 0}, {5, 1}};

// Sets the level only when the control's live range holds it.
Status SetInRange(VolumeLevelControl* control, uint32_t channel, float level) {
    if (control == nullptr)
        return kFail;
    float minDb = 0.0f;
    float maxDb = 0.0f;
    float stepDb = 0.0f;
    Status status = control->GetLevelRange(channel, &minDb, &maxDb, &stepDb);
    if (Failed(status))
        return status;
    if (!(minDb <= level && level <= maxDb))
        return kFail;
    return control->SetLevel(channel, level);
}

float Clamped(const EndpointRecord& record, int32_t slot, int32_t channel, float level) {
    if (level > record.maxDb[slot][channel])
        return record.maxDb[slot][channel];
    if (level < record.minDb[slot][channel])
        return record.minDb[slot][channel];
    return level;
}

float Floored(const EndpointRecord& record, int32_t slot, int32_t channel, float level) {
    return level < record.minDb[slot][channel] ? record.minDb[slot][channel] : level;
}

float Capped(const EndpointRecord& record, int32_t slot, int32_t channel, float level) {
    return level > record.maxDb[slot][channel] ? record.maxDb[slot][channel] : level;
}

// Sets a slot channel and, on success, keeps the level the control then holds as the channel's
// current one: a control sets a level between two of its steps to a step. When the level cannot
// be read back, the level asked for is kept.
bool SetAndKeep(EndpointRecord& record, int32_t slot, int32_t channel, float level) {
    VolumeLevelControl* control = record.levelControl[slot].Get();
    const auto controlChannel = static_cast<uint32_t>(channel);
    if (Failed(SetInRange(control, controlChannel, level)))
        return false;
    float held = level;
    if (Succeeded(control->GetLevel(controlChannel, &held)) && !std::isnan(held))
        level = held;
    record.currentDb[slot][channel] = level;
    return true;
}

bool IsSpeakerChannel(int32_t channel) {
    return channel >= 0 && channel <= 7;
}

// Whether the slot has a level control and that control has the slot channel.
bool HasLevel(const EndpointRecord& record, SlotChannel at) {
    return record.levelControl[at.slot] && at.channel < record.channelCount[at.slot];
}

// Each channel of every slot from first to last at the level `toLevel` gives it.
template <class ToLevel>
void SetSlotLevels(EndpointRecord& record, int32_t first, int32_t last, ToLevel toLevel) {
    for (int32_t slot = first; slot <= last; ++slot) {
        if (!record.levelControl[slot])
            continue;
        for (int32_t channel = 0; channel < record.channelCount[slot]; ++channel)
            SetAndKeep(record, slot, channel, toLevel(slot, channel));
    }
}

void RestoreMutes(EndpointRecord& record, int32_t first, int32_t last) {
    for (int32_t slot = first; slot <= last; ++slot) {
        if (MuteControl* mute = record.muteControl[slot].Get())
            mute->SetMute(record.initialMute[slot] != 0);
    }
}

void RestoreLevels(EndpointRecord& record, int32_t first, int32_t last) {
    SetSlotLevels(record, first, last,
                  [&](int32_t slot, int32_t channel) { return record.initialDb[slot][channel]; });
}

}  // namespace

bool EndpointControl::SixChannelLayout() const {
    return MayBeSixChannelCodec(deviceId_) && masterInputCount_ == 9;
}

EndpointRecord* EndpointControl::RenderRecord() {
    return recordCount_[0] >= 1 ? &records_[0][0] : nullptr;
}

EndpointRecord* EndpointControl::CaptureRecord() {
    return recordCount_[1] >= 1 ? &records_[1][0] : nullptr;
}

Status EndpointControl::SetLevelInRange(VolumeLevelControl* control, uint32_t channel,
                                        float level) {
    return SetInRange(control, channel, level);
}

Status EndpointControl::SetUpMicrophone() {
    EndpointRecord* record = CaptureRecord();
    if (record == nullptr)
        return kFail;
    if (MuteControl* mute = record->muteControl[0].Get())
        mute->SetMute(false);
    const float gains[2] = {kMicrophoneGainDb, kBoostGainDb};
    for (int32_t slot = 0; slot < 2; ++slot) {
        VolumeLevelControl* level = record->levelControl[slot].Get();
        if (level == nullptr)
            continue;
        for (int32_t channel = 0; channel < record->channelCount[slot]; ++channel)
            SetInRange(level, static_cast<uint32_t>(channel), gains[slot]);
    }
    return kOk;
}

Status EndpointControl::PrepareRenderLevels(float masterLevel, float channelLevel) {
    EndpointRecord* record = RenderRecord();
    if (record == nullptr)
        return kFail;
    if (MuteControl* mute = record->muteControl[kMasterSlot].Get())
        mute->SetMute(false);
    for (int32_t slot = FirstInputSlot(); slot <= kLastMixerSlot; ++slot) {
        if (MuteControl* mute = record->muteControl[slot].Get())
            mute->SetMute(true);
    }
    // Each channel is floored with its own range.
    SetSlotLevels(*record, kMasterSlot, kMasterSlot, [&](int32_t slot, int32_t channel) {
        return Floored(*record, slot, channel, masterLevel);
    });
    SetSlotLevels(*record, 1, FirstInputSlot() - 1, [&](int32_t slot, int32_t channel) {
        return Floored(*record, slot, channel, channelLevel);
    });
    return kOk;
}

Status EndpointControl::RaiseChannelLevel(int32_t channel, float* newLevel) {
    EndpointRecord* record = RenderRecord();
    if (record == nullptr || newLevel == nullptr || !IsSpeakerChannel(channel))
        return kFail;
    const auto [slot, slotChannel] = kSpeakerSlots[channel];
    if (!HasLevel(*record, kSpeakerSlots[channel]))
        return kOk;
    const float level = Capped(
        *record, slot, slotChannel,
        record->currentDb[slot][slotChannel] + kRaiseSteps * record->stepDb[slot][slotChannel]);
    if (SetAndKeep(*record, slot, slotChannel, level))
        *newLevel = record->currentDb[slot][slotChannel];
    return kOk;
}

Status EndpointControl::GetChannelLevel(int32_t channel, float* level) {
    const EndpointRecord* record = RenderRecord();
    if (record == nullptr || level == nullptr || !IsSpeakerChannel(channel))
        return kFail;
    const auto [slot, slotChannel] = kSpeakerSlots[channel];
    if (!record->levelControl[slot])
        return kFail;
    if (slotChannel < record->channelCount[slot])
        *level = record->currentDb[slot][slotChannel];
    return kOk;
}

Status EndpointControl::SetChannelLevel(int32_t channel, float level) {
    EndpointRecord* record = RenderRecord();
    if (record == nullptr || !IsSpeakerChannel(channel))
        return kFail;
    const auto [slot, slotChannel] = kSpeakerSlots[channel];
    if (HasLevel(*record, kSpeakerSlots[channel]))
        SetAndKeep(*record, slot, slotChannel, Clamped(*record, slot, slotChannel, level));
    return kOk;
}

Status EndpointControl::GetMasterLevels(float* left, float* right) {
    const EndpointRecord* record = RenderRecord();
    if (left == nullptr || right == nullptr || record == nullptr)
        return kFail;
    *left = record->currentDb[kMasterSlot][0];
    *right = record->currentDb[kMasterSlot][1];
    return kOk;
}

Status EndpointControl::SetMasterLevels(float left, float right) {
    EndpointRecord* record = RenderRecord();
    if (record == nullptr)
        return kFail;
    if (record->levelControl[kMasterSlot]) {
        SetAndKeep(*record, kMasterSlot, 0, Clamped(*record, kMasterSlot, 0, left));
        SetAndKeep(*record, kMasterSlot, 1, Clamped(*record, kMasterSlot, 1, right));
    }
    return kOk;
}

Status EndpointControl::RestoreChannelLevel(int32_t channel) {
    EndpointRecord* record = RenderRecord();
    if (record == nullptr || !IsSpeakerChannel(channel))
        return kFail;
    const auto [slot, slotChannel] = kSpeakerSlots[channel];
    if (HasLevel(*record, kSpeakerSlots[channel]))
        SetAndKeep(*record, slot, slotChannel, record->initialDb[slot][slotChannel]);
    return kOk;
}

Status EndpointControl::RestoreMasterChannelLevel(int32_t masterChannel) {
    EndpointRecord* record = RenderRecord();
    if (record == nullptr)
        return kFail;
    if (masterChannel >= 0 && HasLevel(*record, {kMasterSlot, masterChannel}))
        SetAndKeep(*record, kMasterSlot, masterChannel,
                   record->initialDb[kMasterSlot][masterChannel]);
    return kOk;
}

void EndpointControl::RestoreInputs() {
    EndpointRecord* record = RenderRecord();
    if (record == nullptr)
        return;
    RestoreMutes(*record, FirstInputSlot(), kLastMixerSlot);
    RestoreLevels(*record, FirstInputSlot(), kLastMixerSlot);
}

void EndpointControl::RestoreMicrophone() {
    EndpointRecord* record = CaptureRecord();
    if (record == nullptr)
        return;
    RestoreMutes(*record, 0, 0);
    RestoreLevels(*record, 0, 1);
}

void EndpointControl::RestoreAll() {
    RestoreMicrophone();
    EndpointRecord* record = RenderRecord();
    if (record == nullptr)
        return;
    RestoreMutes(*record, 0, kLastMixerSlot);
    RestoreLevels(*record, 0, kLastMixerSlot);
}

int32_t EndpointControl::FirstInputSlot() const {
    return SixChannelLayout() ? 5 : 6;
}

}  // namespace zelk
