#include "platform/sim/sim_wave_in.h"

#include <utility>

namespace zelk::sim {

namespace {

class SimWaveInDevice : public zelk::WaveInDevice {
  public:
    explicit SimWaveInDevice(std::shared_ptr<WaveStream> stream) : stream_(std::move(stream)) {}
    ~SimWaveInDevice() override { stream_->Abandon(); }

    MmResult Prepare(WaveHeader* header) override { return stream_->Prepare(header); }
    MmResult Unprepare(WaveHeader* header) override { return stream_->Unprepare(header); }
    MmResult AddBuffer(WaveHeader* header) override { return stream_->Queue(header); }
    MmResult Start() override { return stream_->Start(); }
    MmResult Reset() override { return stream_->Reset(); }
    MmResult Close() override { return stream_->Close(); }

  private:
    std::shared_ptr<WaveStream> stream_;
};

}  // namespace

SimWaveIn::SimWaveIn(VirtualClock& clock, SimSync& sync, std::vector<SimWaveDeviceInfo> devices)
    : clock_(clock), sync_(sync), devices_(std::move(devices)) {}

uint32_t SimWaveIn::GetDeviceCount() {
    return static_cast<uint32_t>(devices_.size());
}

MmResult SimWaveIn::QueryInterfaceSize(uint32_t deviceId, uint32_t* bytes) {
    return QueryNameSize(devices_, deviceId, bytes);
}

MmResult SimWaveIn::QueryInterfaceName(uint32_t deviceId, char16_t* name, uint32_t bytes) {
    return QueryName(devices_, deviceId, name, bytes);
}

MmResult SimWaveIn::Open(uint32_t deviceId, const WaveFormatExtensible& format,
                         WaveCallback callback, void* instance,
                         std::unique_ptr<WaveInDevice>* device) {
    if (deviceId >= devices_.size())
        return kMmBadDeviceId;
    if (device == nullptr || callback == nullptr)
        return kMmInvalidParam;
    if (const MmResult fault = faults_->Take(WaveOp::kOpen); fault != kMmNoError)
        return fault;
    const SimWaveDeviceInfo& info = devices_[deviceId];
    if (const MmResult result = CheckCaptureFormat(format, info.maxChannels); result != kMmNoError)
        return result;

    WaveStream::Setup setup;
    setup.direction = WaveStream::Direction::kCapture;
    setup.clock = &clock_;
    setup.sync = &sync_;
    setup.room = info.room;
    setup.format = format;
    setup.callback = callback;
    setup.instance = instance;
    setup.faults = faults_;
    setup.openCount = openCount_;
    std::shared_ptr<WaveStream> stream;
    if (const MmResult result = WaveStream::Open(setup, &stream); result != kMmNoError)
        return result;
    *device = std::make_unique<SimWaveInDevice>(std::move(stream));
    return kMmNoError;
}

void SimWaveIn::FailNext(WaveOp op, MmResult result, uint32_t skip) {
    faults_->FailNext(op, result, skip);
}

}  // namespace zelk::sim
