#include "platform/sim/sim_wave_device.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace zelk::sim {

namespace {

// The stream whose device thread is the calling thread, if any.
thread_local const WaveStream* tlsDelivering = nullptr;

bool IsSubtype(const WaveFormatExtensible& format, const Guid& subtype) {
    return format.wFormatTag == kWaveFormatExtensible && format.SubFormat == subtype;
}

bool ConsistentLayout(const WaveFormatExtensible& format, uint16_t maxChannels) {
    if (format.nChannels == 0 || format.nChannels > maxChannels)
        return false;
    if (format.nSamplesPerSec < 8000 || format.nSamplesPerSec > 192000)
        return false;
    const uint32_t align = static_cast<uint32_t>(format.nChannels) * format.wBitsPerSample / 8u;
    return format.nBlockAlign == align &&
           format.nAvgBytesPerSec == static_cast<uint64_t>(align) * format.nSamplesPerSec;
}

}  // namespace

void WaveFaults::FailNext(WaveOp op, MmResult result, uint32_t skip) {
    std::lock_guard lock(mutex_);
    faults_.push_back({op, result, skip});
}

MmResult WaveFaults::Take(WaveOp op) {
    std::lock_guard lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->op != op)
            continue;
        if (it->skip > 0) {
            --it->skip;
            return kMmNoError;
        }
        const MmResult result = it->result;
        faults_.erase(it);
        return result;
    }
    return kMmNoError;
}

MmResult CheckRenderFormat(const WaveFormatExtensible& format, uint16_t maxChannels) {
    const uint16_t bits = format.wBitsPerSample;
    const bool pcmBits = bits == 8 || bits == 16 || bits == 24 || bits == 32;
    bool ok = false;
    switch (format.wFormatTag) {
        case kWaveFormatPcm:
            ok = pcmBits;
            break;
        case kWaveFormatIeeeFloat:
            ok = bits == 32;
            break;
        case kWaveFormatExtensible:
            if (format.cbSize < 22 || format.wValidBitsPerSample == 0 ||
                format.wValidBitsPerSample > bits) {
                break;
            }
            ok = (IsSubtype(format, kSubtypePcm) && pcmBits) ||
                 (IsSubtype(format, kSubtypeIeeeFloat) && bits == 32);
            break;
        default:
            break;
    }
    return ok && ConsistentLayout(format, maxChannels) ? kMmNoError : kWaveBadFormat;
}

MmResult CheckCaptureFormat(const WaveFormatExtensible& format, uint16_t maxChannels) {
    const bool ok = format.wFormatTag == kWaveFormatPcm && format.wBitsPerSample == 16 &&
                    format.nSamplesPerSec == Room::kSampleRate &&
                    ConsistentLayout(format, std::min<uint16_t>(maxChannels, 2));
    return ok ? kMmNoError : kWaveBadFormat;
}

MmResult QueryNameSize(const std::vector<SimWaveDeviceInfo>& devices, uint32_t deviceId,
                       uint32_t* bytes) {
    if (deviceId >= devices.size())
        return kMmBadDeviceId;
    if (bytes == nullptr)
        return kMmInvalidParam;
    const std::u16string& name = devices[deviceId].interfaceName;
    *bytes = name.empty() ? 0 : static_cast<uint32_t>((name.size() + 1) * sizeof(char16_t));
    return kMmNoError;
}

MmResult QueryName(const std::vector<SimWaveDeviceInfo>& devices, uint32_t deviceId, char16_t* name,
                   uint32_t bytes) {
    if (deviceId >= devices.size())
        return kMmBadDeviceId;
    const std::u16string& text = devices[deviceId].interfaceName;
    if (name == nullptr || bytes < (text.size() + 1) * sizeof(char16_t))
        return kMmInvalidParam;
    std::copy(text.begin(), text.end(), name);
    name[text.size()] = u'\0';
    return kMmNoError;
}

WaveDeviceList::WaveDeviceList(WaveStream::Direction direction, VirtualClock& clock, SimSync& sync,
                               std::vector<SimWaveDeviceInfo> devices)
    : direction_(direction),
      clock_(clock),
      sync_(sync),
      devices_(std::move(devices)),
      opens_(devices_.size(), 0) {}

