#include "platform/sim/sim_wave_out.h"

#include <string>
#include <utility>

namespace zelk::sim {

namespace {

class SimWaveOutDevice : public zelk::WaveOutDevice {
  public:
    explicit SimWaveOutDevice(std::shared_ptr<WaveStream> stream) : stream_(std::move(stream)) {}
    ~SimWaveOutDevice() override { stream_->Abandon(); }

    MmResult Prepare(WaveHeader* header) override { return stream_->Prepare(header); }
    MmResult Unprepare(WaveHeader* header) override { return stream_->Unprepare(header); }
    MmResult Write(WaveHeader* header) override { return stream_->Queue(header); }
    MmResult Reset() override { return stream_->Reset(); }
    MmResult Close() override { return stream_->Close(); }

  private:
    std::shared_ptr<WaveStream> stream_;
};

}  // namespace

SimWaveOut::SimWaveOut(VirtualClock& clock, SimSync& sync, std::vector<SimWaveDeviceInfo> devices)
    : clock_(clock), sync_(sync), devices_(std::move(devices)), opens_(devices_.size(), 0) {}

uint32_t SimWaveOut::GetDeviceCount() {
    return static_cast<uint32_t>(devices_.size());
}

MmResult SimWaveOut::QueryInterfaceSize(uint32_t deviceId, uint32_t* bytes) {
    return QueryNameSize(devices_, deviceId, bytes);
}

MmResult SimWaveOut::QueryInterfaceName(uint32_t deviceId, char16_t* name, uint32_t bytes) {
    return QueryName(devices_, deviceId, name, bytes);
}

MmResult SimWaveOut::Open(uint32_t deviceId, const WaveFormatExtensible& format,
                          WaveCallback callback, void* instance,
                          std::unique_ptr<WaveOutDevice>* device) {
    if (deviceId >= devices_.size())
        return kMmBadDeviceId;
    if (device == nullptr || callback == nullptr)
        return kMmInvalidParam;
    if (const MmResult fault = faults_->Take(WaveOp::kOpen); fault != kMmNoError)
        return fault;
    const SimWaveDeviceInfo& info = devices_[deviceId];
    if (const MmResult result = CheckRenderFormat(format, info.maxChannels); result != kMmNoError)
        return result;

    WaveStream::Setup setup;
    setup.direction = WaveStream::Direction::kRender;
    setup.clock = &clock_;
    setup.sync = &sync_;
    setup.room = info.room;
    setup.format = format;
    setup.callback = callback;
    setup.instance = instance;
    setup.faults = faults_;
    setup.openCount = openCount_;
    if (!info.dumpPrefix.empty()) {
        std::lock_guard lock(opensMutex_);
        setup.dumpPath = info.dumpPrefix + "-" + std::to_string(++opens_[deviceId]) + ".wav";
    }
    std::shared_ptr<WaveStream> stream;
    if (const MmResult result = WaveStream::Open(setup, &stream); result != kMmNoError)
        return result;
    *device = std::make_unique<SimWaveOutDevice>(std::move(stream));
    return kMmNoError;
}

void SimWaveOut::FailNext(WaveOp op, MmResult result, uint32_t skip) {
    faults_->FailNext(op, result, skip);
}

}  // namespace zelk::sim
