#pragma once

// Threads, events and sleeping, as the player's and recorder's workers need them.

#include <cstdint>
#include <functional>
#include <memory>

namespace zelk {

inline constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

class Event {
  public:
    virtual ~Event() = default;
    virtual void Set() = 0;
    virtual void Reset() = 0;
    // True when the event was signalled within the time; an auto-reset event is reset by it.
    virtual bool Wait(uint32_t timeoutMs) = 0;
};

class Thread {
  public:
    // A thread still running at destruction is waited for.
    virtual ~Thread() = default;
    // Waits for the thread's body to return.
    virtual void Join() = 0;
};

class Sync {
  public:
    virtual ~Sync() = default;
    virtual std::unique_ptr<Event> NewEvent(bool manualReset, bool initiallySet) = 0;
    // Null when the thread cannot be started.
    virtual std::unique_ptr<Thread> StartThread(std::function<void()> body) = 0;
    virtual void Sleep(uint32_t milliseconds) = 0;
};

}  // namespace zelk
