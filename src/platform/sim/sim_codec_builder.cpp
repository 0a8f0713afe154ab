#include "platform/sim/sim_codec_builder.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/wave_format.h"

namespace zelk::sim {

namespace {

std::u16string Widen(const char* text) {
    std::u16string result;
    for (const char* c = text; *c != '\0'; ++c)
        result.push_back(static_cast<char16_t>(static_cast<unsigned char>(*c)));
    return result;
}

PropertyValue Number(uint32_t value) {
    PropertyValue property;
    property.type = PropertyValue::Type::kUInt32;
    property.number = value;
    return property;
}

PropertyValue FormatBlob(uint16_t channels, uint16_t bits, bool isFloat, uint32_t mask) {
    const WaveFormatExtensible format =
        ExtensibleFormat(channels, 48000, bits, mask, isFloat ? kSubtypeIeeeFloat : kSubtypePcm);
    PropertyValue property;
    property.type = PropertyValue::Type::kBlob;
    property.blob.resize(sizeof(format));
    std::memcpy(property.blob.data(), &format, sizeof(format));
    return property;
}

PartDesign Volume(std::string name, std::vector<ChannelDesign> channels) {
    PartDesign part;
    part.name = std::move(name);
    part.level = std::move(channels);
    return part;
}

PartDesign Mute(std::string name, bool muted) {
    PartDesign part;
    part.name = std::move(name);
    part.hasMute = true;
    part.muted = muted;
    return part;
}

// Output amplifiers: -46.5 to 0 dB in steps of 1.5 dB.
ChannelDesign OutputChannel(float levelDb) {
    return ChannelDesign{-46.5f, 0.0f, 1.5f, levelDb};
}

// Mixer-input amplifiers: -34.5 to +12 dB in steps of 1.5 dB.
ChannelDesign InputChannel(float levelDb) {
    return ChannelDesign{-34.5f, 12.0f, 1.5f, levelDb};
}

// A mixer input of the master volume's list: its mute, and its volume behind it.
MixerEntryDesign MixerInput(int32_t entry) {
    std::string prefix = "in" + std::to_string(entry);
    float level = -1.5f * static_cast<float>(entry);
    MixerEntryDesign design;
    design.part = Mute(prefix + "_mute", entry % 2 == 0);
    design.next = Volume(prefix + "_volume", {InputChannel(level), InputChannel(level - 1.5f)});
    return design;
}

EndpointDesign RenderBase(uint16_t vendorId, uint16_t deviceId, uint16_t channels, uint32_t mask) {
    EndpointDesign design;
    design.flow = DataFlow::kRender;
    char id[64];
    std::snprintf(id, sizeof(id), "{0.0.0.00000000}.{5c1a%04x-%04x-4d2e-9b1f-0a7e3c5d6f01}",
                  static_cast<unsigned>(vendorId), static_cast<unsigned>(deviceId));
    design.id = Widen(id);
    design.friendlyName = u"Speakers (Onboard HD Audio)";
    design.description = u"Speakers";
    design.hardwarePath = CodecHardwarePath(vendorId, deviceId);
    design.properties = {
        {kKeyPhysicalSpeakers, Number(mask)},
        {kKeyFullRangeSpeakers, Number(mask)},
        {kKeyDeviceFormat, FormatBlob(channels, 16, false, mask)},
        {kKeyOemFormat, FormatBlob(channels, 32, true, mask)},
    };
    design.connectorFlow = ConnectorFlow::kIn;
    design.codecConnector.name = kPartSpeaker;
    design.codecConnector.type = PartType::kConnector;
    design.codecConnector.subType = kNodeTypeSpeaker;
    design.path = {
        Mute(kPartMasterMute, false),
        Volume(kPartMaster, {OutputChannel(-6.0f), OutputChannel(-7.5f)}),
    };
    return design;
}

// The channel volumes from the end of the master volume's list backwards.
std::vector<PartDesign> ChannelVolumes() {
    return {
        Volume(kPartFront, {OutputChannel(-3.0f), OutputChannel(-4.5f)}),
        Volume(kPartRear, {OutputChannel(-9.0f), OutputChannel(-10.5f)}),
        Volume(kPartSubwoofer, {OutputChannel(-12.0f)}),
        Volume(kPartCenter, {OutputChannel(-13.5f)}),
        Volume(kPartSide, {OutputChannel(-15.0f), OutputChannel(-16.5f)}),
    };
}

}  // namespace

std::u16string CodecHardwarePath(uint16_t vendorId, uint16_t deviceId) {
    char path[128];
    std::snprintf(
        path, sizeof(path),
        "{1}.HDAUDIO\\FUNC_01&Ven_%04x&DEV_%04X&SUBSYS_1043%04x&REV_1000\\4&2b3c5d1e&0&0001",
        static_cast<unsigned>(vendorId), static_cast<unsigned>(deviceId),
        static_cast<unsigned>(deviceId ^ 0x8f3au));
    return Widen(path);
}

EndpointDesign EightChannelRender(uint16_t vendorId, uint16_t deviceId, int32_t mixerEntries) {
    EndpointDesign design = RenderBase(vendorId, deviceId, 8, 0x63F);
    std::vector<PartDesign> volumes = ChannelVolumes();
    int32_t channelEntries = mixerEntries < 5 ? mixerEntries : 5;
    for (int32_t entry = 0; entry < mixerEntries - channelEntries; ++entry)
        design.mixerEntries.push_back(MixerInput(entry));
    for (int32_t k = channelEntries; k >= 1; --k)
        design.mixerEntries.push_back(MixerEntryDesign{volumes[static_cast<size_t>(k - 1)], {}});
    return design;
}

EndpointDesign SixChannelRender(uint16_t vendorId, uint16_t deviceId) {
    EndpointDesign design = RenderBase(vendorId, deviceId, 6, 0x3F);
    PartDesign pin;
    pin.name = "in0";
    pin.type = PartType::kConnector;
    design.mixerEntries.push_back(MixerEntryDesign{pin, {}});
    for (int32_t entry = 1; entry <= 4; ++entry)
        design.mixerEntries.push_back(MixerInput(entry));
    std::vector<PartDesign> volumes = ChannelVolumes();
    for (size_t k = 4; k >= 1; --k)
        design.mixerEntries.push_back(MixerEntryDesign{volumes[k - 1], {}});
    return design;
}

EndpointDesign MicrophoneCapture(uint16_t vendorId, uint16_t deviceId) {
    EndpointDesign design;
    design.flow = DataFlow::kCapture;
    char id[64];
    std::snprintf(id, sizeof(id), "{0.0.1.00000000}.{7e2b%04x-%04x-4a61-8c3d-1f5e9a0b2c47}",
                  static_cast<unsigned>(vendorId), static_cast<unsigned>(deviceId));
    design.id = Widen(id);
    design.friendlyName = u"Microphone (Onboard HD Audio)";
    design.description = u"Microphone";
    design.hardwarePath = CodecHardwarePath(vendorId, deviceId);
    design.properties = {{kKeyDeviceFormat, FormatBlob(2, 16, false, 0x3)}};
    design.connectorFlow = ConnectorFlow::kOut;
    design.codecConnector.name = kPartMicrophone;
    design.codecConnector.type = PartType::kConnector;
    design.codecConnector.subType = kNodeTypeMicrophone;
    // Microphone gain: -17.25 to +30 dB in 0.75 dB steps; boost: 0 to 30 dB in 10 dB steps.
    design.path = {
        Volume(kPartMicVolume, {ChannelDesign{-17.25f, 30.0f, 0.75f, 0.0f},
                                ChannelDesign{-17.25f, 30.0f, 0.75f, 0.0f}}),
        Mute(kPartMicMute, false),
        Volume(kPartBoost, {ChannelDesign{0.0f, 30.0f, 10.0f, 10.0f},
                            ChannelDesign{0.0f, 30.0f, 10.0f, 10.0f}}),
    };
    return design;
}

EndpointDesign CodecRender(uint16_t deviceId) {
    if (deviceId == 0x0662)
        return SixChannelRender(kSimCodecVendor, deviceId);
    return EightChannelRender(kSimCodecVendor, deviceId, 12);
}

PartDesign* FindPart(EndpointDesign* design, const std::string& name) {
    if (design == nullptr)
        return nullptr;
    if (design->codecConnector.name == name)
        return &design->codecConnector;
    for (PartDesign& part : design->path) {
        if (part.name == name)
            return &part;
    }
    for (MixerEntryDesign& entry : design->mixerEntries) {
        if (entry.part.name == name)
            return &entry.part;
        if (entry.next && entry.next->name == name)
            return &*entry.next;
    }
    return nullptr;
}

void SetConnectorFlow(EndpointDesign* design, ConnectorFlow flow) {
    design->connectorFlow = flow;
}

void SetConnectedSubType(EndpointDesign* design, const Guid& subType) {
    design->codecConnector.subType = subType;
}

bool MakeConnector(EndpointDesign* design, const std::string& part) {
    PartDesign* found = FindPart(design, part);
    if (found == nullptr)
        return false;
    found->type = PartType::kConnector;
    return true;
}

bool RemoveControls(EndpointDesign* design, const std::string& part) {
    return RemoveLevel(design, part) && RemoveMute(design, part);
}

bool RemoveLevel(EndpointDesign* design, const std::string& part) {
    PartDesign* found = FindPart(design, part);
    if (found == nullptr)
        return false;
    found->level.clear();
    return true;
}

bool RemoveMute(EndpointDesign* design, const std::string& part) {
    PartDesign* found = FindPart(design, part);
    if (found == nullptr)
        return false;
    found->hasMute = false;
    return true;
}

bool SetChannelCount(EndpointDesign* design, const std::string& part, uint32_t channels) {
    PartDesign* found = FindPart(design, part);
    if (found == nullptr)
        return false;
    ChannelDesign last = found->level.empty() ? ChannelDesign{} : found->level.back();
    found->level.resize(channels, last);
    return true;
}

bool SetChannel(EndpointDesign* design, const std::string& part, uint32_t channel,
                const ChannelDesign& value) {
    PartDesign* found = FindPart(design, part);
    if (found == nullptr || channel >= found->level.size())
        return false;
    found->level[channel] = value;
    return true;
}

SimAudioSystemBuilder& SimAudioSystemBuilder::Add(EndpointDesign design) {
    designs_.push_back(std::move(design));
    return *this;
}

SimAudioSystemBuilder& SimAudioSystemBuilder::AddCodec(uint16_t deviceId) {
    Add(CodecRender(deviceId));
    return Add(MicrophoneCapture(kSimCodecVendor, deviceId));
}

std::unique_ptr<SimAudioSystem> SimAudioSystemBuilder::Build() const {
    return std::make_unique<SimAudioSystem>(designs_);
}

SimAudioSystemBuilder DefaultPcBuilder() {
    SimAudioSystemBuilder builder;
    builder.AddCodec(kSimDefaultCodec);
    return builder;
}

std::unique_ptr<SimAudioSystem> BuildDefaultPc() {
    return DefaultPcBuilder().Build();
}

}  // namespace zelk::sim
