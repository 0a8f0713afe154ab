#include "platform/sim/sim_pc.h"

#include <cstdio>
#include <utility>
#include <vector>

namespace zelk::sim {

namespace {

constexpr const char* kAudioInterfaceClass = "{6994ad04-93ef-11d0-a3cc-00a0c9223196}";

std::u16string Widen(const char* text) {
    std::u16string wide;
    for (const char* c = text; *c != '\0'; ++c)
        wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*c)));
    return wide;
}

std::u16string CodecDeviceName(uint16_t vendorId, uint16_t deviceId, const char* reference) {
    char text[200];
    std::snprintf(text, sizeof(text),
                  "\\\\?\\hdaudio#func_01&ven_%04x&dev_%04x&subsys_%04x%04x&rev_1000#"
                  "4&2c3c8a7d&0&0001#%s\\%s",
                  vendorId, deviceId, vendorId, deviceId, kAudioInterfaceClass, reference);
    return Widen(text);
}

}  // namespace

std::u16string CodecWaveOutName(uint16_t vendorId, uint16_t deviceId) {
    return CodecDeviceName(vendorId, deviceId, "speaker");
}

std::u16string CodecWaveInName(uint16_t vendorId, uint16_t deviceId) {
    return CodecDeviceName(vendorId, deviceId, "microphone");
}

std::u16string OtherMakerWaveOutName() {
    return Widen(
        "\\\\?\\usb#vid_0d8c&pid_0014&mi_00#7&1b2c3d4e&0&0000#"
        "{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global");
}

std::u16string OtherMakerWaveInName() {
    return Widen(
        "\\\\?\\usb#vid_0d8c&pid_0014&mi_00#7&1b2c3d4e&0&0000#"
        "{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global");
}

// The room reads the codec's levels from the audio system.
class SimPc::Levels : public CodecLevels {
  public:
    explicit Levels(const SimAudioSystem& audio) : audio_(audio) {}
    bool RenderPathDb(int32_t endpointIndex, int32_t speakerChannel, float* db) const override {
        return audio_.RenderPathDb(endpointIndex, speakerChannel, db);
    }
    bool CapturePathDb(int32_t endpointIndex, float* db) const override {
        return audio_.CapturePathDb(endpointIndex, db);
    }
    uint32_t RenderLayoutMask(int32_t endpointIndex) const override {
        return audio_.RenderLayoutMask(endpointIndex);
    }
    bool MixerPathDb(int32_t endpointIndex, int32_t input, int32_t speakerChannel,
                     float* db) const override {
        return audio_.MixerPathDb(endpointIndex, input, speakerChannel, db);
    }

  private:
    const SimAudioSystem& audio_;
};

SimPc::SimPc(SimPcOptions options) : options_(std::move(options)) {
    const bool virtualTime = options_.clockMode == SimPcOptions::ClockMode::kVirtual;
    sync_ = virtualTime ? std::make_unique<SimSync>(clock_) : std::make_unique<SimSync>();
    audio_ = options_.audio.Build();
    renderEndpoint_ = audio_->FindRenderEndpoint(options_.codecVendor, options_.codecDevice);
    captureEndpoint_ = audio_->FindCaptureEndpoint(options_.codecVendor, options_.codecDevice);
    levels_ = std::make_unique<Levels>(*audio_);
    room_ = std::make_unique<Room>(*levels_, renderEndpoint_, captureEndpoint_, options_.room);

    std::vector<SimWaveDeviceInfo> outs;
    std::vector<SimWaveDeviceInfo> ins;
    const SimWaveDeviceInfo otherOut{OtherMakerWaveOutName(), 2, nullptr, ""};
    const SimWaveDeviceInfo otherIn{OtherMakerWaveInName(), 2, nullptr, ""};
    if (options_.otherMakerFirst) {
        outs.push_back(otherOut);
        ins.push_back(otherIn);
    }
    if (options_.codecWaveDevices) {
        outs.push_back({CodecWaveOutName(options_.codecVendor, options_.codecDevice), 8,
                        room_.get(), options_.dumpPrefix});
        ins.push_back(
            {CodecWaveInName(options_.codecVendor, options_.codecDevice), 2, room_.get(), ""});
    }
    if (!options_.otherMakerFirst) {
        outs.push_back(otherOut);
        ins.push_back(otherIn);
    }
    waveOut_ = std::make_unique<SimWaveOut>(clock_, *sync_, std::move(outs));
    waveIn_ = std::make_unique<SimWaveIn>(clock_, *sync_, std::move(ins));

    if (!virtualTime) {
        pacer_ = std::make_unique<RealTimePacer>(clock_, options_.realTimeSpeed);
        pacer_->Start();
    }
}

SimPc::~SimPc() {
    if (pacer_)
        pacer_->Stop();
}

zelk::Platform SimPc::platform() {
    zelk::Platform platform;
    platform.coreAudio = audio_.get();
    platform.waveOut = waveOut_.get();
    platform.waveIn = waveIn_.get();
    platform.sync = sync_.get();
    return platform;
}

}  // namespace zelk::sim
