#include "platform/sim/sim_windowing.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace zelk::sim {

namespace {

constexpr int64_t kUsPerMs = 1000;

// The titles the platform's message channel accepts: 1 to 64 characters, no '/', not "." or "..".
bool IsValidTitle(const char* title) {
    if (title == nullptr)
        return false;
    const size_t length = std::strlen(title);
    if (length == 0 || length > SimWindowing::kMaxTitleLength)
        return false;
    if (std::strchr(title, '/') != nullptr)
        return false;
    return std::strcmp(title, ".") != 0 && std::strcmp(title, "..") != 0;
}

}  // namespace

SimWindowing::SimWindowing(VirtualClock& clock) : clock_(clock) {}

SimWindowing::~SimWindowing() {
    std::vector<WindowHandle> open;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, window] : windows_)
            open.push_back(handle);
    }
    for (WindowHandle handle : open)
        CloseWindow(handle);
}

Status SimWindowing::OpenWindow(const char* title, WindowHandler* handler, WindowHandle* window) {
    if (window == nullptr)
        return kPointer;
    if (handler == nullptr || !IsValidTitle(title))
        return kInvalidArg;
    std::lock_guard lock(mutex_);
    for (const auto& [handle, existing] : windows_) {
        if (existing.title == title)
            return kFail;
    }
    const WindowHandle handle = nextHandle_++;
    Window& created = windows_[handle];
    created.title = title;
    created.handler = handler;
    *window = handle;
    return kOk;
}

void SimWindowing::CloseWindow(WindowHandle window) {
    std::map<uintptr_t, VirtualClock::TaskId> timers;
    {
        std::lock_guard lock(mutex_);
        auto it = windows_.find(window);
        if (it == windows_.end())
            return;
        timers = std::move(it->second.timers);
        windows_.erase(it);
        std::erase_if(queue_, [window](const Message& m) { return m.window == window; });
        std::erase_if(heldTimers_, [window](const auto& held) { return held.first == window; });
    }
    for (const auto& [id, task] : timers)
        clock_.Cancel(task);
}

WindowHandle SimWindowing::FindWindowByTitle(const char* title) {
    if (title == nullptr)
        return kNoWindow;
    std::lock_guard lock(mutex_);
    for (const auto& [handle, window] : windows_) {
        if (window.title == title)
            return handle;
    }
    return kNoWindow;
}

bool SimWindowing::Post(WindowHandle window, uint32_t message, uint32_t wParam, int32_t lParam) {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(window);
    if (it == windows_.end() || it->second.queued >= queueLimit_)
        return false;
    ++it->second.queued;
    queue_.push_back(Message{window, message, wParam, lParam});
    return true;
}

bool SimWindowing::PopMessage(Message* message, WindowHandler** handler) {
    std::lock_guard lock(mutex_);
    if (queue_.empty())
        return false;
    *message = queue_.front();
    queue_.pop_front();
    // Messages of closed windows were dropped with the window.
    Window& target = windows_.at(message->window);
    --target.queued;
    *handler = target.handler;
    return true;
}

void SimWindowing::CallHandler(WindowHandler* handler, uint32_t message, uint32_t wParam,
                               int32_t lParam) {
    {
        std::lock_guard lock(mutex_);
        ++handlersRunning_;
    }
    handler->OnMessage(message, wParam, lParam);
    {
        std::lock_guard lock(mutex_);
        --handlersRunning_;
    }
    DeliverHeldTimers();
}

void SimWindowing::DeliverHeldTimers() {
    for (;;) {
        WindowHandler* handler = nullptr;
        uintptr_t id = 0;
        {
            std::lock_guard lock(mutex_);
            if (handlersRunning_ > 0 || heldTimers_.empty())
                return;
            const auto [window, heldId] = heldTimers_.front();
            heldTimers_.pop_front();
            auto it = windows_.find(window);
            if (it == windows_.end() || it->second.timers.count(heldId) == 0)
                continue;
            handler = it->second.handler;
            id = heldId;
        }
        CallHandler(handler, kWmTimer, static_cast<uint32_t>(id), 0);
    }
}

size_t SimWindowing::DispatchPending() {
    size_t delivered = 0;
    Message message{};
    WindowHandler* handler = nullptr;
    while (PopMessage(&message, &handler)) {
        CallHandler(handler, message.message, message.wParam, message.lParam);
        ++delivered;
    }
    return delivered;
}

