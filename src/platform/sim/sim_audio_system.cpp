#include "platform/sim/sim_audio_system.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/sim/room.h"
#include "platform/wave_format.h"

namespace zelk::sim {

namespace {

struct SpeakerPath {
    const char* part;
    uint32_t channel;
    uint32_t masterChannel;
};

// Speaker channels 0..7 and the slot parts and channels that serve them.
constexpr SpeakerPath kSpeakerPaths[8] = {
    {kPartFront, 0, 0},     {kPartFront, 1, 1},  {kPartRear, 0, 0}, {kPartRear, 1, 1},
    {kPartSubwoofer, 0, 0}, {kPartCenter, 0, 0}, {kPartSide, 0, 0}, {kPartSide, 1, 1},
};

std::u16string CodecMatchText(uint16_t vendorId, uint16_t deviceId) {
    char text[32];
    std::snprintf(text, sizeof(text), "VEN_%04X&DEV_%04X", static_cast<unsigned>(vendorId),
                  static_cast<unsigned>(deviceId));
    std::u16string result;
    for (const char* c = text; *c != '\0'; ++c)
        result.push_back(static_cast<char16_t>(*c));
    return result;
}

std::u16string UpperCased(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return text;
}

}  // namespace

SimAudioSystem::SimAudioSystem(const std::vector<EndpointDesign>& endpoints) {
    collections_[0] = std::make_unique<SimCollection>(&context_, "render.collection");
    collections_[1] = std::make_unique<SimCollection>(&context_, "capture.collection");
    for (const EndpointDesign& design : endpoints) {
        size_t flow = FlowIndex(design.flow);
        std::string name =
            (flow == 0 ? "render" : "capture") + std::to_string(endpoints_[flow].size());
        endpoints_[flow].push_back(std::make_unique<SimEndpoint>(&context_, name, design));
        collections_[flow]->Append(endpoints_[flow].back().get());
    }
    enumerator_ =
        std::make_unique<SimEnumerator>(&context_, collections_[0].get(), collections_[1].get());
}

SimAudioSystem::~SimAudioSystem() = default;

Status SimAudioSystem::CreateDeviceEnumerator(Ref<AudioDeviceEnumerator>* enumerator) {
    if (enumerator == nullptr)
        return kPointer;
    *enumerator = nullptr;
    if (Status status = context_.faults.Check("system", "CreateDeviceEnumerator"); Failed(status))
        return status;
    *enumerator = Ref<AudioDeviceEnumerator>::Share(enumerator_.get());
    return kOk;
}

uint32_t SimAudioSystem::RefsOf(const std::string& name, SimKind kind) const {
    uint32_t refs = 0;
    for (const SimObject* object : context_.objects) {
        if (object->kind() == kind && object->name() == name)
            refs += object->refs();
    }
    return refs;
}

std::vector<std::string> SimAudioSystem::HeldObjects() const {
    std::vector<std::string> held;
    for (const SimObject* object : context_.objects) {
        if (object->refs() != 0) {
            held.push_back(object->name() + " (" + SimKindName(object->kind()) +
                           ") = " + std::to_string(object->refs()));
        }
    }
    return held;
}

int32_t SimAudioSystem::EndpointCount(DataFlow flow) const {
    return static_cast<int32_t>(endpoints_[FlowIndex(flow)].size());
}

SimEndpoint* SimAudioSystem::Endpoint(DataFlow flow, int32_t index) const {
    const auto& endpoints = endpoints_[FlowIndex(flow)];
    if (index < 0 || static_cast<size_t>(index) >= endpoints.size())
        return nullptr;
    return endpoints[static_cast<size_t>(index)].get();
}

PropertyValue SimAudioSystem::EndpointProperty(DataFlow flow, int32_t index,
                                               const PropertyKey& key) const {
    SimEndpoint* endpoint = Endpoint(flow, index);
    return endpoint != nullptr ? endpoint->Property(key) : PropertyValue{};
}

void SimAudioSystem::SetEndpointProperty(DataFlow flow, int32_t index, const PropertyKey& key,
                                         const PropertyValue& value) {
    if (SimEndpoint* endpoint = Endpoint(flow, index))
        endpoint->ChangeProperty(key, value);
}

SimPart* SimAudioSystem::FindPart(const std::string& name) const {
    size_t dot = name.find('.');
    if (dot == std::string::npos)
        return nullptr;
    std::string owner = name.substr(0, dot);
    for (const auto& endpoints : endpoints_) {
        for (const auto& endpoint : endpoints) {
            if (endpoint->name() == owner)
                return endpoint->topology().FindPart(name.substr(dot + 1));
        }
    }
    return nullptr;
}

bool SimAudioSystem::PartChannel(const std::string& part, uint32_t channel,
                                 ChannelDesign* design) const {
    SimPart* found = FindPart(part);
    return found != nullptr && found->level() != nullptr && design != nullptr &&
           found->level()->ReadChannel(channel, design);
}

bool SimAudioSystem::SetPartChannel(const std::string& part, uint32_t channel,
                                    const ChannelDesign& design) {
    SimPart* found = FindPart(part);
    return found != nullptr && found->level() != nullptr &&
           found->level()->ChangeChannel(channel, design);
}

bool SimAudioSystem::PartLevel(const std::string& part, uint32_t channel, float* levelDb) const {
    ChannelDesign design;
    if (levelDb == nullptr || !PartChannel(part, channel, &design))
        return false;
    *levelDb = design.levelDb;
    return true;
}

bool SimAudioSystem::SetPartLevel(const std::string& part, uint32_t channel, float levelDb) {
    ChannelDesign design;
    if (!PartChannel(part, channel, &design))
        return false;
    design.levelDb = levelDb;
    return SetPartChannel(part, channel, design);
}

bool SimAudioSystem::PartMuted(const std::string& part, bool* muted) const {
    SimPart* found = FindPart(part);
    if (found == nullptr || found->mute() == nullptr || muted == nullptr)
        return false;
    *muted = found->mute()->Muted();
    return true;
}

bool SimAudioSystem::SetPartMuted(const std::string& part, bool muted) {
    SimPart* found = FindPart(part);
    if (found == nullptr || found->mute() == nullptr)
        return false;
    found->mute()->ChangeMuted(muted);
    return true;
}

bool SimAudioSystem::RenderPathDb(int32_t endpointIndex, int32_t speakerChannel, float* db) const {
    SimEndpoint* endpoint = Endpoint(DataFlow::kRender, endpointIndex);
    if (endpoint == nullptr || db == nullptr || speakerChannel < 0 || speakerChannel > 7)
        return false;
    const SpeakerPath& path = kSpeakerPaths[speakerChannel];
    const SimTopology& topology = endpoint->topology();
    SimPart* speaker = topology.FindPart(path.part);
    SimPart* master = topology.FindPart(kPartMaster);
    SimPart* masterMute = topology.FindPart(kPartMasterMute);

    std::lock_guard lock(context_.state);
    if (masterMute != nullptr && masterMute->mute() != nullptr && masterMute->mute()->MutedLocked())
        return false;
    ChannelDesign speakerLevel;
    if (speaker == nullptr || speaker->level() == nullptr ||
        !speaker->level()->ReadChannelLocked(path.channel, &speakerLevel))
        return false;
    float total = speakerLevel.levelDb;
    if (master != nullptr && master->level() != nullptr) {
        // A one-channel master serves both sides.
        ChannelDesign masterLevel;
        if (master->level()->ReadChannelLocked(path.masterChannel, &masterLevel) ||
            master->level()->ReadChannelLocked(0, &masterLevel))
            total += masterLevel.levelDb;
    }
    *db = total;
    return true;
}

uint32_t SimAudioSystem::RenderLayoutMask(int32_t endpointIndex) const {
    SimEndpoint* endpoint = Endpoint(DataFlow::kRender, endpointIndex);
    if (endpoint == nullptr)
        return CodecLevels::kEverySpeaker;
    std::lock_guard lock(context_.state);
    const PropertyValue* value = endpoint->FindPropertyLocked(kKeyDeviceFormat);
    if (value == nullptr || value->type != PropertyValue::Type::kBlob ||
        value->blob.size() < offsetof(WaveFormatExtensible, cbSize))
        return CodecLevels::kEverySpeaker;
    // A shorter format leaves the rest zero; an extensible one cut before its mask counts as
    // plain.
    WaveFormatExtensible format;
    std::memcpy(&format, value->blob.data(), std::min(value->blob.size(), sizeof(format)));
    if (format.wFormatTag == kWaveFormatExtensible &&
        value->blob.size() < offsetof(WaveFormatExtensible, SubFormat))
        format.wFormatTag = kWaveFormatPcm;
    return Room::ChannelMaskOf(format);
}

bool SimAudioSystem::MixerPathDb(int32_t endpointIndex, int32_t input, int32_t speakerChannel,
                                 float* db) const {
    SimEndpoint* endpoint = Endpoint(DataFlow::kRender, endpointIndex);
    if (endpoint == nullptr || db == nullptr || input < 0 || speakerChannel < 0 ||
        speakerChannel > 1)
        return false;
    // The parts' names, built without allocating: the room asks at every step.
    char muteName[24];
    char volumeName[24];
    std::snprintf(muteName, sizeof(muteName), "in%d_mute", static_cast<int>(input));
    std::snprintf(volumeName, sizeof(volumeName), "in%d_volume", static_cast<int>(input));
    const SimTopology& topology = endpoint->topology();
    SimPart* mute = topology.FindPart(muteName);
    SimPart* volume = topology.FindPart(volumeName);
    SimPart* master = topology.FindPart(kPartMaster);
    SimPart* masterMute = topology.FindPart(kPartMasterMute);
    if (mute == nullptr && volume == nullptr)
        return false;

    std::lock_guard lock(context_.state);
    if (masterMute != nullptr && masterMute->mute() != nullptr && masterMute->mute()->MutedLocked())
        return false;
    if (mute != nullptr && mute->mute() != nullptr && mute->mute()->MutedLocked())
        return false;
    const auto side = static_cast<uint32_t>(speakerChannel);
    float total = 0.0f;
    ChannelDesign level;
    if (volume != nullptr && volume->level() != nullptr &&
        (volume->level()->ReadChannelLocked(side, &level) ||
         volume->level()->ReadChannelLocked(0, &level)))
        total += level.levelDb;
    if (master != nullptr && master->level() != nullptr &&
        (master->level()->ReadChannelLocked(side, &level) ||
         master->level()->ReadChannelLocked(0, &level)))
        total += level.levelDb;
    *db = total;
    return true;
}

bool SimAudioSystem::CapturePathDb(int32_t endpointIndex, float* db) const {
    SimEndpoint* endpoint = Endpoint(DataFlow::kCapture, endpointIndex);
    if (endpoint == nullptr || db == nullptr)
        return false;
    const SimTopology& topology = endpoint->topology();
    SimPart* mute = topology.FindPart(kPartMicMute);
    SimPart* gains[2] = {topology.FindPart(kPartMicVolume), topology.FindPart(kPartBoost)};

    std::lock_guard lock(context_.state);
    if (mute != nullptr && mute->mute() != nullptr && mute->mute()->MutedLocked())
        return false;
    float total = 0.0f;
    for (SimPart* gain : gains) {
        ChannelDesign level;
        if (gain != nullptr && gain->level() != nullptr &&
            gain->level()->ReadChannelLocked(0, &level))
            total += level.levelDb;
    }
    *db = total;
    return true;
}

int32_t SimAudioSystem::FindRenderEndpoint(uint16_t vendorId, uint16_t deviceId) const {
    return FindEndpoint(DataFlow::kRender, vendorId, deviceId);
}

int32_t SimAudioSystem::FindCaptureEndpoint(uint16_t vendorId, uint16_t deviceId) const {
    return FindEndpoint(DataFlow::kCapture, vendorId, deviceId);
}

int32_t SimAudioSystem::FindEndpoint(DataFlow flow, uint16_t vendorId, uint16_t deviceId) const {
    std::u16string match = CodecMatchText(vendorId, deviceId);
    const auto& endpoints = endpoints_[FlowIndex(flow)];
    for (size_t i = 0; i < endpoints.size(); ++i) {
        PropertyValue path = endpoints[i]->Property(kKeyHardwarePath);
        if (path.type == PropertyValue::Type::kText &&
            UpperCased(path.text).find(match) != std::u16string::npos)
            return static_cast<int32_t>(i);
    }
    return -1;
}

}  // namespace zelk::sim
