#pragma once

// The usual shapes of the codec's endpoints, edits that turn them into the shapes that must not
// match or must fail, and the builder of a simulated machine's audio system.
//
// Render, eight-channel: the endpoint's connector (data flow In) is connected to the codec's
// speaker connector; behind it, on the incoming side, a mute part ("master_mute"), then the master
// volume ("master"), whose incoming list has n entries: the last five are the Front, Rear,
// Subwoofer, Center and Side volumes (entries n-1 to n-5), the earlier ones mixer inputs, each a
// mute part ("in<e>_mute") followed by a volume part ("in<e>_volume").
// Render, six-channel: the same with n = 9, four channel volumes (entries 8 to 5) and the mixer
// inputs in entries 4 to 1; entry 0 is a Connector ("in0").
// Capture: the endpoint's connector (data flow Out) is connected to the codec's microphone
// connector; behind it, on the outgoing side, "mic_volume", "mic_mute" and "boost".

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/guid.h"
#include "platform/sim/sim_audio_system.h"
#include "platform/sim/sim_codec_design.h"

namespace zelk::sim {

inline constexpr uint16_t kSimCodecVendor = 0x10EC;
inline constexpr uint16_t kSimDefaultCodec = 0x0899;

// The endpoint's hardware-path text naming the codec, in mixed case
// ("HDAUDIO\FUNC_01&Ven_10ec&DEV_0899&SUBSYS_...").
std::u16string CodecHardwarePath(uint16_t vendorId, uint16_t deviceId);

// Speakers of the eight-channel shape with `mixerEntries` entries (n) in the master volume's
// incoming list; the last min(n, 5) are channel volumes. 7.1 speaker masks (0x63F) and a device
// format of 48000 Hz, 16 bits, 8 channels.
EndpointDesign EightChannelRender(uint16_t vendorId, uint16_t deviceId, int32_t mixerEntries = 12);
// Speakers of the six-channel shape (n = 9); 5.1 masks (0x3F), 6-channel device format.
EndpointDesign SixChannelRender(uint16_t vendorId, uint16_t deviceId);
// The codec's microphone; device format 48000 Hz, 16 bits, 2 channels.
EndpointDesign MicrophoneCapture(uint16_t vendorId, uint16_t deviceId);
// The speakers of a codec of vendor 0x10EC in its usual shape: six-channel for 0x0662,
// eight-channel with n = 12 otherwise (0x0892 comes in either shape; pick one explicitly).
EndpointDesign CodecRender(uint16_t deviceId);

// Edits of a design, for the shapes that must not match or must fail. Each returns false when the
// named part does not exist.
void SetConnectorFlow(EndpointDesign* design, ConnectorFlow flow);
void SetConnectedSubType(EndpointDesign* design, const Guid& subType);
bool MakeConnector(EndpointDesign* design, const std::string& part);   // a Connector stands there
bool RemoveControls(EndpointDesign* design, const std::string& part);  // neither level nor mute
bool RemoveLevel(EndpointDesign* design, const std::string& part);
bool RemoveMute(EndpointDesign* design, const std::string& part);
// Gives the part's level control `channels` channels (more are copies of its last channel).
bool SetChannelCount(EndpointDesign* design, const std::string& part, uint32_t channels);
bool SetChannel(EndpointDesign* design, const std::string& part, uint32_t channel,
                const ChannelDesign& value);

class SimAudioSystemBuilder {
  public:
    SimAudioSystemBuilder& Add(EndpointDesign design);
    // The codec's speakers (CodecRender) and its microphone.
    SimAudioSystemBuilder& AddCodec(uint16_t deviceId);

    std::vector<EndpointDesign>& designs() { return designs_; }
    std::unique_ptr<SimAudioSystem> Build() const;

  private:
    std::vector<EndpointDesign> designs_;
};

// The default PC: codec 0x10EC:0x0899 with eight-channel speakers (7.1) and one microphone.
SimAudioSystemBuilder DefaultPcBuilder();
std::unique_ptr<SimAudioSystem> BuildDefaultPc();

}  // namespace zelk::sim
