#pragma once

// The wave-in devices of the simulated machine. Each open device, once started, fills one queued
// block per 10 ms of the clock with what its room's microphone recorded and returns it through the
// callback on the device's own thread.

#include <utility>
#include <vector>

#include "platform/sim/sim_sync.h"
#include "platform/sim/sim_wave_device.h"
#include "platform/sim/virtual_clock.h"
#include "platform/wave.h"

namespace zelk::sim {

// A handle on an open wave-in stream.
class SimWaveInDevice : public SimStreamDevice<zelk::WaveInDevice> {
  public:
    using SimStreamDevice::SimStreamDevice;
    MmResult AddBuffer(WaveHeader* header) override { return stream_->Queue(header); }
    MmResult Start() override { return stream_->Start(); }
};

class SimWaveIn : public SimWaveDevices<zelk::WaveIn, SimWaveInDevice> {
  public:
    SimWaveIn(VirtualClock& clock, SimSync& sync, std::vector<SimWaveDeviceInfo> devices)
        : SimWaveDevices(WaveStream::Direction::kCapture, clock, sync, std::move(devices)) {}
};

}  // namespace zelk::sim
