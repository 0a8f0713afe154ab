#pragma once

// What the simulated wave-out and wave-in devices share: the description of a device, injected
// failures, and one open stream with its queue of blocks, its 10 ms step on the clock and the
// device thread that hands finished blocks back through the callback.
//
// A stream steps on the clock's 10 ms grid (a device task due at every multiple of 10 ms from the
// open on). At each step a render stream takes the oldest queued block, plays it into the room and
// returns it; a started capture stream takes the oldest queued block, fills it with what the
// microphone recorded and returns it. Returned blocks are marked done and leave the queue at once;
// the device thread then calls the callback for each, in order. Open and Close call the callback
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
    void FillBlock(int64_t step, WaveHeader* header);
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

}  // namespace zelk::sim
