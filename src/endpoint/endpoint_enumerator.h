#pragma once

#include <cstdint>

#include "platform/core_audio.h"
#include "platform/ref.h"
#include "platform/status.h"
#include "platform/windowing.h"

namespace zelk {

enum class BufferKind : int32_t { kText = 0, kBytes = 1 };

// Holds the system's device enumerator and the two endpoint collections, and reads and writes
// properties of single endpoints.
class EndpointEnumerator {
  public:
    EndpointEnumerator(CoreAudio* coreAudio, WindowHandle notifyWindow);
    ~EndpointEnumerator();
    EndpointEnumerator(const EndpointEnumerator&) = delete;
    EndpointEnumerator& operator=(const EndpointEnumerator&) = delete;

    void EnumerateEndpoints(DataFlow flow);
    int32_t GetEndpointCount(DataFlow flow);
    // capacity counts UTF-16 code units for a text buffer and bytes for a byte buffer.
    Status ReadEndpointProperty(int32_t flow, int32_t index, const PropertyKey& key, void* buffer,
                                BufferKind kind, uint32_t capacity, uint32_t* number);
    Status WriteEndpointProperty(int32_t index, const PropertyKey& key, PropertyValue::Type type,
                                 const void* buffer, uint32_t size, uint32_t number);
    Status ReadEndpointId(int32_t flow, int32_t index, char16_t* buffer /* 260 units */);
    void ReleaseDevices();

    // The endpoint at index of a direction's collection (for the topology walks).
    Status GetEndpoint(DataFlow flow, int32_t index, Ref<AudioEndpoint>* endpoint);
    bool HasDeviceEnumerator() const { return static_cast<bool>(deviceEnumerator_); }
    WindowHandle notifyWindow() const { return notifyWindow_; }

  private:
    WindowHandle notifyWindow_ = kNoWindow;
    Ref<AudioDeviceEnumerator> deviceEnumerator_;
    Ref<AudioEndpointCollection> renderEndpoints_;
    Ref<AudioEndpointCollection> captureEndpoints_;
};

}  // namespace zelk
