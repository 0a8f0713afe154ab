#pragma once

// Wave-out and wave-in doubles. Blocks stay queued until the test completes them; a completion
// runs the owner's callback on the test's thread, as a platform thread would.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wave.h"

namespace zelk::testing {

// What both directions share: the device list, the open device's queue and a log of its calls.
class FakeWaveDevices {
  public:
    std::vector<std::u16string> names;           // one per device id; an empty name reports size 0
    std::map<uint32_t, uint32_t> reportedSizes;  // a size in bytes a device claims instead
    MmResult openResult = kMmNoError;
    int failPrepareAt = -1;  // the n-th Prepare (from 0) fails
    int failQueueAt = -1;    // the n-th Write or AddBuffer (from 0) fails
    int returnAtQueue = -1;  // the block of the n-th Write or AddBuffer (from 0) comes back at once

    uint32_t Count() const { return static_cast<uint32_t>(names.size()); }
    MmResult Size(uint32_t id, uint32_t* bytes) const {
        if (id >= names.size())
            return kMmBadDeviceId;
        if (const auto size = reportedSizes.find(id); size != reportedSizes.end()) {
            *bytes = size->second;
            return kMmNoError;
        }
        *bytes = names[id].empty() ? 0u : static_cast<uint32_t>((names[id].size() + 1) * 2);
        return kMmNoError;
    }
    MmResult Name(uint32_t id, char16_t* name, uint32_t bytes) const {
        if (id >= names.size())
            return kMmBadDeviceId;
        const size_t chars = std::min<size_t>(names[id].size() + 1, bytes / 2);
        std::copy_n(names[id].c_str(), chars, name);
        return kMmNoError;
    }

    // Test side.
    bool IsOpen() {
        std::lock_guard lock(mutex_);
        return open_;
    }
    int OpenCount() {
        std::lock_guard lock(mutex_);
        return openCount_;
    }
    uint32_t OpenedId() {
        std::lock_guard lock(mutex_);
        return openedId_;
    }
    WaveFormatExtensible OpenedFormat() {
        std::lock_guard lock(mutex_);
        return openedFormat_;
    }
    size_t QueuedCount() {
        std::lock_guard lock(mutex_);
        return queue_.size();
    }
    // User values of the blocks handed to the device, in order.
    std::vector<uintptr_t> QueueLog() {
        std::lock_guard lock(mutex_);
        return queueLog_;
    }
    std::vector<uint32_t> QueuedLengths() {
        std::lock_guard lock(mutex_);
        return queuedLengths_;
    }
    int Prepared() {
        std::lock_guard lock(mutex_);
        return prepared_;
    }
    int Unprepared() {
        std::lock_guard lock(mutex_);
        return unprepared_;
    }
    int Resets() {
        std::lock_guard lock(mutex_);
        return resets_;
    }
    bool Started() {
        std::lock_guard lock(mutex_);
        return started_;
    }
    // Bytes of every completed block, in completion order.
    std::vector<uint8_t> Completed() {
        std::lock_guard lock(mutex_);
        return completed_;
    }

  protected:
    MmResult DoOpen(uint32_t id, const WaveFormatExtensible& format, WaveCallback callback,
                    void* instance) {
        std::lock_guard lock(mutex_);
        ++openCount_;
        openedId_ = id;
        openedFormat_ = format;
        if (openResult != kMmNoError)
            return openResult;
        open_ = true;
        callback_ = callback;
        instance_ = instance;
        return kMmNoError;
    }
    MmResult DoPrepare(WaveHeader* header) {
        std::lock_guard lock(mutex_);
        if (prepareCalls_++ == failPrepareAt)
            return kMmNoMemory;
        header->flags |= kWaveHeaderPrepared;
        ++prepared_;
        return kMmNoError;
    }
    MmResult DoUnprepare(WaveHeader* header) {
        std::lock_guard lock(mutex_);
        if ((header->flags & kWaveHeaderInQueue) != 0)
            return kWaveStillPlaying;
        header->flags &= ~kWaveHeaderPrepared;
        ++unprepared_;
        return kMmNoError;
    }
    // message is what the device says when it returns a block.
    MmResult DoQueue(WaveHeader* header, uint32_t message) {
        bool returnNow = false;
        {
            std::lock_guard lock(mutex_);
            const int call = queueCalls_++;
            if (call == failQueueAt || !open_)
                return kMmError;
            if ((header->flags & kWaveHeaderPrepared) == 0)
                return kMmInvalidParam;
            header->flags = (header->flags | kWaveHeaderInQueue) & ~kWaveHeaderDone;
            queue_.push_back(header);
            queueLog_.push_back(header->user);
            queuedLengths_.push_back(header->bufferLength);
            returnNow = call == returnAtQueue;
        }
        // The callback runs before the hand-over returns, as a platform thread may make it.
        if (returnNow)
            CompleteAt(PositionOf(header->user), message, [](WaveHeader*) {});
        return kMmNoError;
    }
    MmResult DoStart(MmResult result) {
        std::lock_guard lock(mutex_);
        if (result == kMmNoError)
            started_ = true;
        return result;
    }
    MmResult DoReset(uint32_t message) {
        std::vector<WaveHeader*> returned;
        {
            std::lock_guard lock(mutex_);
            ++resets_;
            started_ = false;
            returned.assign(queue_.begin(), queue_.end());
            queue_.clear();
            for (WaveHeader* header : returned)
                header->flags = (header->flags & ~kWaveHeaderInQueue) | kWaveHeaderDone;
        }
        for (WaveHeader* header : returned)
            Return(message, header);
        return kMmNoError;
    }
    MmResult DoClose() {
        std::lock_guard lock(mutex_);
        if (!queue_.empty())
            return kWaveStillPlaying;
        open_ = false;
        return kMmNoError;
    }

