#pragma once

// The simulated machine's audio endpoints and the codec behind them, as the endpoint control sees
// them through CoreAudio. Built from endpoint designs (sim_codec_builder.h). Besides the platform
// interface it offers the model's side: the codec's levels and mute states, the endpoints'
// properties, the live references of every kind of object, the fault rules, and the acoustic
// paths the room model needs.
//
// Thread safety: the platform objects may be used from any thread; the codec's state is guarded
// by one lock, so the room model may read the paths from device threads while the dialog thread
// changes levels.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/core_audio.h"
#include "platform/sim/sim_codec_design.h"
#include "platform/sim/sim_context.h"
#include "platform/sim/sim_endpoint.h"
#include "platform/sim/sim_faults.h"

namespace zelk::sim {

class SimAudioSystem final : public CoreAudio {
  public:
    // Endpoints of each direction are named "render<i>" and "capture<i>" in the order given and
    // all are active.
    explicit SimAudioSystem(const std::vector<EndpointDesign>& endpoints);
    ~SimAudioSystem() override;
    SimAudioSystem(const SimAudioSystem&) = delete;
    SimAudioSystem& operator=(const SimAudioSystem&) = delete;

    // CoreAudio. CreateDeviceEnumerator is the call ("system", "CreateDeviceEnumerator").
    void InitializeThread() override {}
    Status CreateDeviceEnumerator(Ref<AudioDeviceEnumerator>* enumerator) override;

    SimFaults& Faults() { return context_.faults; }
    // Grows with every change of a level, a mute state or a property value (sim_context.h).
    uint64_t StateChanges() const { return context_.stateChanges.load(); }

    // Live references of one kind, and of all kinds together.
    int64_t LiveRefs(SimKind kind) const { return context_.refs.Live(kind); }
    int64_t TotalLiveRefs() const { return context_.refs.TotalLive(); }
    // Releases that found no reference to give back (any of them is a fault of the caller).
    int64_t OverReleases() const { return context_.refs.TotalOverReleases(); }
    // References held on the objects of a kind with the given name (e.g. "render0.front").
    uint32_t RefsOf(const std::string& name, SimKind kind) const;
    // "name (kind) = n" for every object still referenced, for a test's failure message.
    std::vector<std::string> HeldObjects() const;

    int32_t EndpointCount(DataFlow flow) const;
    SimEndpoint* Endpoint(DataFlow flow, int32_t index) const;  // null when out of range
    PropertyValue EndpointProperty(DataFlow flow, int32_t index, const PropertyKey& key) const;
    void SetEndpointProperty(DataFlow flow, int32_t index, const PropertyKey& key,
                             const PropertyValue& value);

    // A part of the codec by its full name ("render0.front", "capture0.boost"), or null.
    SimPart* FindPart(const std::string& name) const;
    // Level and mute state of a part's controls, changed and read without counting a call.
    // False when the part, its control or the channel does not exist.
    bool PartChannel(const std::string& part, uint32_t channel, ChannelDesign* design) const;
    bool SetPartChannel(const std::string& part, uint32_t channel, const ChannelDesign& design);
    bool PartLevel(const std::string& part, uint32_t channel, float* levelDb) const;
    bool SetPartLevel(const std::string& part, uint32_t channel, float levelDb);
    bool PartMuted(const std::string& part, bool* muted) const;
    bool SetPartMuted(const std::string& part, bool muted);

    // Gain in dB from the render stream of endpoint `endpointIndex` (index in the active render
    // collection) to speaker channel 0..7 (front left, front right, rear left, rear right,
    // subwoofer, center, side left, side right): the speaker's channel level plus the master
    // channel of its side (left for 0, 2, 4, 5, 6; right for 1, 3, 7). False when the path is
    // silent: the master mute is set, or the speaker has no level control in this topology.
    bool RenderPathDb(int32_t endpointIndex, int32_t speakerChannel, float* db) const;
    // Gain in dB of the microphone path of capture endpoint `endpointIndex`: microphone gain plus
    // boost, channel 0. False when the microphone mute is set.
    bool CapturePathDb(int32_t endpointIndex, float* db) const;
    // The channel mask of the render endpoint's device format (the speaker layout): an extensible
    // format's own mask, a plain format's default for its channel count. Every speaker
    // (CodecLevels::kEverySpeaker) when the endpoint has no device format.
    uint32_t RenderLayoutMask(int32_t endpointIndex) const;
    // Gain in dB from mixer input `input` (parts in<input>_mute and in<input>_volume) to speaker
    // channel 0 or 1: the input volume's channel of that side (a one-channel volume serves both)
    // plus the master of that side. False when the input's mute or the master mute is set, or the
    // endpoint has neither part; an input with a mute and no volume passes at 0 dB.
    bool MixerPathDb(int32_t endpointIndex, int32_t input, int32_t speakerChannel, float* db) const;
    // Index of the first active endpoint whose hardware path names the codec, or -1.
    int32_t FindRenderEndpoint(uint16_t vendorId, uint16_t deviceId) const;
    int32_t FindCaptureEndpoint(uint16_t vendorId, uint16_t deviceId) const;

  private:
    int32_t FindEndpoint(DataFlow flow, uint16_t vendorId, uint16_t deviceId) const;
    static size_t FlowIndex(DataFlow flow) { return flow == DataFlow::kRender ? 0 : 1; }

    SimContext context_;  // first: outlives every object below
    std::vector<std::unique_ptr<SimEndpoint>> endpoints_[2];
    std::unique_ptr<SimCollection> collections_[2];
    std::unique_ptr<SimEnumerator> enumerator_;
};

}  // namespace zelk::sim