MmResult WaveDeviceList::Open(uint32_t deviceId, const WaveFormatExtensible& format,
                              WaveCallback callback, void* instance, bool hasOutput,
                              std::shared_ptr<WaveStream>* stream) {
    if (deviceId >= devices_.size())
        return kMmBadDeviceId;
    if (!hasOutput || callback == nullptr)
        return kMmInvalidParam;
    if (const MmResult fault = faults_->Take(WaveOp::kOpen); fault != kMmNoError)
        return fault;
    const SimWaveDeviceInfo& info = devices_[deviceId];
    const bool render = direction_ == WaveStream::Direction::kRender;
    const MmResult checked = render ? CheckRenderFormat(format, info.maxChannels)
                                    : CheckCaptureFormat(format, info.maxChannels);
    if (checked != kMmNoError)
        return checked;

    WaveStream::Setup setup;
    setup.direction = direction_;
    setup.clock = &clock_;
    setup.sync = &sync_;
    setup.room = info.room;
    setup.format = format;
    setup.callback = callback;
    setup.instance = instance;
    setup.faults = faults_;
    setup.openCount = openCount_;
    if (render && !info.dumpPrefix.empty()) {
        std::lock_guard lock(opensMutex_);
        setup.dumpPath = info.dumpPrefix + "-" + std::to_string(++opens_[deviceId]) + ".wav";
    }
    return WaveStream::Open(setup, stream);
}

WaveStream::WaveStream(const Setup& setup)
    : setup_(setup),
      doneMessage_(setup.direction == Direction::kRender ? kWomDone : kWimData),
      started_(setup.direction == Direction::kRender) {}

WaveStream::~WaveStream() = default;

MmResult WaveStream::Open(const Setup& setup, std::shared_ptr<WaveStream>* stream) {
    auto created = std::make_shared<WaveStream>(setup);
    if (!setup.dumpPath.empty())
        created->dump_.Open(setup.dumpPath, setup.format);
    created->wake_ = setup.sync->NewEvent(false, false);
    std::weak_ptr<WaveStream> weak = created;
    created->thread_ = setup.sync->StartThread([weak] {
        if (auto self = weak.lock())
            self->DeliveryLoop();
    });
    if (!created->thread_)
        return kMmNoMemory;

    const int64_t now = setup.clock->NowUs();
    const int64_t firstStep = (now / kDeviceStepUs + 1) * kDeviceStepUs;
    created->task_ =
        setup.clock->Schedule(firstStep, kDeviceStepUs, VirtualClock::Kind::kDevice, [weak] {
            if (auto self = weak.lock())
                self->Step();
        });
    if (setup.openCount)
        setup.openCount->fetch_add(1);
    setup.callback(setup.direction == Direction::kRender ? kWomOpen : kWimOpen, setup.instance,
                   nullptr);
    *stream = std::move(created);
    return kMmNoError;
}

MmResult WaveStream::Prepare(WaveHeader* header) {
    if (header == nullptr || (header->data == nullptr && header->bufferLength != 0))
        return kMmInvalidParam;
    std::lock_guard lock(mutex_);
    if (closed_)
        return kMmInvalidHandle;
    if (const MmResult fault = setup_.faults->Take(WaveOp::kPrepare); fault != kMmNoError)
        return fault;
    header->flags |= kWaveHeaderPrepared;
    return kMmNoError;
}

MmResult WaveStream::Unprepare(WaveHeader* header) {
    if (header == nullptr)
        return kMmInvalidParam;
    std::lock_guard lock(mutex_);
    if (closed_)
        return kMmInvalidHandle;
    if ((header->flags & kWaveHeaderInQueue) != 0)
        return kWaveStillPlaying;
    if (const MmResult fault = setup_.faults->Take(WaveOp::kUnprepare); fault != kMmNoError)
        return fault;
    header->flags &= ~kWaveHeaderPrepared;
    return kMmNoError;
}

