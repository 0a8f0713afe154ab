#include "platform/sim/sim_topology.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <utility>

namespace zelk::sim {

float HeldLevel(const ChannelDesign& channel, float levelDb) {
    const double minDb = channel.minDb;
    const double maxDb = channel.maxDb;
    const double stepDb = channel.stepDb;
    // Not a number holds the minimum; a range without stepping holds any level of it.
    const double level = std::isnan(levelDb) ? minDb : static_cast<double>(levelDb);
    if (level <= minDb)
        return channel.minDb;
    if (level >= maxDb)
        return channel.maxDb;
    if (!(stepDb > 0.0))
        return static_cast<float>(level);
    // The steps either side; the maximum is the top step when the range is no whole number of
    // steps.
    const double below = minDb + std::floor((level - minDb) / stepDb) * stepDb;
    const double above = std::min(below + stepDb, maxDb);
    return static_cast<float>(level - below >= above - level ? above : below);
}

SimVolumeLevel::SimVolumeLevel(SimContext* context, std::string name,
                               std::vector<ChannelDesign> channels)
    : SimRefCounted(context, SimKind::kVolumeLevel, std::move(name)),
      channels_(std::move(channels)) {
    // A control holds only the levels it can: a design's level at start as well.
    for (ChannelDesign& channel : channels_)
        channel.levelDb = HeldLevel(channel, channel.levelDb);
}

Status SimVolumeLevel::GetLevelRange(uint32_t channel, float* minDb, float* maxDb, float* stepDb) {
    if (Status status = Enter("GetLevelRange"); Failed(status))
        return status;
    if (minDb == nullptr || maxDb == nullptr || stepDb == nullptr)
        return kPointer;
    std::lock_guard lock(context()->state);
    if (channel >= channels_.size())
        return kInvalidArg;
    *minDb = channels_[channel].minDb;
    *maxDb = channels_[channel].maxDb;
    *stepDb = channels_[channel].stepDb;
    return kOk;
}

Status SimVolumeLevel::GetLevel(uint32_t channel, float* levelDb) {
    if (Status status = Enter("GetLevel"); Failed(status))
        return status;
    if (levelDb == nullptr)
        return kPointer;
    std::lock_guard lock(context()->state);
    if (channel >= channels_.size())
        return kInvalidArg;
    *levelDb = channels_[channel].levelDb;
    return kOk;
}

Status SimVolumeLevel::SetLevel(uint32_t channel, float levelDb) {
    if (Status status = Enter("SetLevel"); Failed(status))
        return status;
    std::lock_guard lock(context()->state);
    if (channel >= channels_.size())
        return kInvalidArg;
    ChannelDesign& design = channels_[channel];
    design.levelDb = HeldLevel(design, levelDb);
    context()->StateChanged();
    return kOk;
}

uint32_t SimVolumeLevel::ChannelCount() const {
    std::lock_guard lock(context()->state);
    return static_cast<uint32_t>(channels_.size());
}

bool SimVolumeLevel::ReadChannel(uint32_t channel, ChannelDesign* design) const {
    std::lock_guard lock(context()->state);
    return ReadChannelLocked(channel, design);
}

bool SimVolumeLevel::ReadChannelLocked(uint32_t channel, ChannelDesign* design) const {
    if (channel >= channels_.size())
        return false;
    *design = channels_[channel];
    return true;
}

bool SimVolumeLevel::ChangeChannel(uint32_t channel, const ChannelDesign& design) {
    std::lock_guard lock(context()->state);
    if (channel >= channels_.size())
        return false;
    channels_[channel] = design;
    context()->StateChanged();
    return true;
}

SimMute::SimMute(SimContext* context, std::string name, bool muted)
    : SimRefCounted(context, SimKind::kMute, std::move(name)), muted_(muted) {}

Status SimMute::GetMute(bool* muted) {
    if (Status status = Enter("GetMute"); Failed(status))
        return status;
    if (muted == nullptr)
        return kPointer;
    std::lock_guard lock(context()->state);
    *muted = muted_;
    return kOk;
}

Status SimMute::SetMute(bool muted) {
    if (Status status = Enter("SetMute"); Failed(status))
        return status;
    std::lock_guard lock(context()->state);
    muted_ = muted;
    context()->StateChanged();
    return kOk;
}

bool SimMute::Muted() const {
    std::lock_guard lock(context()->state);
    return muted_;
}

void SimMute::ChangeMuted(bool muted) {
    std::lock_guard lock(context()->state);
    muted_ = muted;
    context()->StateChanged();
}

SimPartsList::SimPartsList(SimContext* context, std::string name)
    : SimRefCounted(context, SimKind::kPartsList, std::move(name)) {}

Status SimPartsList::GetCount(uint32_t* count) {
    if (Status status = Enter("GetCount"); Failed(status))
        return status;
    if (count == nullptr)
        return kPointer;
    *count = static_cast<uint32_t>(entries_.size());
    return kOk;
}

Status SimPartsList::GetPart(uint32_t index, Ref<Part>* part) {
    if (part == nullptr)
        return kPointer;
    *part = nullptr;
    if (Status status = Enter("GetPart"); Failed(status))
        return status;
    if (index >= entries_.size())
        return kInvalidArg;
    *part = Ref<Part>::Share(entries_[index]);
    return kOk;
}

SimPart::SimPart(SimContext* context, const std::string& name, const PartDesign& design)
    : SimRefCounted(context, SimKind::kPart, name),
      type_(design.type),
      subType_(design.subType),
      incoming_(context, name + ".incoming"),
      outgoing_(context, name + ".outgoing") {
    if (design.type == PartType::kSubunit && !design.level.empty())
        level_ = std::make_unique<SimVolumeLevel>(context, name, design.level);
    if (design.type == PartType::kSubunit && design.hasMute)
        mute_ = std::make_unique<SimMute>(context, name, design.muted);
}

Status SimPart::GetSubType(Guid* subType) {
    if (Status status = Enter("GetSubType"); Failed(status))
        return status;
    if (subType == nullptr)
        return kPointer;
    *subType = subType_;
    return kOk;
}

Status SimPart::GetPartType(PartType* type) {
    if (Status status = Enter("GetPartType"); Failed(status))
        return status;
    if (type == nullptr)
        return kPointer;
    *type = type_;
    return kOk;
}

Status SimPart::EnumPartsIncoming(Ref<PartsList>* parts) {
    if (parts == nullptr)
        return kPointer;
    *parts = nullptr;
    if (Status status = Enter("EnumPartsIncoming"); Failed(status))
        return status;
    *parts = Ref<PartsList>::Share(&incoming_);
    return kOk;
}

Status SimPart::EnumPartsOutgoing(Ref<PartsList>* parts) {
    if (parts == nullptr)
        return kPointer;
    *parts = nullptr;
    if (Status status = Enter("EnumPartsOutgoing"); Failed(status))
        return status;
    *parts = Ref<PartsList>::Share(&outgoing_);
    return kOk;
}

Status SimPart::ActivateVolumeLevel(Ref<VolumeLevelControl>* control) {
    if (control == nullptr)
        return kPointer;
    *control = nullptr;
    if (Status status = Enter("ActivateVolumeLevel"); Failed(status))
        return status;
    if (!level_)
        return kNoInterface;
    *control = Ref<VolumeLevelControl>::Share(level_.get());
    return kOk;
}

Status SimPart::ActivateMute(Ref<MuteControl>* control) {
    if (control == nullptr)
        return kPointer;
    *control = nullptr;
    if (Status status = Enter("ActivateMute"); Failed(status))
        return status;
    if (!mute_)
        return kNoInterface;
    *control = Ref<MuteControl>::Share(mute_.get());
    return kOk;
}

SimConnector::SimConnector(SimContext* context, const std::string& name, ConnectorFlow flow,
                           SimPart* part)
    : SimRefCounted(context, SimKind::kConnector, name), flow_(flow), part_(part) {}

Status SimConnector::GetDataFlow(ConnectorFlow* flow) {
    if (Status status = Enter("GetDataFlow"); Failed(status))
        return status;
    if (flow == nullptr)
        return kPointer;
    *flow = flow_;
    return kOk;
}

Status SimConnector::GetConnectedTo(Ref<Connector>* other) {
    if (other == nullptr)
        return kPointer;
    *other = nullptr;
    if (Status status = Enter("GetConnectedTo"); Failed(status))
        return status;
    if (connectedTo_ == nullptr)
        return kNotFound;
    *other = Ref<Connector>::Share(connectedTo_);
    return kOk;
}

Status SimConnector::AsPart(Ref<Part>* part) {
    if (part == nullptr)
        return kPointer;
    *part = nullptr;
    if (Status status = Enter("AsPart"); Failed(status))
        return status;
    *part = Ref<Part>::Share(part_);
    return kOk;
}

namespace {

// Makes `inner` the entry of `outer`'s neighbour list in the walking direction, and `outer` the
// entry of `inner`'s list in the other direction.
void Link(SimPart* outer, SimPart* inner, DataFlow flow) {
    if (flow == DataFlow::kRender) {
        outer->incoming().Append(inner);
        inner->outgoing().Append(outer);
    } else {
        outer->outgoing().Append(inner);
        inner->incoming().Append(outer);
    }
}

}  // namespace

SimTopology::SimTopology(SimContext* context, const std::string& prefix,
                         const EndpointDesign& design)
    : SimRefCounted(context, SimKind::kTopology, prefix + ".topology"), prefix_(prefix) {
    PartDesign endpointSide;
    endpointSide.name = "connector";
    endpointSide.type = PartType::kConnector;
    SimPart* endpointPart = AddPart(endpointSide);
    PartDesign codecSide = design.codecConnector;
    codecSide.type = PartType::kConnector;
    SimPart* codecPart = AddPart(codecSide);

    connectors_.push_back(std::make_unique<SimConnector>(context, prefix + ".connector",
                                                         design.connectorFlow, endpointPart));
    ConnectorFlow codecFlow =
        design.connectorFlow == ConnectorFlow::kIn ? ConnectorFlow::kOut : ConnectorFlow::kIn;
    connectors_.push_back(std::make_unique<SimConnector>(
        context, prefix + "." + design.codecConnector.name, codecFlow, codecPart));
    if (design.connected) {
        connectors_[0]->ConnectTo(connectors_[1].get());
        connectors_[1]->ConnectTo(connectors_[0].get());
    }

    SimPart* last = codecPart;
    for (const PartDesign& partDesign : design.path) {
        SimPart* part = AddPart(partDesign);
        Link(last, part, design.flow);
        last = part;
    }
    for (const MixerEntryDesign& entry : design.mixerEntries) {
        SimPart* part = AddPart(entry.part);
        Link(last, part, design.flow);
        if (entry.next) {
            SimPart* next = AddPart(*entry.next);
            Link(part, next, design.flow);
        }
    }
}

Status SimTopology::GetConnector(uint32_t index, Ref<Connector>* connector) {
    if (connector == nullptr)
        return kPointer;
    *connector = nullptr;
    if (Status status = Enter("GetConnector"); Failed(status))
        return status;
    // Only the endpoint's own connector is reachable from its topology.
    if (index != 0)
        return kInvalidArg;
    *connector = Ref<Connector>::Share(connectors_[0].get());
    return kOk;
}

SimPart* SimTopology::FindPart(std::string_view name) const {
    // Parts are named "<prefix>.<name>"; compared piece by piece, so that the room's reading of
    // the levels at every step builds no string.
    const size_t length = prefix_.size() + 1 + name.size();
    for (const auto& part : parts_) {
        const std::string& full = part->name();
        if (full.size() == length && full.compare(0, prefix_.size(), prefix_) == 0 &&
            full[prefix_.size()] == '.' && full.compare(prefix_.size() + 1, name.size(), name) == 0)
            return part.get();
    }
    return nullptr;
}

SimPart* SimTopology::AddPart(const PartDesign& design) {
    parts_.push_back(std::make_unique<SimPart>(context(), prefix_ + "." + design.name, design));
    return parts_.back().get();
}

}  // namespace zelk::sim
