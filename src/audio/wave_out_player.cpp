#include "audio/wave_out_player.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "audio/codec_wave_device.h"
#include "audio/source_format_check.h"
#include "platform/speaker_mask.h"

namespace zelk {
namespace {

constexpr char kNoDeviceText[] = "None Wave Out device is found!";
constexpr char kNoMemoryText[] = "Memory resource is not enough!";
constexpr char kBadFormatText[] = "The application does not support the source wave format!";
constexpr char kCannotOpenText[] = "Cannot open the Wave-Out device!";

constexpr uint32_t kSineRate = 48000;
constexpr uint16_t kSineBits = 16;
constexpr uint32_t kAllEightMask = 0xFF;

void WriteText(char* text, const char* message) {
    if (text != nullptr)
        std::snprintf(text, kPlayerTextLength, "%s", message);
}

WaveFormatExtensible SineFormat(uint16_t channelCount, uint32_t channelMask) {
    WaveFormatExtensible format;
    format.wFormatTag = kWaveFormatExtensible;
    format.nChannels = channelCount;
    format.nSamplesPerSec = kSineRate;
    format.wBitsPerSample = kSineBits;
    format.nBlockAlign = static_cast<uint16_t>(channelCount * 2u);
    format.nAvgBytesPerSec = format.nBlockAlign * kSineRate;
    format.cbSize = 22;
    format.wValidBitsPerSample = kSineBits;
    format.dwChannelMask = channelMask == kAllEightMask ? kSevenPointOneMask : channelMask;
    format.SubFormat = kSubtypePcm;
    return format;
}

// The narrow path as the caller gives it: at most 259 characters.
std::string BoundedPath(const char* path) {
    if (path == nullptr)
        return {};
    size_t length = 0;
    while (length < kPlayerTextLength - 1 && path[length] != '\0')
        ++length;
    return std::string(path, length);
}

}  // namespace

WaveOutPlayer::WaveOutPlayer(const Platform& platform)
    : platform_(platform), worker_(platform.sync) {}

WaveOutPlayer::~WaveOutPlayer() {
    Shutdown();
}

bool WaveOutPlayer::Start(char* infoText, uint16_t deviceId, uint16_t vendorId, int32_t useSine,
                          uint16_t channelCount, uint32_t channelMask, const char* wavPath,
                          char* errorText, double frequency) {
    // A player still holding a device or a worker is stopped first, never overwritten.
    if (device_ || worker_.Held())
        Stop();

    const uint32_t count = platform_.waveOut != nullptr ? platform_.waveOut->GetDeviceCount() : 0;
    if (count == 0) {
        WriteText(errorText, kNoDeviceText);
        return false;
    }
    const uint32_t deviceIndex = FindCodecWaveDevice(*platform_.waveOut, count, vendorId, deviceId);

    if (useSine != 0) {
        sineSource_.reset();
        sineSource_.reset(new (std::nothrow)
                              SineWaveSource(SineFormat(channelCount, channelMask), frequency));
        currentSource_ = sineSource_.get();
    } else {
        fileSource_.reset();
        if (platform_.files != nullptr) {
            const std::u16string path = platform_.files->NarrowToWide(BoundedPath(wavPath).c_str());
            fileSource_.reset(new (std::nothrow) WaveFileReader(*platform_.files, path));
        }
        currentSource_ = fileSource_.get();
    }
    if (currentSource_ == nullptr) {
        WriteText(errorText, kNoMemoryText);
        return false;
    }

    if (currentSource_->GetStatus() != kOk ||
        CheckSourceFormat(*currentSource_->GetFormat()) != kOk) {
        WriteText(errorText, kBadFormatText);
        Stop();
        return false;
    }
    WaveFormatExtensible& format = *currentSource_->GetFormat();
    if (format.wFormatTag == kWaveFormatExtensible && format.dwChannelMask == kAllEightMask)
        format.dwChannelMask = kSevenPointOneMask;

    if (deviceIndex == kNoWaveDevice ||
        platform_.waveOut->Open(deviceIndex, format, &WaveOutPlayer::DeviceCallback, this,
                                &device_) != kMmNoError ||
        !device_) {
        device_.reset();
        WriteText(errorText, kCannotOpenText);
        return false;
    }

    // The bytes of 10 ms, which need not be whole frames. Buffers grow to the block length when a
    // format's 10 ms exceed the usual 15360 bytes (six 24-bit channels at 96000 Hz, for one), so
    // no format is ever written past its buffer.
    blockLength_ = static_cast<uint32_t>(format.nChannels) * format.wBitsPerSample *
                   format.nSamplesPerSec / 800u;
    ring_.ClearQueued();
    ring_.Restart();

    for (int32_t i = 0; i < WaveBlockRing::kBlockCount; ++i) {
        if (!ring_.Allocate(i, blockLength_) || device_->Prepare(ring_.Header(i)) != kMmNoError) {
            Stop();
            return false;
        }
        ring_.SetPrepared(i, true);
    }
    for (int32_t i = 0; i < WaveBlockRing::kBlockCount; ++i) {
        if (currentSource_->GetStatus() != kOk ||
            currentSource_->Read(ring_.Buffer(i), blockLength_) != kOk) {
            Stop();
            return false;
        }
    }
    for (int32_t i = 0; i < WaveBlockRing::kBlockCount; ++i) {
        if (!ring_.HandOver(i, [this](WaveHeader* header) { return device_->Write(header); })) {
            Stop();
            return false;
        }
    }

    // playing is up before the worker can first look at it. Without a worker the primed blocks
    // play once.
    playing_.store(1);
    worker_.Start([this] { WorkerBody(); });

    if (infoText != nullptr) {
        std::snprintf(infoText, kPlayerTextLength, "%d Channels, %d Hz, %d bits per sample",
                      static_cast<int>(format.nChannels), static_cast<int>(format.nSamplesPerSec),
                      static_cast<int>(format.wBitsPerSample));
    }
    return true;
}

void WaveOutPlayer::DeviceCallback(uint32_t message, void* instance, WaveHeader* header) {
    if (message != kWomDone || instance == nullptr)
        return;
    auto* player = static_cast<WaveOutPlayer*>(instance);
    player->worker_.BlockReturned(player->ring_, header);
}

void WaveOutPlayer::WorkerBody() {
    AudioSource* source = currentSource_;
    if (source == nullptr)
        return;
    bool more = source->HasMoreData();
    if (!worker_.ShouldRun())
        return;
    while (playing_.load() == 1 && more) {
        if (!ring_.NextReturned()) {
            worker_.WaitForBlock();
        } else {
            Refill();
            more = source->HasMoreData();
        }
        if (!worker_.ShouldRun())
            return;
    }
    // The source ran dry: the worker ends on its own; the blocks it leaves play out.
    worker_.EndOnItsOwn();
}

void WaveOutPlayer::Refill() {
    const int32_t k = ring_.TakeNext();
    if (currentSource_ == nullptr || !ring_.HasBuffer(k) || currentSource_->GetStatus() != kOk ||
        currentSource_->Read(ring_.Buffer(k), blockLength_) != kOk)
        return;
    ring_.HandOver(k, [this](WaveHeader* header) { return device_->Write(header); });
}

void WaveOutPlayer::Stop() {
    worker_.Stop();
    if (device_) {
        playing_.store(0);
        ring_.ReturnAndUnprepare(*device_, platform_.sync);
        device_->Close();
        device_.reset();
    }
    playing_.store(0);
    ring_.FreeAll();

    fileSource_.reset();
    sineSource_.reset();
    currentSource_ = nullptr;
}

void WaveOutPlayer::Shutdown() {
    Stop();
    worker_.CloseExitEvent();
}

}  // namespace zelk