MmResult WaveStream::Queue(WaveHeader* header) {
    if (header == nullptr || header->data == nullptr)
        return kMmInvalidParam;
    std::lock_guard lock(mutex_);
    if (closed_)
        return kMmInvalidHandle;
    if ((header->flags & kWaveHeaderPrepared) == 0)
        return kWaveUnprepared;
    if ((header->flags & kWaveHeaderInQueue) != 0)
        return kWaveStillPlaying;
    if (const MmResult fault = setup_.faults->Take(WaveOp::kQueue); fault != kMmNoError)
        return fault;
    header->flags = (header->flags & ~kWaveHeaderDone) | kWaveHeaderInQueue;
    if (setup_.direction == Direction::kCapture)
        header->bytesRecorded = 0;
    queue_.push_back(header);
    return kMmNoError;
}

MmResult WaveStream::Start() {
    std::lock_guard lock(mutex_);
    if (closed_)
        return kMmInvalidHandle;
    if (const MmResult fault = setup_.faults->Take(WaveOp::kStart); fault != kMmNoError)
        return fault;
    started_ = true;
    return kMmNoError;
}

MmResult WaveStream::Reset() {
    {
        std::unique_lock lock(mutex_);
        if (closed_)
            return kMmInvalidHandle;
        if (const MmResult fault = setup_.faults->Take(WaveOp::kReset); fault != kMmNoError)
            return fault;
        // Capture stops, and the block being filled comes back with what was recorded of it so
        // far; playback goes on with whatever is written next.
        if (setup_.direction == Direction::kCapture) {
            if (started_ && filled_ < queue_.size()) {
                const int64_t now = setup_.clock->NowUs();
                const auto elapsedUs = static_cast<uint32_t>(now % kDeviceStepUs);
                const uint32_t frames = static_cast<uint32_t>(static_cast<uint64_t>(elapsedUs) *
                                                              Room::kSampleRate / 1'000'000u);
                FillBlock(now / kDeviceStepUs + 1, queue_[filled_], frames);
                ++filled_;
            }
            started_ = false;
        }
        ReturnAllLocked();
        carry_.clear();
    }
    wake_->Set();
    if (OnDeviceThread())
        return kMmNoError;
    {
        std::unique_lock lock(mutex_);
        WaitDelivered(lock);
    }
    // In virtual time the caller goes on only once the threads woken by the callbacks have
    // dealt with them, as after a step of the clock.
    if (setup_.sync->IsVirtual())
        setup_.sync->Settle();
    return kMmNoError;
}

MmResult WaveStream::Close() {
    if (OnDeviceThread())
        return kMmError;  // not from inside the callback
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return kMmInvalidHandle;
        if (!queue_.empty())
            return kWaveStillPlaying;
        if (const MmResult fault = setup_.faults->Take(WaveOp::kClose); fault != kMmNoError)
            return fault;
        closed_ = true;
        stopping_ = true;
    }
    Shut();
    return kMmNoError;
}

void WaveStream::Abandon() {
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        started_ = false;
        ReturnAllLocked();
        closed_ = true;
        stopping_ = true;
    }
    Shut();
}

void WaveStream::Shut() {
    setup_.clock->Cancel(task_);
    if (setup_.openCount)
        setup_.openCount->fetch_sub(1);
    // The device thread calls back what it still holds, then ends.
    wake_->Set();
    if (OnDeviceThread())
        return;  // dropped from inside its own callback: the thread ends by itself
    thread_->Join();
    dump_.Close();
    setup_.callback(setup_.direction == Direction::kRender ? kWomClose : kWimClose, setup_.instance,
                    nullptr);
}