    // Completes the block at position (0 the oldest); fill, when given, writes its data first.
    template <class Fill>
    bool CompleteAt(size_t position, uint32_t message, Fill fill) {
        WaveHeader* header;
        {
            std::lock_guard lock(mutex_);
            if (position >= queue_.size())
                return false;
            header = queue_[position];
            queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(position));
            fill(header);
            header->flags = (header->flags & ~kWaveHeaderInQueue) | kWaveHeaderDone;
            completed_.insert(completed_.end(), header->data, header->data + header->bufferLength);
        }
        Return(message, header);
        return true;
    }
    size_t PositionOf(uintptr_t user) {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < queue_.size(); ++i) {
            if (queue_[i]->user == user)
                return i;
        }
        return queue_.size();
    }

  private:
    void Return(uint32_t message, WaveHeader* header) {
        WaveCallback callback;
        void* instance;
        {
            std::lock_guard lock(mutex_);
            callback = callback_;
            instance = instance_;
        }
        callback(message, instance, header);
    }

    std::mutex mutex_;
    bool open_ = false;
    bool started_ = false;
    int openCount_ = 0;
    uint32_t openedId_ = 0xFFFFFFFFu;
    WaveFormatExtensible openedFormat_;
    WaveCallback callback_ = nullptr;
    void* instance_ = nullptr;
    std::deque<WaveHeader*> queue_;
    std::vector<uintptr_t> queueLog_;
    std::vector<uint32_t> queuedLengths_;
    std::vector<uint8_t> completed_;
    int prepareCalls_ = 0;
    int queueCalls_ = 0;
    int prepared_ = 0;
    int unprepared_ = 0;
    int resets_ = 0;
};

class FakeWaveOut : public WaveOut, public FakeWaveDevices {
  public:
    uint32_t GetDeviceCount() override { return Count(); }
    MmResult QueryInterfaceSize(uint32_t id, uint32_t* bytes) override { return Size(id, bytes); }
    MmResult QueryInterfaceName(uint32_t id, char16_t* name, uint32_t bytes) override {
        return Name(id, name, bytes);
    }
    MmResult Open(uint32_t id, const WaveFormatExtensible& format, WaveCallback callback,
                  void* instance, std::unique_ptr<WaveOutDevice>* device) override {
        const MmResult result = DoOpen(id, format, callback, instance);
        if (result == kMmNoError)
            *device = std::make_unique<Device>(*this);
        return result;
    }

    // Plays the oldest queued block to its end.
    bool CompleteOne() {
        return CompleteAt(0, kWomDone, [](WaveHeader*) {});
    }
    // Returns one block ahead of its turn.
    bool CompleteBlock(uintptr_t user) {
        return CompleteAt(PositionOf(user), kWomDone, [](WaveHeader*) {});
    }

  private:
    class Device : public WaveOutDevice {
      public:
        explicit Device(FakeWaveOut& owner) : owner_(owner) {}
        MmResult Prepare(WaveHeader* header) override { return owner_.DoPrepare(header); }
        MmResult Unprepare(WaveHeader* header) override { return owner_.DoUnprepare(header); }
        MmResult Write(WaveHeader* header) override { return owner_.DoQueue(header, kWomDone); }
        MmResult Reset() override { return owner_.DoReset(kWomDone); }
        MmResult Close() override { return owner_.DoClose(); }

      private:
        FakeWaveOut& owner_;
    };
};

class FakeWaveIn : public WaveIn, public FakeWaveDevices {
  public:
    MmResult startResult = kMmNoError;

    uint32_t GetDeviceCount() override { return Count(); }
    MmResult QueryInterfaceSize(uint32_t id, uint32_t* bytes) override { return Size(id, bytes); }
    MmResult QueryInterfaceName(uint32_t id, char16_t* name, uint32_t bytes) override {
        return Name(id, name, bytes);
    }
    MmResult Open(uint32_t id, const WaveFormatExtensible& format, WaveCallback callback,
                  void* instance, std::unique_ptr<WaveInDevice>* device) override {
        const MmResult result = DoOpen(id, format, callback, instance);
        if (result == kMmNoError)
            *device = std::make_unique<Device>(*this);
        return result;
    }

    // Fills the oldest queued block with interleaved 16-bit samples (the rest of the block zero)
    // and returns it. Only a started device captures.
    bool CaptureOne(const std::vector<int16_t>& samples) {
        if (!Started())
            return false;
        return CompleteAt(0, kWimData, [&samples](WaveHeader* header) {
            const size_t bytes =
                std::min<size_t>(samples.size() * sizeof(int16_t), header->bufferLength);
            std::memset(header->data, 0, header->bufferLength);
            std::memcpy(header->data, samples.data(), bytes);
            header->bytesRecorded = header->bufferLength;
        });
    }

  private:
    class Device : public WaveInDevice {
      public:
        explicit Device(FakeWaveIn& owner) : owner_(owner) {}
        MmResult Prepare(WaveHeader* header) override { return owner_.DoPrepare(header); }
        MmResult Unprepare(WaveHeader* header) override { return owner_.DoUnprepare(header); }
        MmResult AddBuffer(WaveHeader* header) override { return owner_.DoQueue(header, kWimData); }
        MmResult Start() override { return owner_.DoStart(owner_.startResult); }
        MmResult Reset() override { return owner_.DoReset(kWimData); }
        MmResult Close() override { return owner_.DoClose(); }

      private:
        FakeWaveIn& owner_;
    };
};

}  // namespace zelk::testing
