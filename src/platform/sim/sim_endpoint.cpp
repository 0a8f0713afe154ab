#include "platform/sim/sim_endpoint.h"

#include <mutex>

namespace zelk::sim {

SimPropertyStore::SimPropertyStore(SimContext* context, const std::string& name, StoreAccess access,
                                   SimEndpoint* endpoint)
    : SimRefCounted(context, SimKind::kPropertyStore, name), access_(access), endpoint_(endpoint) {}

Status SimPropertyStore::GetValue(const PropertyKey& key, PropertyValue* value) {
    if (Status status = Enter("GetValue"); Failed(status))
        return status;
    if (value == nullptr)
        return kPointer;
    std::lock_guard lock(context()->state);
    const PropertyValue* found = endpoint_->FindPropertyLocked(key);
    *value = found != nullptr ? *found : PropertyValue{};
    return kOk;
}

Status SimPropertyStore::SetValue(const PropertyKey& key, const PropertyValue& value) {
    if (Status status = Enter("SetValue"); Failed(status))
        return status;
    if (access_ != StoreAccess::kReadWrite)
        return kStoreAccessDenied;
    std::lock_guard lock(context()->state);
    endpoint_->ChangePropertyLocked(key, value);
    return kOk;
}

SimEndpoint::SimEndpoint(SimContext* context, const std::string& name, const EndpointDesign& design)
    : SimRefCounted(context, SimKind::kEndpoint, name),
      flow_(design.flow),
      id_(design.id),
      propertyWritesDenied_(design.propertyWritesDenied),
      readStore_(context, name + ".store", StoreAccess::kRead, this),
      readWriteStore_(context, name + ".store", StoreAccess::kReadWrite, this),
      topology_(context, name, design) {
    auto text = [](const std::u16string& value) {
        PropertyValue property;
        property.type = PropertyValue::Type::kText;
        property.text = value;
        return property;
    };
    ChangePropertyLocked(kKeyFriendlyName, text(design.friendlyName));
    ChangePropertyLocked(kKeyDeviceDesc, text(design.description));
    ChangePropertyLocked(kKeyHardwarePath, text(design.hardwarePath));
    for (const auto& [key, value] : design.properties)
        ChangePropertyLocked(key, value);
}

Status SimEndpoint::GetId(std::u16string* id) {
    if (Status status = Enter("GetId"); Failed(status))
        return status;
    if (id == nullptr)
        return kPointer;
    *id = id_;
    return kOk;
}

Status SimEndpoint::OpenPropertyStore(StoreAccess access, Ref<PropertyStore>* store) {
    if (store == nullptr)
        return kPointer;
    *store = nullptr;
    if (Status status = Enter("OpenPropertyStore"); Failed(status))
        return status;
    if (access == StoreAccess::kReadWrite && propertyWritesDenied_)
        return kAccessDenied;
    *store = Ref<PropertyStore>::Share(access == StoreAccess::kReadWrite ? &readWriteStore_
                                                                         : &readStore_);
    return kOk;
}

Status SimEndpoint::ActivateTopology(Ref<DeviceTopology>* topology) {
    if (topology == nullptr)
        return kPointer;
    *topology = nullptr;
    if (Status status = Enter("ActivateTopology"); Failed(status))
        return status;
    *topology = Ref<DeviceTopology>::Share(&topology_);
    return kOk;
}

PropertyValue SimEndpoint::Property(const PropertyKey& key) const {
    std::lock_guard lock(context()->state);
    const PropertyValue* found = FindPropertyLocked(key);
    return found != nullptr ? *found : PropertyValue{};
}

void SimEndpoint::ChangeProperty(const PropertyKey& key, const PropertyValue& value) {
    std::lock_guard lock(context()->state);
    ChangePropertyLocked(key, value);
}

const PropertyValue* SimEndpoint::FindPropertyLocked(const PropertyKey& key) const {
    for (const auto& [storedKey, value] : properties_) {
        if (storedKey == key)
            return &value;
    }
    return nullptr;
}

void SimEndpoint::ChangePropertyLocked(const PropertyKey& key, const PropertyValue& value) {
    context()->StateChanged();
    for (auto& [storedKey, stored] : properties_) {
        if (storedKey == key) {
            stored = value;
            return;
        }
    }
    properties_.emplace_back(key, value);
}

SimCollection::SimCollection(SimContext* context, const std::string& name)
    : SimRefCounted(context, SimKind::kCollection, name) {}

Status SimCollection::GetCount(uint32_t* count) {
    if (Status status = Enter("GetCount"); Failed(status))
        return status;
    if (count == nullptr)
        return kPointer;
    *count = static_cast<uint32_t>(endpoints_.size());
    return kOk;
}

Status SimCollection::Item(uint32_t index, Ref<AudioEndpoint>* endpoint) {
    if (endpoint == nullptr)
        return kPointer;
    *endpoint = nullptr;
    if (Status status = Enter("Item"); Failed(status))
        return status;
    if (index >= endpoints_.size())
        return kInvalidArg;
    *endpoint = Ref<AudioEndpoint>::Share(endpoints_[index]);
    return kOk;
}

SimEnumerator::SimEnumerator(SimContext* context, SimCollection* render, SimCollection* capture)
    : SimRefCounted(context, SimKind::kEnumerator, "enumerator"),
      render_(render),
      capture_(capture) {}

Status SimEnumerator::EnumActiveEndpoints(DataFlow flow, Ref<AudioEndpointCollection>* endpoints) {
    if (endpoints == nullptr)
        return kPointer;
    *endpoints = nullptr;
    if (Status status = Enter("EnumActiveEndpoints"); Failed(status))
        return status;
    if (flow != DataFlow::kRender && flow != DataFlow::kCapture)
        return kInvalidArg;
    *endpoints =
        Ref<AudioEndpointCollection>::Share(flow == DataFlow::kRender ? render_ : capture_);
    return kOk;
}

}  // namespace zelk::sim
