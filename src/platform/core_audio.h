#pragma once

// The audio endpoint and device-topology side of the platform, as the endpoint control uses it.
// Every object here is reference-counted and held through Ref<>. Failures return the platform's
// status unchanged.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/guid.h"
#include "platform/ref.h"
#include "platform/status.h"

namespace zelk {

// Direction of an endpoint: the platform's data-flow values.
enum class DataFlow : int32_t { kRender = 0, kCapture = 1 };

// Data flow of a topology connector, as the connector reports it.
enum class ConnectorFlow : int32_t { kIn = 0, kOut = 1 };

enum class PartType : int32_t { kConnector = 0, kSubunit = 1 };

enum class StoreAccess : int32_t { kRead = 0, kReadWrite = 1 };

struct PropertyKey {
    Guid fmtid;
    uint32_t pid = 0;

    friend bool operator==(const PropertyKey&, const PropertyKey&) = default;
};

// A property value of one of the types the engine reads and writes; kOther stands for any other
// type the platform may hold.
struct PropertyValue {
    enum class Type : int32_t { kEmpty, kText, kBlob, kUInt32, kOther };
    Type type = Type::kEmpty;
    std::u16string text;
    std::vector<uint8_t> blob;
    uint32_t number = 0;
};

inline constexpr Guid kNodeTypeSpeaker = {
    0xDFF21CE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr Guid kNodeTypeMicrophone = {
    0xDFF21BE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

inline constexpr PropertyKey kKeyFriendlyName = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};
inline constexpr PropertyKey kKeyDeviceDesc = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 2};
inline constexpr PropertyKey kKeyPhysicalSpeakers = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 3};
inline constexpr PropertyKey kKeyFullRangeSpeakers = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 6};
inline constexpr PropertyKey kKeyDeviceFormat = {
    {0xF19F064D, 0x082C, 0x4E27, {0xBC, 0x73, 0x68, 0x82, 0xA1, 0xBB, 0x8E, 0x4C}}, 0};
inline constexpr PropertyKey kKeyOemFormat = {
    {0xE4870E26, 0x3CC5, 0x4CD2, {0xBA, 0x46, 0xCA, 0x0A, 0x9A, 0x70, 0xED, 0x04}}, 0};
// Text that names the adapter device behind an endpoint (its hardware path).
inline constexpr PropertyKey kKeyHardwarePath = {
    {0xB3F8FA53, 0x0004, 0x438E, {0x90, 0x03, 0x51, 0xA4, 0x6E, 0x13, 0x9B, 0xFC}}, 2};

class VolumeLevelControl : public RefCounted {
  public:
    virtual Status GetLevelRange(uint32_t channel, float* minDb, float* maxDb, float* stepDb) = 0;
    virtual Status GetLevel(uint32_t channel, float* levelDb) = 0;
    virtual Status SetLevel(uint32_t channel, float levelDb) = 0;

  protected:
    ~VolumeLevelControl() = default;
};

class MuteControl : public RefCounted {
  public:
    virtual Status GetMute(bool* muted) = 0;
    virtual Status SetMute(bool muted) = 0;

  protected:
    ~MuteControl() = default;
};

class Part;

class PartsList : public RefCounted {
  public:
    virtual Status GetCount(uint32_t* count) = 0;
    virtual Status GetPart(uint32_t index, Ref<Part>* part) = 0;

  protected:
    ~PartsList() = default;
};

class Part : public RefCounted {
  public:
    virtual Status GetSubType(Guid* subType) = 0;
    virtual Status GetPartType(PartType* type) = 0;
    virtual Status EnumPartsIncoming(Ref<PartsList>* parts) = 0;
    virtual Status EnumPartsOutgoing(Ref<PartsList>* parts) = 0;
    // Leaves the out-reference empty and fails when the part has no such control.
    virtual Status ActivateVolumeLevel(Ref<VolumeLevelControl>* control) = 0;
    virtual Status ActivateMute(Ref<MuteControl>* control) = 0;

  protected:
    ~Part() = default;
};

class Connector : public RefCounted {
  public:
    virtual Status GetDataFlow(ConnectorFlow* flow) = 0;
    virtual Status GetConnectedTo(Ref<Connector>* other) = 0;
    // The connector viewed as a part of its topology.
    virtual Status AsPart(Ref<Part>* part) = 0;

  protected:
    ~Connector() = default;
};

class DeviceTopology : public RefCounted {
  public:
    virtual Status GetConnector(uint32_t index, Ref<Connector>* connector) = 0;

  protected:
    ~DeviceTopology() = default;
};

class PropertyStore : public RefCounted {
  public:
    virtual Status GetValue(const PropertyKey& key, PropertyValue* value) = 0;
    virtual Status SetValue(const PropertyKey& key, const PropertyValue& value) = 0;

  protected:
    ~PropertyStore() = default;
};

class AudioEndpoint : public RefCounted {
  public:
    virtual Status GetId(std::u16string* id) = 0;
    virtual Status OpenPropertyStore(StoreAccess access, Ref<PropertyStore>* store) = 0;
    virtual Status ActivateTopology(Ref<DeviceTopology>* topology) = 0;

  protected:
    ~AudioEndpoint() = default;
};

class AudioEndpointCollection : public RefCounted {
  public:
    virtual Status GetCount(uint32_t* count) = 0;
    virtual Status Item(uint32_t index, Ref<AudioEndpoint>* endpoint) = 0;

  protected:
    ~AudioEndpointCollection() = default;
};

class AudioDeviceEnumerator : public RefCounted {
  public:
    // The active endpoints of one direction.
    virtual Status EnumActiveEndpoints(DataFlow flow, Ref<AudioEndpointCollection>* endpoints) = 0;

  protected:
    ~AudioDeviceEnumerator() = default;
};

// Entry to the audio endpoints of the machine.
class CoreAudio {
  public:
    virtual ~CoreAudio() = default;
    // Prepares the calling thread for the audio objects (multithreaded apartment); result ignored.
    virtual void InitializeThread() = 0;
    virtual Status CreateDeviceEnumerator(Ref<AudioDeviceEnumerator>* enumerator) = 0;
};

}  // namespace zelk