intptr_t SimWindowing::RunModal(WindowHandle window) {
    {
        std::lock_guard lock(mutex_);
        auto it = windows_.find(window);
        if (it == windows_.end() || it->second.inModal)
            return -1;
        it->second.inModal = true;
    }
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            auto it = windows_.find(window);
            if (it == windows_.end())
                return -1;  // closed from inside its own loop
            if (it->second.endRequested) {
                it->second.endRequested = false;
                it->second.inModal = false;
                return it->second.modalResult;
            }
        }
        Message message{};
        WindowHandler* handler = nullptr;
        if (PopMessage(&message, &handler)) {
            CallHandler(handler, message.message, message.wParam, message.lParam);
            continue;
        }
        // Nothing queued: let time run to the next thing that is due.
        const int64_t next = clock_.NextDueUs();
        const int64_t before = clock_.NowUs();
        if (next >= 0)
            clock_.AdvanceTo(std::max(next, before));
        const bool moved = next >= 0 && (clock_.NextDueUs() != next || clock_.NowUs() != before ||
                                         PendingCount() != 0);
        if (!moved) {
            // Nothing at all is pending (or nothing can run from here): the loop would wait
            // forever.
            std::lock_guard lock(mutex_);
            auto it = windows_.find(window);
            if (it != windows_.end()) {
                if (it->second.endRequested) {
                    it->second.endRequested = false;
                    it->second.inModal = false;
                    return it->second.modalResult;
                }
                it->second.inModal = false;
            }
            return -1;
        }
    }
}

void SimWindowing::EndModal(WindowHandle window, intptr_t result) {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(window);
    if (it == windows_.end())
        return;
    it->second.endRequested = true;
    it->second.modalResult = result;
}

void SimWindowing::DeliverTimer(WindowHandle window, uintptr_t id) {
    WindowHandler* handler = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = windows_.find(window);
        if (it == windows_.end() || it->second.timers.count(id) == 0)
            return;
        if (handlersRunning_ > 0) {
            const std::pair<WindowHandle, uintptr_t> timer{window, id};
            if (std::find(heldTimers_.begin(), heldTimers_.end(), timer) == heldTimers_.end())
                heldTimers_.push_back(timer);
            return;
        }
        const int64_t nowUs = clock_.NowUs();
        auto last = it->second.lastTimerUs.find(id);
        if (last != it->second.lastTimerUs.end() && last->second == nowUs)
            return;
        it->second.lastTimerUs[id] = nowUs;
        handler = it->second.handler;
    }
    CallHandler(handler, kWmTimer, static_cast<uint32_t>(id), 0);
}

bool SimWindowing::SetTimer(WindowHandle window, uintptr_t id, uint32_t periodMs) {
    // A period of 0 would be due at once forever; the platform treats very short periods as its
    // shortest one.
    const int64_t periodUs = static_cast<int64_t>(std::max<uint32_t>(periodMs, 1)) * kUsPerMs;
    VirtualClock::TaskId previous = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = windows_.find(window);
        if (it == windows_.end())
            return false;
        auto timer = it->second.timers.find(id);
        if (timer != it->second.timers.end()) {
            previous = timer->second;
            it->second.timers.erase(timer);
        }
    }
    if (previous != 0)
        clock_.Cancel(previous);
    const VirtualClock::TaskId task =
        clock_.Schedule(clock_.NowUs() + periodUs, periodUs, VirtualClock::Kind::kMessage,
                        [this, window, id] { DeliverTimer(window, id); });
    std::lock_guard lock(mutex_);
    auto it = windows_.find(window);
    if (it == windows_.end()) {
        clock_.Cancel(task);
        return false;
    }
    it->second.timers[id] = task;
    return true;
}

void SimWindowing::KillTimer(WindowHandle window, uintptr_t id) {
    VirtualClock::TaskId task = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = windows_.find(window);
        if (it == windows_.end())
            return;
        auto timer = it->second.timers.find(id);
        if (timer == it->second.timers.end())
            return;
        task = timer->second;
        it->second.timers.erase(timer);
        std::erase(heldTimers_, std::pair<WindowHandle, uintptr_t>{window, id});
    }
    clock_.Cancel(task);
}

void SimWindowing::EnableControl(WindowHandle window, int controlId, bool enable) {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(window);
    if (it != windows_.end())
        it->second.controls[controlId] = enable;
}

bool SimWindowing::IsControlEnabled(WindowHandle window, int controlId) {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(window);
    if (it == windows_.end())
        return false;
    auto control = it->second.controls.find(controlId);
    return control == it->second.controls.end() || control->second;
}

size_t SimWindowing::PendingCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void SimWindowing::SetQueueLimit(size_t limit) {
    std::lock_guard lock(mutex_);
    queueLimit_ = limit;
}

bool SimWindowing::HasTimer(WindowHandle window, uintptr_t id) const {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(window);
    return it != windows_.end() && it->second.timers.count(id) != 0;
}

}  // namespace zelk::sim
