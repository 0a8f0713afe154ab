#pragma once

// The simulated PC, assembled: its clock, threads and events, the codec's endpoints and topology,
// the wave devices of the codec and of another maker, and the room between the codec's speakers
// and its microphone.
//
// Virtual time (the default): nothing moves until the caller advances clock() (directly, through
// the simulated windowing's modal loop, or by a Sleep of the thread that drives it); each step
// settles the device and worker threads before the next. Real time: a pacing thread advances the
// clock along the steady clock from construction on, and the threads run freely.
//
// platform() fills coreAudio, waveOut, waveIn and sync; the caller adds windowing and files. The
// engine objects that use the machine must be gone before it is destroyed.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/sim/real_time_pacer.h"
#include "platform/sim/room.h"
#include "platform/sim/sim_audio_system.h"
#include "platform/sim/sim_codec_builder.h"
#include "platform/sim/sim_sync.h"
#include "platform/sim/sim_wave_in.h"
#include "platform/sim/sim_wave_out.h"
#include "platform/sim/virtual_clock.h"

namespace zelk::sim {

struct SimPcOptions {
    enum class ClockMode { kVirtual, kRealTime };
    ClockMode clockMode = ClockMode::kVirtual;
    // Real time only: the machine's seconds per second of the steady clock. The windowing's
    // real-time timers must run at the same speed.
    double realTimeSpeed = 1.0;

    // The machine's endpoints; by default codec 0x10EC:0x0899 with 7.1 speakers and a microphone.
    SimAudioSystemBuilder audio = DefaultPcBuilder();
    // The codec whose wave devices play into and record from the room, and whose endpoints give
    // the room its levels.
    uint16_t codecVendor = kSimCodecVendor;
    uint16_t codecDevice = kSimDefaultCodec;
    // Whether the codec has wave devices at all (without, no device name matches the codec).
    bool codecWaveDevices = true;
    // Whether another maker's devices (a USB headset: two channels, outside the room) come first
    // in the device lists, ahead of the codec's; otherwise they come after.
    bool otherMakerFirst = true;

    RoomOptions room;
    // When not empty, every stream played on the codec's wave-out device is written to
    // "<dumpPrefix>-<n>.wav".
    std::string dumpPrefix;
};

// The interface names of the codec's wave devices ("\\?\hdaudio#func_01&ven_10ec&dev_0899&...")
// and of the other maker's ("\\?\usb#vid_...").
std::u16string CodecWaveOutName(uint16_t vendorId, uint16_t deviceId);
std::u16string CodecWaveInName(uint16_t vendorId, uint16_t deviceId);
std::u16string OtherMakerWaveOutName();
std::u16string OtherMakerWaveInName();

class SimPc {
  public:
    explicit SimPc(SimPcOptions options = {});
    ~SimPc();
    SimPc(const SimPc&) = delete;
    SimPc& operator=(const SimPc&) = delete;

    // coreAudio, waveOut, waveIn and sync; windowing and files are left to the caller.
    zelk::Platform platform();

    VirtualClock& clock() { return clock_; }
    SimSync& sync() { return *sync_; }
    SimAudioSystem& audio() { return *audio_; }
    SimWaveOut& waveOut() { return *waveOut_; }
    SimWaveIn& waveIn() { return *waveIn_; }
    Room& room() { return *room_; }
    const SimPcOptions& options() const { return options_; }

    // The codec's endpoints as the room reads them (-1 when the machine has none).
    int32_t renderEndpoint() const { return renderEndpoint_; }
    int32_t captureEndpoint() const { return captureEndpoint_; }

    // Virtual time: advances the clock by ms, settling after every step.
    void AdvanceMs(int64_t ms) { clock_.AdvanceBy(ms * 1000); }

  private:
    class Levels;

    const SimPcOptions options_;
    VirtualClock clock_;
    std::unique_ptr<SimSync> sync_;
    std::unique_ptr<SimAudioSystem> audio_;
    int32_t renderEndpoint_ = -1;
    int32_t captureEndpoint_ = -1;
    std::unique_ptr<Levels> levels_;
    std::unique_ptr<Room> room_;
    std::unique_ptr<SimWaveOut> waveOut_;
    std::unique_ptr<SimWaveIn> waveIn_;
    std::unique_ptr<RealTimePacer> pacer_;  // real time only; stopped first
};

}  // namespace zelk::sim
