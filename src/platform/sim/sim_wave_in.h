#pragma once

// The wave-in devices of the simulated machine. Each open device, once started, fills one queued
// block per 10 ms of the clock with what its room's microphone recorded and returns it through the
// callback on the device's own thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/sim/sim_sync.h"
#include "platform/sim/sim_wave_device.h"
#include "platform/sim/virtual_clock.h"
#include "platform/wave.h"

namespace zelk::sim {

class SimWaveIn : public zelk::WaveIn {
  public:
    SimWaveIn(VirtualClock& clock, SimSync& sync, std::vector<SimWaveDeviceInfo> devices);
    SimWaveIn(const SimWaveIn&) = delete;
    SimWaveIn& operator=(const SimWaveIn&) = delete;

    uint32_t GetDeviceCount() override;
    MmResult QueryInterfaceSize(uint32_t deviceId, uint32_t* bytes) override;
    MmResult QueryInterfaceName(uint32_t deviceId, char16_t* name, uint32_t bytes) override;
    MmResult Open(uint32_t deviceId, const WaveFormatExtensible& format, WaveCallback callback,
                  void* instance, std::unique_ptr<WaveInDevice>* device) override;

    void FailNext(WaveOp op, MmResult result, uint32_t skip = 0);
    int32_t OpenStreams() const { return openCount_->load(); }
    const std::vector<SimWaveDeviceInfo>& devices() const { return devices_; }

  private:
    VirtualClock& clock_;
    SimSync& sync_;
    const std::vector<SimWaveDeviceInfo> devices_;
    std::shared_ptr<WaveFaults> faults_ = std::make_shared<WaveFaults>();
    std::shared_ptr<std::atomic<int32_t>> openCount_ = std::make_shared<std::atomic<int32_t>>(0);
};

}  // namespace zelk::sim
