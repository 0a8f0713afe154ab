#pragma once

// What the simulated wave-out and wave-in devices share: the description of a device, injected
// failures, one open stream with its queue of blocks, its 10 ms step on the clock and the device
// thread that hands finished blocks back through the callback, the handle on a stream, and the
// list of devices of one direction that opens streams.
//
// A stream steps on the clock's 10 ms grid (a device task due at every multiple of 10 ms from the
// open on). At each step a render stream takes the oldest queued block, plays it into the room and
// returns it; a started capture stream takes the oldest queued block, fills it with what the
// microphone recorded and returns it, at once or, with the room's jitter, a few steps later and in
// order. Returned blocks are marked done and leave the queue at once; the device thread then calls
// the callback for each, in order. Open and Close call the callback
// with the open and close messages on the caller's thread before they return, as the platform
// does. Reset returns once the device thread has called back every block it returned, and in
// virtual time once the threads those callbacks woke have settled.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/room.h"
#include "platform/sim/sim_sync.h"
#include "platform/sim/virtual_clock.h"
#include "platform/sim/wav_dump.h"
#include "platform/wave.h"

namespace zelk::sim {

// Results the platform gives that the shared interface has no name for.
inline constexpr MmResult kMmInvalidHandle = 5;
inline constexpr MmResult kWaveBadFormat = 32;
inline constexpr MmResult kWaveUnprepared = 34;

inline constexpr int64_t kDeviceStepUs = 10'000;

struct SimWaveDeviceInfo {
    // The device's interface name; an empty one is reported with size 0, as for a device without.
    std::u16string interfaceName;
    uint16_t maxChannels = 2;
    // The room the device plays into or records from; null for a device outside it (it plays
    // into nothing and records silence).
    Room* room = nullptr;
    // Render only: when not empty, every stream opened on the device is written to
    // "<dumpPrefix>-<n>.wav", n counting the device's opens from 1.
    std::string dumpPrefix;
};

// The operations a test can make fail.
enum class WaveOp { kOpen, kPrepare, kUnprepare, kQueue, kStart, kReset, kClose };

// Failures planned by a test: the skip+1-th next call of an operation, on any device of the list,
// fails with the result and changes nothing.
class WaveFaults {
  public:
    void FailNext(WaveOp op, MmResult result, uint32_t skip);
    // The planned result for this call of op, or kMmNoError.
    MmResult Take(WaveOp op);

  private:
    struct Fault {
        WaveOp op;
        MmResult result;
        uint32_t skip;
    };
    std::mutex mutex_;
    std::vector<Fault> faults_;
};

// Checks a format against what a device of the direction can take: kMmNoError or kWaveBadFormat.
// Render: PCM of 8, 16, 24 or 32 bits or 32-bit float, plain or extensible, 1 to maxChannels
// channels, 8000 to 192000 Hz, consistent block align and byte rate. Capture: plain 16-bit PCM,
// 1 to maxChannels channels, at the room's 48000 Hz.
MmResult CheckRenderFormat(const WaveFormatExtensible& format, uint16_t maxChannels);
MmResult CheckCaptureFormat(const WaveFormatExtensible& format, uint16_t maxChannels);

// The interface name queries of a device list.
MmResult QueryNameSize(const std::vector<SimWaveDeviceInfo>& devices, uint32_t deviceId,
                       uint32_t* bytes);
MmResult QueryName(const std::vector<SimWaveDeviceInfo>& devices, uint32_t deviceId, char16_t* name,
                   uint32_t bytes);

// One open device. Shared by the handle the engine holds, the clock task and the device thread.
class WaveStream : public std::enable_shared_from_this<WaveStream> {
  public:
    enum class Direction { kRender, kCapture };
    struct Setup {
        Direction direction = Direction::kRender;
        VirtualClock* clock = nullptr;
        SimSync* sync = nullptr;
        Room* room = nullptr;
        WaveFormatExtensible format;
        WaveCallback callback = nullptr;
        void* instance = nullptr;
        std::shared_ptr<WaveFaults> faults;
        // Streams of the list open now.
        std::shared_ptr<std::atomic<int32_t>> openCount;
        std::string dumpPath;
    };

    // Starts the device thread and the clock task and calls back the open message.
    static MmResult Open(const Setup& setup, std::shared_ptr<WaveStream>* stream);

    ~WaveStream();

    MmResult Prepare(WaveHeader* header);
    MmResult Unprepare(WaveHeader* header);
    // Write (render) or AddBuffer (capture).
    MmResult Queue(WaveHeader* header);
    MmResult Start();
    MmResult Reset();
    MmResult Close();
    // For a handle dropped without Close: returns what is queued and closes.
    void Abandon();

    // Not for use outside: the constructor is public for make_shared only.
    explicit WaveStream(const Setup& setup);

  private:
    void Step();
    // After closed_ is set: stops stepping, lets the device thread call back what it holds and
    // end, then calls back the close message.
    void Shut();
    void DeliveryLoop();
    // Moves every queued block to the returned list (called with mutex_ held).
    void ReturnAllLocked();
    void ReturnLocked(WaveHeader* header);
    // Waits until the device thread has called back every block returned so far, unless called
    // from the device thread itself.
    void WaitDelivered(std::unique_lock<std::mutex>& lock);
    void PlayBlock(int64_t step, const WaveHeader& header);
    // Fills at most maxFrames frames of the block with the microphone's recording of step.
    void FillBlock(int64_t step, WaveHeader* header, uint32_t maxFrames);
    bool OnDeviceThread() const;

