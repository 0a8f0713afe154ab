#pragma once

// The classic wave-out and wave-in devices, as the player and the recorder use them.

#include <cstdint>
#include <memory>

#include "platform/wave_format.h"

namespace zelk {

// The platform's multimedia result: 0 is success, anything else a failure.
using MmResult = uint32_t;
inline constexpr MmResult kMmNoError = 0;
inline constexpr MmResult kMmError = 1;
inline constexpr MmResult kMmBadDeviceId = 2;
inline constexpr MmResult kMmNoMemory = 7;
inline constexpr MmResult kMmInvalidParam = 11;
inline constexpr MmResult kWaveStillPlaying = 33;

// Callback messages.
inline constexpr uint32_t kWomOpen = 0x3BB;
inline constexpr uint32_t kWomClose = 0x3BC;
inline constexpr uint32_t kWomDone = 0x3BD;
inline constexpr uint32_t kWimOpen = 0x3BE;
inline constexpr uint32_t kWimClose = 0x3BF;
inline constexpr uint32_t kWimData = 0x3C0;

// Header flags the device keeps on a block.
inline constexpr uint32_t kWaveHeaderDone = 0x01;
inline constexpr uint32_t kWaveHeaderPrepared = 0x02;
inline constexpr uint32_t kWaveHeaderInQueue = 0x10;

// One block handed to a device: the platform's wave header. It stays where it is from Prepare to
// Unprepare; the device may keep a pointer to it while it is queued.
struct WaveHeader {
    uint8_t* data = nullptr;
    uint32_t bufferLength = 0;
    uint32_t bytesRecorded = 0;
    uintptr_t user = 0;
    uint32_t flags = 0;
    uint32_t loops = 0;
    void* reserved = nullptr;  // for the platform's own use
};

// Called on a platform thread for every device event. instance is the value given to Open.
using WaveCallback = void (*)(uint32_t message, void* instance, WaveHeader* header);

class WaveOutDevice {
  public:
    virtual ~WaveOutDevice() = default;
    virtual MmResult Prepare(WaveHeader* header) = 0;
    virtual MmResult Unprepare(WaveHeader* header) = 0;
    virtual MmResult Write(WaveHeader* header) = 0;
    // Returns every queued block at once (each completion is called back).
    virtual MmResult Reset() = 0;
    virtual MmResult Close() = 0;
};

class WaveInDevice {
  public:
    virtual ~WaveInDevice() = default;
    virtual MmResult Prepare(WaveHeader* header) = 0;
    virtual MmResult Unprepare(WaveHeader* header) = 0;
    virtual MmResult AddBuffer(WaveHeader* header) = 0;
    virtual MmResult Start() = 0;
    // Stops capture and returns every queued block at once.
    virtual MmResult Reset() = 0;
    virtual MmResult Close() = 0;
};

// The wave devices of one direction, addressed by device id 0 .. count-1.
class WaveOut {
  public:
    virtual ~WaveOut() = default;
    virtual uint32_t GetDeviceCount() = 0;
    // Size in bytes of the device's interface name, terminator included.
    virtual MmResult QueryInterfaceSize(uint32_t deviceId, uint32_t* bytes) = 0;
    // The interface name as UTF-16 text into a buffer of the given size in bytes.
    virtual MmResult QueryInterfaceName(uint32_t deviceId, char16_t* name, uint32_t bytes) = 0;
    virtual MmResult Open(uint32_t deviceId, const WaveFormatExtensible& format,
                          WaveCallback callback, void* instance,
                          std::unique_ptr<WaveOutDevice>* device) = 0;
};

class WaveIn {
  public:
    virtual ~WaveIn() = default;
    virtual uint32_t GetDeviceCount() = 0;
    virtual MmResult QueryInterfaceSize(uint32_t deviceId, uint32_t* bytes) = 0;
    virtual MmResult QueryInterfaceName(uint32_t deviceId, char16_t* name, uint32_t bytes) = 0;
    // format is a plain format (cbSize 0): only its first 18 bytes count.
    virtual MmResult Open(uint32_t deviceId, const WaveFormatExtensible& format,
                          WaveCallback callback, void* instance,
                          std::unique_ptr<WaveInDevice>* device) = 0;
};

}  // namespace zelk
