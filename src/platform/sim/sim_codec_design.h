#pragma once

// The description of one simulated endpoint and the part of the codec's topology behind it, from
// which a SimAudioSystem is built. sim_codec_builder.h makes the usual shapes; a test edits them
// to make the shapes that must not match or must fail.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/core_audio.h"
#include "platform/guid.h"

namespace zelk::sim {

// Names of the parts the usual shapes give the codec (sim_codec_builder.h); the room model finds a
// speaker's or the microphone's controls by them.
inline constexpr const char* kPartSpeaker = "speaker";
inline constexpr const char* kPartMasterMute = "master_mute";
inline constexpr const char* kPartMaster = "master";
inline constexpr const char* kPartFront = "front";
inline constexpr const char* kPartRear = "rear";
inline constexpr const char* kPartSubwoofer = "subwoofer";
inline constexpr const char* kPartCenter = "center";
inline constexpr const char* kPartSide = "side";
inline constexpr const char* kPartMicrophone = "microphone";
inline constexpr const char* kPartMicVolume = "mic_volume";
inline constexpr const char* kPartMicMute = "mic_mute";
inline constexpr const char* kPartBoost = "boost";

// One channel of a volume-level control: its range and stepping, and its level at start (dB).
struct ChannelDesign {
    float minDb = -46.5f;
    float maxDb = 0.0f;
    float stepDb = 1.5f;
    float levelDb = 0.0f;
};

// A part of the codec's topology. A Subunit may carry a volume-level control (one entry of
// `level` per channel; none when empty) and a mute control. A Connector carries no control.
struct PartDesign {
    std::string name;  // unique within its endpoint, e.g. "front" or "in3_mute"
    PartType type = PartType::kSubunit;
    Guid subType;
    std::vector<ChannelDesign> level;
    bool hasMute = false;
    bool muted = false;
};

// An entry of the master volume's incoming list, with the part that follows it on its incoming
// side (a mixer input's volume behind its mute), if any.
struct MixerEntryDesign {
    PartDesign part;
    std::optional<PartDesign> next;
};

struct EndpointDesign {
    DataFlow flow = DataFlow::kRender;
    std::u16string id;
    std::u16string friendlyName;
    std::u16string description;
    std::u16string hardwarePath;
    // Further property values of the endpoint (speaker masks, formats). A key may appear once.
    std::vector<std::pair<PropertyKey, PropertyValue>> properties;

    // Whether opening the endpoint's property store for writing is refused with E_ACCESSDENIED
    // (0x80070005), as for a process without the right to change endpoint properties.
    bool propertyWritesDenied = false;

    // Data flow of the endpoint's connector 0.
    ConnectorFlow connectorFlow = ConnectorFlow::kIn;
    // Whether that connector is connected to the codec's connector (GetConnectedTo fails if not).
    bool connected = true;
    // The codec's connector the endpoint's connector is connected to (a speaker or microphone).
    PartDesign codecConnector;
    // The parts behind the codec's connector, each entry 0 of the previous one's list of
    // neighbours: incoming parts for render endpoints, outgoing parts for capture endpoints.
    std::vector<PartDesign> path;
    // Render: the incoming list of the last part of `path` (the master volume), entry 0 first.
    std::vector<MixerEntryDesign> mixerEntries;
};

// The part of an endpoint design with the given name (the codec connector, a path part, a mixer
// entry or the part behind one), or null.
PartDesign* FindPart(EndpointDesign* design, const std::string& name);

}  // namespace zelk::sim
