#pragma once

// The wave-out devices of the simulated machine. Each open device plays one queued block per 10 ms
// of the clock into its room and returns it through the callback on the device's own thread.

#include <utility>
#include <vector>

#include "platform/sim/sim_sync.h"
#include "platform/sim/sim_wave_device.h"
#include "platform/sim/virtual_clock.h"
#include "platform/wave.h"

namespace zelk::sim {

// A handle on an open wave-out stream.
class SimWaveOutDevice : public SimStreamDevice<zelk::WaveOutDevice> {
  public:
    using SimStreamDevice::SimStreamDevice;
    MmResult Write(WaveHeader* header) override { return stream_->Queue(header); }
};

class SimWaveOut : public SimWaveDevices<zelk::WaveOut, SimWaveOutDevice> {
  public:
    SimWaveOut(VirtualClock& clock, SimSync& sync, std::vector<SimWaveDeviceInfo> devices)
        : SimWaveDevices(WaveStream::Direction::kRender, clock, sync, std::move(devices)) {}
};

}  // namespace zelk::sim
