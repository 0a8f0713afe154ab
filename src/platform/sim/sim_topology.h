#pragma once

// The simulated device topology behind one endpoint: its connector, the codec's connector it is
// connected to, and the codec's parts with their volume-level and mute controls. Levels and mute
// states change under the machine's state lock.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core_audio.h"
#include "platform/sim/sim_codec_design.h"
#include "platform/sim/sim_context.h"
#include "platform/sim/sim_ref_counted.h"

namespace zelk::sim {

// The level a channel holds after SetLevel(levelDb), as the platform's volume-level controls do
// it: a level below the minimum holds the minimum, above the maximum the maximum; a level between
// two steps holds the nearer of them, a tie going to the upper one. The steps are minDb + n ×
// stepDb counted from the minimum, and the maximum is the top step also where the range is no whole
// number of steps. A channel without stepping (stepDb ≤ 0) holds any level of its range as it is,
// and not a number holds the minimum.
float HeldLevel(const ChannelDesign& channel, float levelDb);

class SimVolumeLevel final : public SimRefCounted<VolumeLevelControl> {
  public:
    SimVolumeLevel(SimContext* context, std::string name, std::vector<ChannelDesign> channels);

    Status GetLevelRange(uint32_t channel, float* minDb, float* maxDb, float* stepDb) override;
    Status GetLevel(uint32_t channel, float* levelDb) override;
    // The channel holds HeldLevel(levelDb): clamped to its range and set to a step; the call
    // succeeds. Only a channel the control does not have is refused, with E_INVALIDARG.
    Status SetLevel(uint32_t channel, float levelDb) override;

    // The model's side: no call is counted and no fault applies.
    uint32_t ChannelCount() const;
    bool ReadChannel(uint32_t channel, ChannelDesign* design) const;
    bool ChangeChannel(uint32_t channel, const ChannelDesign& design);
    // The same read for a caller that already holds the machine's state lock.
    bool ReadChannelLocked(uint32_t channel, ChannelDesign* design) const;

  private:
    std::vector<ChannelDesign> channels_;  // guarded by the machine's state lock
};

class SimMute final : public SimRefCounted<MuteControl> {
  public:
    SimMute(SimContext* context, std::string name, bool muted);

    Status GetMute(bool* muted) override;
    Status SetMute(bool muted) override;

    bool Muted() const;
    void ChangeMuted(bool muted);
    // For a caller that already holds the machine's state lock.
    bool MutedLocked() const { return muted_; }

  private:
    bool muted_;  // guarded by the machine's state lock
};

class SimPart;

class SimPartsList final : public SimRefCounted<PartsList> {
  public:
    SimPartsList(SimContext* context, std::string name);

    Status GetCount(uint32_t* count) override;
    Status GetPart(uint32_t index, Ref<Part>* part) override;

    void Append(SimPart* part) { entries_.push_back(part); }

  private:
    std::vector<SimPart*> entries_;  // fixed once the machine is built
};

class SimPart final : public SimRefCounted<Part> {
  public:
    SimPart(SimContext* context, const std::string& name, const PartDesign& design);

    Status GetSubType(Guid* subType) override;
    Status GetPartType(PartType* type) override;
    Status EnumPartsIncoming(Ref<PartsList>* parts) override;
    Status EnumPartsOutgoing(Ref<PartsList>* parts) override;
    Status ActivateVolumeLevel(Ref<VolumeLevelControl>* control) override;
    Status ActivateMute(Ref<MuteControl>* control) override;

    SimPartsList& incoming() { return incoming_; }
    SimPartsList& outgoing() { return outgoing_; }
    SimVolumeLevel* level() const { return level_.get(); }
    SimMute* mute() const { return mute_.get(); }

  private:
    PartType type_;
    Guid subType_;
    SimPartsList incoming_;
    SimPartsList outgoing_;
    std::unique_ptr<SimVolumeLevel> level_;
    std::unique_ptr<SimMute> mute_;
};

class SimConnector final : public SimRefCounted<Connector> {
  public:
    // The connector's part view is `part`, which the connector does not own.
    SimConnector(SimContext* context, const std::string& name, ConnectorFlow flow, SimPart* part);

    Status GetDataFlow(ConnectorFlow* flow) override;
    Status GetConnectedTo(Ref<Connector>* other) override;
    Status AsPart(Ref<Part>* part) override;

    void ConnectTo(SimConnector* other) { connectedTo_ = other; }

  private:
    ConnectorFlow flow_;
    SimPart* part_;
    SimConnector* connectedTo_ = nullptr;
};

// An endpoint's device topology. It owns the whole path it leads to: the endpoint's connector,
// the codec's connector and the codec's parts behind it.
class SimTopology final : public SimRefCounted<DeviceTopology> {
  public:
    // Builds the parts of `design`, naming each "<prefix>.<part name>".
    SimTopology(SimContext* context, const std::string& prefix, const EndpointDesign& design);

    Status GetConnector(uint32_t index, Ref<Connector>* connector) override;

    // The part named "<prefix>.<name>", or null.
    SimPart* FindPart(std::string_view name) const;
    const std::vector<std::unique_ptr<SimPart>>& parts() const { return parts_; }
    const std::vector<std::unique_ptr<SimConnector>>& connectors() const { return connectors_; }

  private:
    SimPart* AddPart(const PartDesign& design);

    std::string prefix_;
    std::vector<std::unique_ptr<SimPart>> parts_;
    std::vector<std::unique_ptr<SimConnector>> connectors_;  // [0] the endpoint's, [1] the codec's
};

}  // namespace zelk::sim
