#include "endpoint/topology_walks.h"

#include <cstdint>
#include <utility>

namespace zelk {

namespace {

enum class Side { kIncoming, kOutgoing };

// A call that reports success but hands back nothing counts as a failure. The reference is read
// only here, after the call that fills it has returned.
template <class T>
Status Checked(Status status, const Ref<T>& result) {
    if (Failed(status))
        return status;
    return result ? status : kFail;
}

// The codec's part the endpoint's connector 0 is connected to, checked for the data flow and the
// subtype the walk expects.
Status OpenCodecPart(EndpointEnumerator* enumerator, DataFlow flow, int32_t endpointIndex,
                     const Guid& subType, Ref<Part>* codecPart) {
    if (enumerator == nullptr)
        return kFail;
    Ref<AudioEndpoint> endpoint;
    Status status = Checked(enumerator->GetEndpoint(flow, endpointIndex, &endpoint), endpoint);
    if (Failed(status))
        return status;
    Ref<DeviceTopology> topology;
    status = Checked(endpoint->ActivateTopology(&topology), topology);
    if (Failed(status))
        return status;
    Ref<Connector> connector;
    status = Checked(topology->GetConnector(0, &connector), connector);
    if (Failed(status))
        return status;
    ConnectorFlow connectorFlow = ConnectorFlow::kIn;
    status = connector->GetDataFlow(&connectorFlow);
    if (Failed(status))
        return status;
    ConnectorFlow expected = flow == DataFlow::kRender ? ConnectorFlow::kIn : ConnectorFlow::kOut;
    if (connectorFlow != expected)
        return kWrongEndpointType;
    Ref<Connector> codecConnector;
    status = Checked(connector->GetConnectedTo(&codecConnector), codecConnector);
    if (Failed(status))
        return status;
    Ref<Part> part;
    status = Checked(codecConnector->AsPart(&part), part);
    if (Failed(status))
        return status;
    Guid partSubType;
    status = part->GetSubType(&partSubType);
    if (Failed(status))
        return status;
    if (!(partSubType == subType))
        return kFail;
    *codecPart = part;
    return kOk;
}

Status GetEntry(PartsList* list, int32_t index, Ref<Part>* part) {
    return Checked(list->GetPart(static_cast<uint32_t>(index), part), *part);
}

// kOk for a Subunit, kFalse for a Connector (the walk ends there), or the failure.
Status KindOf(Part* part) {
    PartType type = PartType::kConnector;
    Status status = part->GetPartType(&type);
    if (Failed(status))
        return status;
    return type == PartType::kSubunit ? kOk : kFalse;
}

// Entry 0 of the part's neighbours on one side: kOk with the part for a Subunit, kFalse for a
// Connector, or the failure.
Status StepToNext(Part* current, Side side, Ref<Part>* next) {
    Ref<PartsList> list;
    Status status = side == Side::kIncoming ? current->EnumPartsIncoming(&list)
                                            : current->EnumPartsOutgoing(&list);
    status = Checked(status, list);
    if (Failed(status))
        return status;
    status = GetEntry(list.Get(), 0, next);
    if (Failed(status))
        return status;
    return KindOf(next->Get());
}

// The part's control of the slot's kind goes to the slot; a part without it leaves the slot empty.
void Take(Part* part, Ref<VolumeLevelControl>* slot) {
    if (Failed(part->ActivateVolumeLevel(slot)))
        slot->Reset();
}

void Take(Part* part, Ref<MuteControl>* slot) {
    if (Failed(part->ActivateMute(slot)))
        slot->Reset();
}

// Steps from *part to the next part on side, which becomes *part, and takes its control into slot.
// kOk, kFalse for a Connector (the walk ends there), or the failure.
template <class Control>
Status StepAndTake(Ref<Part>* part, Side side, Ref<Control>* slot) {
    Ref<Part> next;
    Status status = StepToNext(part->Get(), side, &next);
    if (status != kOk)
        return status;
    Take(next.Get(), slot);
    *part = std::move(next);
    return kOk;
}

// A Connector met on the way (kFalse) ends the walk with success; a failure ends it with itself.
Status WalkEnd(Status status) {
    return status == kFalse ? kOk : status;
}

// A channel volume, entry index of the master node's incoming list: its level control goes to
// slot. kOk for a Subunit, kFalse for a Connector, or the failure.
Status TakeChannelVolume(PartsList* inputs, int32_t index, Ref<VolumeLevelControl>* slot) {
    Ref<Part> entry;
    Status status = GetEntry(inputs, index, &entry);
    if (Failed(status))
        return status;
    status = KindOf(entry.Get());
    if (status != kOk)
        return status;
    Take(entry.Get(), slot);
    return kOk;
}

// A mixer input: the entry's mute control goes to mute, the level control of the part after it
// (entry 0 of its incoming list) to level. kOk, kFalse for a Connector on the way, or the failure.
Status TakeMixerInput(Ref<Part> entry, Ref<MuteControl>* mute, Ref<VolumeLevelControl>* level) {
    Status status = KindOf(entry.Get());
    if (status != kOk)
        return status;
    Take(entry.Get(), mute);
    return StepAndTake(&entry, Side::kIncoming, level);
}

// The common part of both render walks: master mute and master volume, and the master volume's
// incoming list with its count stored. kFalse when a Connector ended the walk early.
Status WalkToMaster(EndpointEnumerator* enumerator, int32_t endpointIndex,
                    Ref<VolumeLevelControl>* levelControls, Ref<MuteControl>* muteControls,
                    int32_t* masterInputCount, Ref<PartsList>* inputs, int32_t* count) {
    if (levelControls == nullptr || muteControls == nullptr || masterInputCount == nullptr)
        return kFail;
    for (int32_t slot = 0; slot <= kLastMixerSlot; ++slot)
        levelControls[slot].Reset();
    muteControls[0].Reset();

    // From the speaker connector to the master mute, then to the master volume.
    Ref<Part> part;
    Status status =
        OpenCodecPart(enumerator, DataFlow::kRender, endpointIndex, kNodeTypeSpeaker, &part);
    if (Failed(status))
        return status;
    status = StepAndTake(&part, Side::kIncoming, &muteControls[0]);
    if (status != kOk)
        return status;
    status = StepAndTake(&part, Side::kIncoming, &levelControls[0]);
    if (status != kOk)
        return status;

    status = Checked(part->EnumPartsIncoming(inputs), *inputs);
    if (Failed(status))
        return status;
    uint32_t entries = 0;
    status = (*inputs)->GetCount(&entries);
    if (Failed(status))
        return status;
    *count = entries > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(entries);
    *masterInputCount = *count;
    return kOk;
}

}  // namespace

Status WalkEightChannelTopology(EndpointEnumerator* enumerator, int32_t endpointIndex,
                                Ref<VolumeLevelControl>* levelControls,
                                Ref<MuteControl>* muteControls, int32_t* masterInputCount) {
    Ref<PartsList> inputs;
    int32_t n = 0;
    Status status = WalkToMaster(enumerator, endpointIndex, levelControls, muteControls,
                                 masterInputCount, &inputs, &n);
    if (status != kOk)
        return WalkEnd(status);
    if (n < 7)
        return kFail;

    // Front, Rear, Subwoofer, Center and Side are the last five entries.
    for (int32_t k = 1; k <= 5; ++k) {
        status = TakeChannelVolume(inputs.Get(), n - k, &levelControls[k]);
        if (status != kOk)
            return WalkEnd(status);
    }

    Ref<Part> entry;
    status = GetEntry(inputs.Get(), n - 6, &entry);
    if (Failed(status))
        return status;
    // The mixer inputs: whatever goes wrong from here on ends the walk with what it has.
    for (int32_t k = 6; k <= kLastMixerSlot; ++k) {
        if (k > 6) {
            if (n - k < 0)
                return kOk;
            entry.Reset();
            if (Failed(GetEntry(inputs.Get(), n - k, &entry)))
                return kOk;
        }
        if (TakeMixerInput(entry, &muteControls[k], &levelControls[k]) != kOk)
            return kOk;
    }
    return kOk;
}

Status WalkSixChannelTopology(EndpointEnumerator* enumerator, int32_t endpointIndex,
                              Ref<VolumeLevelControl>* levelControls,
                              Ref<MuteControl>* muteControls, int32_t* masterInputCount) {
    Ref<PartsList> inputs;
    int32_t n = 0;
    Status status = WalkToMaster(enumerator, endpointIndex, levelControls, muteControls,
                                 masterInputCount, &inputs, &n);
    if (status != kOk)
        return WalkEnd(status);
    if (n != 9)
        return kFail;

    // Front, Rear, Subwoofer and Center are entries 8 to 5.
    for (int32_t slot = 1; slot <= 4; ++slot) {
        status = TakeChannelVolume(inputs.Get(), 9 - slot, &levelControls[slot]);
        if (status != kOk)
            return WalkEnd(status);
    }
    // The mixer inputs are entries 4 to 1.
    for (int32_t slot = 5; slot <= 8; ++slot) {
        Ref<Part> entry;
        status = GetEntry(inputs.Get(), 9 - slot, &entry);
        if (Failed(status))
            return status;
        status = TakeMixerInput(entry, &muteControls[slot], &levelControls[slot]);
        if (status != kOk)
            return WalkEnd(status);
    }
    return kOk;
}

Status WalkMicrophoneTopology(EndpointEnumerator* enumerator, int32_t endpointIndex,
                              Ref<VolumeLevelControl>* levelControls,
                              Ref<MuteControl>* muteControls) {
    if (levelControls == nullptr || muteControls == nullptr)
        return kFail;
    levelControls[0].Reset();
    levelControls[1].Reset();
    muteControls[0].Reset();

    // From the microphone connector to the gain, the mute and the boost.
    Ref<Part> part;
    Status status =
        OpenCodecPart(enumerator, DataFlow::kCapture, endpointIndex, kNodeTypeMicrophone, &part);
    if (Failed(status))
        return status;
    status = StepAndTake(&part, Side::kOutgoing, &levelControls[0]);
    if (status == kOk)
        status = StepAndTake(&part, Side::kOutgoing, &muteControls[0]);
    if (status == kOk)
        status = StepAndTake(&part, Side::kOutgoing, &levelControls[1]);
    return WalkEnd(status);
}

void ReadPartLevels(EndpointRecord* record) {
    if (record == nullptr)
        return;
    for (int32_t slot = 0; slot < kPartSlots; ++slot) {
        record->channelCount[slot] = 0;
        if (VolumeLevelControl* level = record->levelControl[slot].Get()) {
            for (int32_t channel = 0; channel < kSlotChannels; ++channel) {
                auto ch = static_cast<uint32_t>(channel);
                float minDb = 0.0f;
                float maxDb = 0.0f;
                float stepDb = 0.0f;
                if (Failed(level->GetLevelRange(ch, &minDb, &maxDb, &stepDb)))
                    break;
                record->minDb[slot][channel] = minDb;
                record->maxDb[slot][channel] = maxDb;
                record->stepDb[slot][channel] = stepDb;
                float currentDb = 0.0f;
                if (Failed(level->GetLevel(ch, &currentDb)))
                    break;
                record->currentDb[slot][channel] = currentDb;
                record->initialDb[slot][channel] = currentDb;
                ++record->channelCount[slot];
            }
        }
        if (MuteControl* mute = record->muteControl[slot].Get()) {
            bool muted = false;
            if (Succeeded(mute->GetMute(&muted)))
                record->initialMute[slot] = muted ? 1 : 0;
        }
    }
}

}  // namespace zelk