    const Setup setup_;
    const uint32_t doneMessage_;
    std::unique_ptr<zelk::Event> wake_;
    std::unique_ptr<zelk::Thread> thread_;
    VirtualClock::TaskId task_ = 0;

    std::mutex mutex_;
    std::condition_variable deliveredChanged_;
    bool closed_ = false;
    bool stopping_ = false;
    bool started_ = false;
    std::deque<WaveHeader*> queue_;
    // Capture: the first filled_ blocks of queue_ hold their recording and wait for the step each
    // is due back at (dueSteps_, ascending: the room's jitter never reorders them).
    size_t filled_ = 0;
    std::vector<int64_t> dueSteps_;
    int64_t lastDueStep_ = 0;
    std::deque<WaveHeader*> returned_;
    uint64_t returnedCount_ = 0;
    uint64_t deliveredCount_ = 0;
    // Render: bytes of a frame split across blocks, and the buffer the room reads whole frames
    // from. Capture: the samples of one block.
    std::vector<uint8_t> carry_;
    std::vector<uint8_t> frames_;
    std::vector<int16_t> samples_;
    WavDump dump_;
};

// The devices of one direction: their descriptions, the failures planned on them, the streams open
// now, and opening a stream after the platform's checks.
class WaveDeviceList {
  public:
    WaveDeviceList(WaveStream::Direction direction, VirtualClock& clock, SimSync& sync,
                   std::vector<SimWaveDeviceInfo> devices);

    // Bad device id: 2; no output location (hasOutput false) or callback: 11; a format the device
    // cannot take: 32. A render stream on a device with a dump prefix is written to the device's
    // next dump file.
    MmResult Open(uint32_t deviceId, const WaveFormatExtensible& format, WaveCallback callback,
                  void* instance, bool hasOutput, std::shared_ptr<WaveStream>* stream);

    void FailNext(WaveOp op, MmResult result, uint32_t skip) {
        faults_->FailNext(op, result, skip);
    }
    int32_t OpenStreams() const { return openCount_->load(); }
    const std::vector<SimWaveDeviceInfo>& devices() const { return devices_; }

  private:
    const WaveStream::Direction direction_;
    VirtualClock& clock_;
    SimSync& sync_;
    const std::vector<SimWaveDeviceInfo> devices_;
    std::mutex opensMutex_;
    std::vector<uint32_t> opens_;  // per device, for the dump file names
    std::shared_ptr<WaveFaults> faults_ = std::make_shared<WaveFaults>();
    std::shared_ptr<std::atomic<int32_t>> openCount_ = std::make_shared<std::atomic<int32_t>>(0);
};

// The handle the engine holds on an open stream (Device: zelk::WaveOutDevice or
// zelk::WaveInDevice); the direction adds its queueing calls. A handle dropped without Close
// returns the stream's blocks and closes it.
template <class Device>
class SimStreamDevice : public Device {
  public:
    using Interface = Device;
    explicit SimStreamDevice(std::shared_ptr<WaveStream> stream) : stream_(std::move(stream)) {}
    ~SimStreamDevice() override { stream_->Abandon(); }
    SimStreamDevice(const SimStreamDevice&) = delete;
    SimStreamDevice& operator=(const SimStreamDevice&) = delete;

    MmResult Prepare(WaveHeader* header) override { return stream_->Prepare(header); }
    MmResult Unprepare(WaveHeader* header) override { return stream_->Unprepare(header); }
    MmResult Reset() override { return stream_->Reset(); }
    MmResult Close() override { return stream_->Close(); }

  protected:
    const std::shared_ptr<WaveStream> stream_;
};

// A device list of one direction as the platform's interface (Interface: zelk::WaveOut or
// zelk::WaveIn), handing out Handle (a SimStreamDevice) for each stream it opens.
template <class Interface, class Handle>
class SimWaveDevices : public Interface {
  public:
    uint32_t GetDeviceCount() override { return static_cast<uint32_t>(list_.devices().size()); }
    MmResult QueryInterfaceSize(uint32_t deviceId, uint32_t* bytes) override {
        return QueryNameSize(list_.devices(), deviceId, bytes);
    }
    MmResult QueryInterfaceName(uint32_t deviceId, char16_t* name, uint32_t bytes) override {
        return QueryName(list_.devices(), deviceId, name, bytes);
    }
    MmResult Open(uint32_t deviceId, const WaveFormatExtensible& format, WaveCallback callback,
                  void* instance, std::unique_ptr<typename Handle::Interface>* device) override {
        std::shared_ptr<WaveStream> stream;
        const MmResult result =
            list_.Open(deviceId, format, callback, instance, device != nullptr, &stream);
        if (result == kMmNoError)
            *device = std::make_unique<Handle>(std::move(stream));
        return result;
    }

    // The skip+1-th next call of op on any device of this list fails with result.
    void FailNext(WaveOp op, MmResult result, uint32_t skip = 0) {
        list_.FailNext(op, result, skip);
    }
    // Devices opened and not yet closed.
    int32_t OpenStreams() const { return list_.OpenStreams(); }
    const std::vector<SimWaveDeviceInfo>& devices() const { return list_.devices(); }

  protected:
    // Device threads are started through sync; the devices step on clock.
    SimWaveDevices(WaveStream::Direction direction, VirtualClock& clock, SimSync& sync,
                   std::vector<SimWaveDeviceInfo> devices)
        : list_(direction, clock, sync, std::move(devices)) {}

  private:
    WaveDeviceList list_;
};

}  // namespace zelk::sim
