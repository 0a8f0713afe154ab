#pragma once

// The wave-out devices of the simulated machine. Each open device plays one queued block per 10 ms
// of the clock into its room and returns it through the callback on the device's own thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/sim/sim_sync.h"
#include "platform/sim/sim_wave_device.h"
#include "platform/sim/virtual_clock.h"
#include "platform/wave.h"

namespace zelk::sim {

class SimWaveOut : public zelk::WaveOut {
  public:
    // Device threads are started through sync; the devices step on clock.
    SimWaveOut(VirtualClock& clock, SimSync& sync, std::vector<SimWaveDeviceInfo> devices);
    SimWaveOut(const SimWaveOut&) = delete;
    SimWaveOut& operator=(const SimWaveOut&) = delete;

    uint32_t GetDeviceCount() override;
    MmResult QueryInterfaceSize(uint32_t deviceId, uint32_t* bytes) override;
    MmResult QueryInterfaceName(uint32_t deviceId, char16_t* name, uint32_t bytes) override;
    MmResult Open(uint32_t deviceId, const WaveFormatExtensible& format, WaveCallback callback,
                  void* instance, std::unique_ptr<WaveOutDevice>* device) override;

    // The skip+1-th next call of op on any device of this list fails with result.
    void FailNext(WaveOp op, MmResult result, uint32_t skip = 0);
    // Devices opened and not yet closed.
    int32_t OpenStreams() const { return openCount_->load(); }
    const std::vector<SimWaveDeviceInfo>& devices() const { return devices_; }

  private:
    VirtualClock& clock_;
    SimSync& sync_;
    const std::vector<SimWaveDeviceInfo> devices_;
    std::mutex opensMutex_;
    std::vector<uint32_t> opens_;  // per device, for the dump file names
    std::shared_ptr<WaveFaults> faults_ = std::make_shared<WaveFaults>();
    std::shared_ptr<std::atomic<int32_t>> openCount_ = std::make_shared<std::atomic<int32_t>>(0);
};

}  // namespace zelk::sim