void WaveStream::Step() {
    const int64_t step = setup_.clock->NowUs() / kDeviceStepUs;
    std::lock_guard lock(mutex_);
    if (closed_)
        return;
    if (setup_.direction == Direction::kRender) {
        if (queue_.empty())
            return;
        WaveHeader* header = queue_.front();
        queue_.pop_front();
        // Woken first: a device thread takes a while to come up, and finds the block returned
        // once this lock is let go.
        wake_->Set();
        PlayBlock(step, *header);
        ReturnLocked(header);
        return;
    }

    // Capture: the first block not yet filled takes this step's recording and waits for the step
    // it is due back at; the filled blocks due by now come back, in order.
    if (started_ && filled_ < queue_.size()) {
        FillBlock(step, queue_[filled_], Room::kSamplesPerStep);
        const int64_t delay = setup_.room != nullptr ? setup_.room->NextCaptureDelay() : 0;
        lastDueStep_ = std::max(step + delay, lastDueStep_);
        dueSteps_.push_back(lastDueStep_);
        ++filled_;
    }
    if (filled_ == 0 || dueSteps_.front() > step)
        return;
    wake_->Set();
    while (filled_ > 0 && dueSteps_.front() <= step) {
        ReturnLocked(queue_.front());
        queue_.pop_front();
        dueSteps_.erase(dueSteps_.begin());
        --filled_;
    }
}

void WaveStream::PlayBlock(int64_t step, const WaveHeader& header) {
    dump_.Append(header.data, header.bufferLength);
    const uint32_t align = setup_.format.nBlockAlign;
    // Whole frames go to the room; a frame split across blocks waits for its end.
    const uint8_t* frames = header.data;
    size_t bytes = header.bufferLength;
    if (!carry_.empty() || bytes % align != 0) {
        frames_.assign(carry_.begin(), carry_.end());
        frames_.insert(frames_.end(), header.data, header.data + header.bufferLength);
        const size_t whole = frames_.size() / align * align;
        carry_.assign(frames_.begin() + static_cast<std::ptrdiff_t>(whole), frames_.end());
        frames = frames_.data();
        bytes = whole;
    }
    if (setup_.room != nullptr)
        setup_.room->Play(step, setup_.format, frames, static_cast<uint32_t>(bytes / align));
}

void WaveStream::FillBlock(int64_t step, WaveHeader* header, uint32_t maxFrames) {
    const uint16_t channels = setup_.format.nChannels;
    const uint32_t frames = std::min(
        {header->bufferLength / setup_.format.nBlockAlign, Room::kSamplesPerStep, maxFrames});
    samples_.assign(static_cast<size_t>(frames) * channels, 0);
    if (setup_.room != nullptr)
        setup_.room->Capture(step, samples_.data(), frames, channels);
    const uint32_t bytes = frames * setup_.format.nBlockAlign;
    if (bytes > 0)
        std::memcpy(header->data, samples_.data(), bytes);
    header->bytesRecorded = bytes;
}

void WaveStream::ReturnLocked(WaveHeader* header) {
    header->flags = (header->flags & ~kWaveHeaderInQueue) | kWaveHeaderDone;
    returned_.push_back(header);
    ++returnedCount_;
}

void WaveStream::ReturnAllLocked() {
    filled_ = 0;
    dueSteps_.clear();
    while (!queue_.empty()) {
        ReturnLocked(queue_.front());
        queue_.pop_front();
    }
}

void WaveStream::WaitDelivered(std::unique_lock<std::mutex>& lock) {
    if (OnDeviceThread())
        return;
    const uint64_t target = returnedCount_;
    deliveredChanged_.wait(lock, [this, target] { return deliveredCount_ >= target; });
}

bool WaveStream::OnDeviceThread() const {
    return tlsDelivering == this;
}

void WaveStream::DeliveryLoop() {
    tlsDelivering = this;
    for (;;) {
        wake_->Wait(kWaitForever);
        for (;;) {
            WaveHeader* header = nullptr;
            {
                std::lock_guard lock(mutex_);
                if (returned_.empty())
                    break;
                header = returned_.front();
                returned_.pop_front();
            }
            setup_.callback(doneMessage_, setup_.instance, header);
            std::lock_guard lock(mutex_);
            ++deliveredCount_;
            deliveredChanged_.notify_all();
        }
        std::lock_guard lock(mutex_);
        if (stopping_ && returned_.empty())
            break;
    }
    tlsDelivering = nullptr;
}

}  // namespace zelk::sim
