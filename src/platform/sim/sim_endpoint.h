#pragma once

// The simulated endpoints, their property stores and collections, and the device enumerator.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/core_audio.h"
#include "platform/sim/sim_codec_design.h"
#include "platform/sim/sim_context.h"
#include "platform/sim/sim_ref_counted.h"
#include "platform/sim/sim_topology.h"

namespace zelk::sim {

// The platform's answer to a write through a store opened for reading only.
inline constexpr Status kStoreAccessDenied = static_cast<Status>(0x80030005u);

class SimEndpoint;

class SimPropertyStore final : public SimRefCounted<PropertyStore> {
  public:
    SimPropertyStore(SimContext* context, const std::string& name, StoreAccess access,
                     SimEndpoint* endpoint);

    // A key the endpoint has no value for gives an empty value and S_OK.
    Status GetValue(const PropertyKey& key, PropertyValue* value) override;
    Status SetValue(const PropertyKey& key, const PropertyValue& value) override;

  private:
    StoreAccess access_;
    SimEndpoint* endpoint_;
};

class SimEndpoint final : public SimRefCounted<AudioEndpoint> {
  public:
    SimEndpoint(SimContext* context, const std::string& name, const EndpointDesign& design);

    Status GetId(std::u16string* id) override;
    // For read-write access, refused with E_ACCESSDENIED (0x80070005) when the design denies
    // property writes, as for a process without the right.
    Status OpenPropertyStore(StoreAccess access, Ref<PropertyStore>* store) override;
    Status ActivateTopology(Ref<DeviceTopology>* topology) override;

    DataFlow flow() const { return flow_; }
    SimTopology& topology() { return topology_; }
    const SimTopology& topology() const { return topology_; }

    // The model's side, under the machine's state lock.
    PropertyValue Property(const PropertyKey& key) const;
    void ChangeProperty(const PropertyKey& key, const PropertyValue& value);
    // For a caller that already holds the state lock.
    const PropertyValue* FindPropertyLocked(const PropertyKey& key) const;

  private:
    friend class SimPropertyStore;
    void ChangePropertyLocked(const PropertyKey& key, const PropertyValue& value);

    DataFlow flow_;
    std::u16string id_;
    bool propertyWritesDenied_;
    std::vector<std::pair<PropertyKey, PropertyValue>> properties_;  // guarded by the state lock
    SimPropertyStore readStore_;
    SimPropertyStore readWriteStore_;
    SimTopology topology_;
};

class SimCollection final : public SimRefCounted<AudioEndpointCollection> {
  public:
    SimCollection(SimContext* context, const std::string& name);

    Status GetCount(uint32_t* count) override;
    Status Item(uint32_t index, Ref<AudioEndpoint>* endpoint) override;

    void Append(SimEndpoint* endpoint) { endpoints_.push_back(endpoint); }

  private:
    std::vector<SimEndpoint*> endpoints_;  // fixed once the machine is built
};

class SimEnumerator final : public SimRefCounted<AudioDeviceEnumerator> {
  public:
    SimEnumerator(SimContext* context, SimCollection* render, SimCollection* capture);

    Status EnumActiveEndpoints(DataFlow flow, Ref<AudioEndpointCollection>* endpoints) override;

  private:
    SimCollection* render_;
    SimCollection* capture_;
};

}  // namespace zelk::sim
