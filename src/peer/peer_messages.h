#pragma once

// The messages between the worker and its peer, the control application's window "Speaker":
// message numbers, command and reply codes, the dialog's control identifiers and the speaker masks
// with their channel counts. Shared by the worker and the peer tool; it needs nothing but the
// standard library and two headers of constants.

#include <cstdint>

#include "endpoint/codec_facts.h"
#include "platform/speaker_mask.h"

namespace zelk {

inline constexpr char WORKER_WINDOW_TITLE[] = "zelk";
inline constexpr char PEER_WINDOW_TITLE[] = "Speaker";

// Both directions: wParam a command (peer to worker) or a reply code or pass number (worker to
// peer), lParam its argument or value.
inline constexpr uint32_t WM_PEER_COMMAND = 9912;  // WM_USER + 8888
// Worker to peer: wParam a channel slot 0..7, lParam that channel's gain value.
inline constexpr uint32_t WM_PEER_CHANNEL_VALUE = 9914;  // WM_USER + 8890

// Commands (wParam of WM_PEER_COMMAND from the peer, compared unsigned).
inline constexpr uint32_t CMD_CALIBRATE = 1;
inline constexpr uint32_t CMD_CALIBRATE_CHANNEL = 2;  // lParam: channel slot 0..7
inline constexpr uint32_t CMD_QUERY_SPEAKERS = 3;
inline constexpr uint32_t CMD_APPLY_RESULTS = 4;  // lParam: 0 Medium, 1 Low, 2 High
inline constexpr uint32_t CMD_QUERY_GAINS = 5;
inline constexpr uint32_t CMD_SET_SPEAKERS = 100;   // lParam: speaker mask or channel count
inline constexpr uint32_t CMD_SELECT_CODEC = 4332;  // lParam: codec device identifier
inline constexpr uint32_t CMD_STOP = 10000;

// Replies (wParam of WM_PEER_COMMAND from the worker). Progress pairs carry the pass number 1 to
// 3 in wParam and the channel bit in lParam.
inline constexpr uint32_t PROGRESS_FIRST_PASS = 1;
inline constexpr uint32_t PROGRESS_LAST_PASS = 3;
inline constexpr uint32_t REPLY_CALIBRATED = 4;           // lParam 1
inline constexpr uint32_t REPLY_SPEAKERS = 10;            // lParam: physical-speakers mask
inline constexpr uint32_t REPLY_SPEAKERS_FAILED = 10000;  // lParam 0

// Band selectors of CMD_APPLY_RESULTS.
inline constexpr int32_t APPLY_MEDIUM = 0;
inline constexpr int32_t APPLY_LOW = 1;
inline constexpr int32_t APPLY_HIGH = 2;

// The codec the Start button selects (the peer may select any of kKnownCodecIds).
inline constexpr uint16_t START_BUTTON_DEVICE_ID = kEightChannelCodecId;

// The dialog's controls (low 16 bits of a WM_COMMAND wParam; high 16 bits 0 for a click).
inline constexpr int IDC_OK = 1;
inline constexpr int IDC_CANCEL = 2;
inline constexpr int IDC_START_BUTTON = 1001;
inline constexpr int IDC_STOP_BUTTON = 1002;
inline constexpr int IDC_BUTTON1 = 1003;

// Names of the speaker channels, which are the peer's channel slots; the channel bit of slot k is
// 1 << k.
inline constexpr const char* CHANNEL_SLOT_NAMES[kSpeakerChannels] = {
    "front left", "front right", "rear left", "rear right",
    "subwoofer",  "center",      "side left", "side right",
};

// Bits of the speaker mask.
struct SpeakerBit {
    uint32_t bit;
    const char* name;
};
inline constexpr SpeakerBit SPEAKER_BITS[] = {
    {kSpeakerFrontLeft, "front left"},     {kSpeakerFrontRight, "front right"},
    {kSpeakerFrontCenter, "front center"}, {kSpeakerLowFrequency, "low frequency"},
    {kSpeakerBackLeft, "back left"},       {kSpeakerBackRight, "back right"},
    {kSpeakerSideLeft, "side left"},       {kSpeakerSideRight, "side right"},
};

// What CMD_SET_SPEAKERS asks of the engine: a channel count and the mask for both speaker masks.
struct SpeakerRequest {
    int32_t channels;
    uint32_t mask;
};

// A known mask gives its layout, and a channel count of 2, 4, 6 or 8 that count's standard layout;
// any other value v is passed on as count v with masks v, for the engine to refuse.
constexpr SpeakerRequest TranslateSpeakerArgument(int32_t argument) {
    const uint32_t asMask = static_cast<uint32_t>(argument);
    if (const int32_t channels = ChannelCountOfMask(asMask); channels != 0)
        return {channels, asMask};
    if (const uint32_t mask = MaskOfChannelCount(argument); mask != 0)
        return {argument, mask};
    return {argument, asMask};
}

}  // namespace zelk
