#pragma once

// The three walks that follow an endpoint's device topology into the codec and keep the volume
// level and mute controls of fixed parts in fixed part slots, and the reading of those controls'
// channels, ranges and current values.
//
// Render part slots: 0 Master (mute and level), 1 Front, 2 Rear, 3 Subwoofer, 4 Center, 5 Side
// (eight-channel) or the first mixer input (six-channel), then mixer inputs (mute and level) up to
// slot 12 (eight-channel) or 8 (six-channel). Capture: level slot 0 the microphone gain, mute slot
// 0 the microphone mute, level slot 1 the boost.

#include <cstdint>

#include "endpoint/endpoint_enumerator.h"
#include "endpoint/endpoint_record.h"
#include "platform/core_audio.h"
#include "platform/ref.h"
#include "platform/status.h"

namespace zelk {

// The last render part slot a walk fills (the eight-channel topology's last mixer input).
inline constexpr int32_t kLastMixerSlot = 12;

// levelControls and muteControls are a record's arrays of kPartSlots entries. A walk's failure
// is the failing platform call's status, 0x88890003 for a connector of the wrong data flow, or
// 0x80004005; on failure the slots may hold what the walk collected before it failed.
Status WalkEightChannelTopology(EndpointEnumerator* enumerator, int32_t endpointIndex,
                                Ref<VolumeLevelControl>* levelControls,
                                Ref<MuteControl>* muteControls, int32_t* masterInputCount);
Status WalkSixChannelTopology(EndpointEnumerator* enumerator, int32_t endpointIndex,
                              Ref<VolumeLevelControl>* levelControls,
                              Ref<MuteControl>* muteControls, int32_t* masterInputCount);
Status WalkMicrophoneTopology(EndpointEnumerator* enumerator, int32_t endpointIndex,
                              Ref<VolumeLevelControl>* levelControls,
                              Ref<MuteControl>* muteControls);

// Reads each slot's channel count (the leading channels, at most 8, whose range and level can be
// read), ranges, stepping and current level, which become the current and the initial levels, and
// each mute control's state.
void ReadPartLevels(EndpointRecord* record);

}  // namespace zelk
