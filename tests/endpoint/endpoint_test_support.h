#pragma once

// Helpers shared by the endpoint tests: what the records hold, in the simulated codec's names, and
// the references still held on the simulated objects.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "endpoint/endpoint_control.h"
#include "platform/sim/sim_audio_system.h"
#include "platform/sim/sim_codec_builder.h"

namespace zelk::test {

inline constexpr Status kInjected = static_cast<Status>(0x8007001Fu);

// The full name of the part whose control (level or mute, as `controlOf` picks it) each slot of
// a record holds, "" for an empty slot and "?" for a control no part owns.
template <class Control, class ControlOf>
std::vector<std::string> SlotParts(const sim::SimAudioSystem& system,
                                   const Ref<Control> (&slots)[kPartSlots], ControlOf controlOf) {
    std::vector<std::string> names(kPartSlots);
    for (int32_t slot = 0; slot < kPartSlots; ++slot) {
        Control* control = slots[slot].Get();
        if (control == nullptr)
            continue;
        const std::string* owner = nullptr;
        for (DataFlow flow : {DataFlow::kRender, DataFlow::kCapture}) {
            for (int32_t i = 0; i < system.EndpointCount(flow); ++i) {
                for (const auto& part : system.Endpoint(flow, i)->topology().parts()) {
                    auto* owned = controlOf(*part);
                    if (owned != nullptr && static_cast<Control*>(owned) == control)
                        owner = &part->name();
                }
            }
        }
        // Built, not assigned from a literal: GCC 12 misreads that assignment at -O2 and warns.
        names[static_cast<size_t>(slot)] = owner != nullptr ? *owner : std::string(1, '?');
    }
    return names;
}

inline std::vector<std::string> LevelSlotParts(const sim::SimAudioSystem& system,
                                               const EndpointRecord& record) {
    return SlotParts(system, record.levelControl, [](const auto& part) { return part.level(); });
}

inline std::vector<std::string> MuteSlotParts(const sim::SimAudioSystem& system,
                                              const EndpointRecord& record) {
    return SlotParts(system, record.muteControl, [](const auto& part) { return part.mute(); });
}

// Builds the 16 slot names from (slot, name) pairs; every other slot is empty.
inline std::vector<std::string> Slots(
    std::initializer_list<std::pair<int32_t, std::string>> filled) {
    std::vector<std::string> names(kPartSlots);
    for (const auto& [slot, name] : filled)
        names[static_cast<size_t>(slot)] = name;
    return names;
}

// Controls held by all records of the control.
inline int64_t SlotsHeld(const EndpointControl& control) {
    int64_t held = 0;
    for (DataFlow flow : {DataFlow::kRender, DataFlow::kCapture}) {
        for (int32_t index = 0; index < kMaxEndpointRecords; ++index) {
            const EndpointRecord& record = control.Record(flow, index);
            for (int32_t slot = 0; slot < kPartSlots; ++slot)
                held += (record.levelControl[slot] ? 1 : 0) + (record.muteControl[slot] ? 1 : 0);
        }
    }
    return held;
}

// Controls held by records beyond the filled ones (left over from a skipped endpoint).
inline int64_t StraySlots(const EndpointControl& control) {
    int64_t held = 0;
    for (DataFlow flow : {DataFlow::kRender, DataFlow::kCapture}) {
        for (int32_t index = control.RecordCount(flow); index < kMaxEndpointRecords; ++index) {
            const EndpointRecord& record = control.Record(flow, index);
            for (int32_t slot = 0; slot < kPartSlots; ++slot)
                held += (record.levelControl[slot] ? 1 : 0) + (record.muteControl[slot] ? 1 : 0);
        }
    }
    return held;
}

// References on everything below the endpoint collections.
inline int64_t EndpointSideRefs(const sim::SimAudioSystem& system) {
    using sim::SimKind;
    int64_t refs = 0;
    for (SimKind kind :
         {SimKind::kEndpoint, SimKind::kPropertyStore, SimKind::kTopology, SimKind::kConnector,
          SimKind::kPart, SimKind::kPartsList, SimKind::kVolumeLevel, SimKind::kMute})
        refs += system.LiveRefs(kind);
    return refs;
}

inline std::string HeldText(const sim::SimAudioSystem& system) {
    std::string text;
    for (const std::string& held : system.HeldObjects())
        text += held + "; ";
    return text.empty() ? "nothing held" : text;
}

inline std::string Narrow(const char16_t* text) {
    std::string result;
    for (; *text != u'\0'; ++text)
        result.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return result;
}

}  // namespace zelk::test
