#include "endpoint/endpoint_enumerator.h"

#include <cstdint>
#include <cstring>

#include "endpoint/endpoint_record.h"
#include "endpoint/endpoint_text.h"

namespace zelk {

namespace {

constexpr char16_t kDeviceNotAvailable[] = u"<Device not available>";

bool ValidFlow(int32_t flow) {
    return flow == static_cast<int32_t>(DataFlow::kRender) ||
           flow == static_cast<int32_t>(DataFlow::kCapture);
}

// The endpoint's property store; a call that succeeds without a store counts as a failure.
Status OpenStore(AudioEndpoint* endpoint, StoreAccess access, Ref<PropertyStore>* store) {
    Status status = endpoint->OpenPropertyStore(access, store);
    if (Failed(status))
        return status;
    return *store ? status : kFail;
}

}  // namespace

EndpointEnumerator::EndpointEnumerator(CoreAudio* coreAudio, WindowHandle notifyWindow)
    : notifyWindow_(notifyWindow) {
    if (coreAudio == nullptr)
        return;
    coreAudio->InitializeThread();
    if (Failed(coreAudio->CreateDeviceEnumerator(&deviceEnumerator_)))
        deviceEnumerator_.Reset();
}

EndpointEnumerator::~EndpointEnumerator() {
    ReleaseDevices();
}

void EndpointEnumerator::EnumerateEndpoints(DataFlow flow) {
    Ref<AudioEndpointCollection>& endpoints =
        flow == DataFlow::kRender ? renderEndpoints_ : captureEndpoints_;
    endpoints.Reset();
    if (!deviceEnumerator_)
        return;
    if (Failed(deviceEnumerator_->EnumActiveEndpoints(flow, &endpoints)))
        endpoints.Reset();
}

int32_t EndpointEnumerator::GetEndpointCount(DataFlow flow) {
    const Ref<AudioEndpointCollection>& endpoints =
        flow == DataFlow::kRender ? renderEndpoints_ : captureEndpoints_;
    uint32_t count = 0;
    if (!endpoints || Failed(endpoints->GetCount(&count)))
        return 0;
    return count > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(count);
}

Status EndpointEnumerator::GetEndpoint(DataFlow flow, int32_t index, Ref<AudioEndpoint>* endpoint) {
    if (endpoint == nullptr)
        return kFail;
    endpoint->Reset();
    const Ref<AudioEndpointCollection>& endpoints =
        flow == DataFlow::kRender ? renderEndpoints_ : captureEndpoints_;
    if (!endpoints || index < 0)
        return kFail;
    Status status = endpoints->Item(static_cast<uint32_t>(index), endpoint);
    if (Failed(status)) {
        endpoint->Reset();
        return status;
    }
    return *endpoint ? status : kFail;
}

Status EndpointEnumerator::ReadEndpointProperty(int32_t flow, int32_t index, const PropertyKey& key,
                                                void* buffer, BufferKind kind, uint32_t capacity,
                                                uint32_t* number) {
    if (!ValidFlow(flow))
        return kFail;
    Ref<AudioEndpoint> endpoint;
    Status status = GetEndpoint(static_cast<DataFlow>(flow), index, &endpoint);
    if (Failed(status)) {
        if (buffer != nullptr && kind == BufferKind::kText)
            CopyText(static_cast<char16_t*>(buffer), capacity, kDeviceNotAvailable);
        return status;
    }
    Ref<PropertyStore> store;
    status = OpenStore(endpoint.Get(), StoreAccess::kRead, &store);
    if (Failed(status))
        return status;
    PropertyValue value;
    status = store->GetValue(key, &value);
    if (Failed(status))
        return status;
    switch (value.type) {
        case PropertyValue::Type::kText:
            if (buffer != nullptr && kind == BufferKind::kText)
                CopyText(static_cast<char16_t*>(buffer), capacity, value.text);
            break;
        case PropertyValue::Type::kBlob:
            if (buffer != nullptr && kind == BufferKind::kBytes && !value.blob.empty()) {
                size_t size = value.blob.size() < capacity ? value.blob.size() : capacity;
                std::memcpy(buffer, value.blob.data(), size);
            }
            break;
        case PropertyValue::Type::kUInt32:
            if (number != nullptr)
                *number = value.number;
            break;
        default:
            break;
    }
    return status;
}

Status EndpointEnumerator::WriteEndpointProperty(int32_t index, const PropertyKey& key,
                                                 PropertyValue::Type type, const void* buffer,
                                                 uint32_t size, uint32_t number) {
    PropertyValue value;
    value.type = type;
    switch (type) {
        case PropertyValue::Type::kText:
            if (buffer == nullptr)
                return kFail;
            value.text = static_cast<const char16_t*>(buffer);
            break;
        case PropertyValue::Type::kBlob:
            if (buffer == nullptr && size != 0)
                return kFail;
            if (size != 0) {
                const auto* bytes = static_cast<const uint8_t*>(buffer);
                value.blob.assign(bytes, bytes + size);
            }
            break;
        case PropertyValue::Type::kUInt32:
            value.number = number;
            break;
        default:
            return kFail;
    }
    Ref<AudioEndpoint> endpoint;
    Status status = GetEndpoint(DataFlow::kRender, index, &endpoint);
    if (Failed(status))
        return status;
    Ref<PropertyStore> store;
    status = OpenStore(endpoint.Get(), StoreAccess::kReadWrite, &store);
    if (Failed(status))
        return status;
    return store->SetValue(key, value);
}

Status EndpointEnumerator::ReadEndpointId(int32_t flow, int32_t index, char16_t* buffer) {
    if (!ValidFlow(flow) || buffer == nullptr)
        return kFail;
    Ref<AudioEndpoint> endpoint;
    Status status = GetEndpoint(static_cast<DataFlow>(flow), index, &endpoint);
    if (Failed(status)) {
        CopyText(buffer, kTextLength, kDeviceNotAvailable);
        return status;
    }
    std::u16string id;
    status = endpoint->GetId(&id);
    if (Failed(status))
        return status;
    CopyText(buffer, kTextLength, id);
    return kOk;
}

void EndpointEnumerator::ReleaseDevices() {
    renderEndpoints_.Reset();
    captureEndpoints_.Reset();
    deviceEnumerator_.Reset();
}

}  // namespace zelk
