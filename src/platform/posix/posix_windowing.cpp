#include "platform/posix/posix_windowing.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <deque>
#include <utility>
#include <vector>

#include "platform/posix/channel_message.h"
#include "platform/posix/control_state_file.h"
#include "platform/posix/window_socket.h"

namespace zelk::posix {

namespace {

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kUsPerMs = 1000;
// Real-time timers tick on a grid of their own, as the platform's tick on the system's timer tick:
// half a grid step past every kTimerGridMs of the monotonic clock (at the windowing's speed).
constexpr int64_t kTimerGridMs = 10;
// Datagrams taken in one go before the timers get their turn.
constexpr int kDatagramBatch = 64;

int64_t MonotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

timespec ToTimespec(int64_t ns) {
    timespec value{};
    value.tv_sec = static_cast<time_t>(ns / 1000000000);
    value.tv_nsec = static_cast<long>(ns % 1000000000);
    return value;
}

int64_t FromTimespec(const timespec& value) {
    return static_cast<int64_t>(value.tv_sec) * 1000000000 + value.tv_nsec;
}

}  // namespace

struct PosixWindowing::Timer {
    uint64_t generation = 0;
    int64_t periodNs = 0;
    int64_t lastUs = -1;            // virtual time: when its last message went out
    UniqueFd fd;                    // real time
    SteppedClock::TaskId task = 0;  // virtual time
};

struct PosixWindowing::Window {
    std::string title;
    std::string path;
    bool own = false;
    // Own windows only.
    UniqueFd socket;
    WindowHandler* handler = nullptr;
    std::map<uintptr_t, Timer> timers;
    std::map<int, bool> controls;
    bool inModal = false;
    bool endRequested = false;
    bool closed = false;  // closed from inside its own modal loop; freed when the loop returns
    intptr_t modalResult = 0;
};

PosixWindowing::PosixWindowing(std::string runtimeFolder, double timerSpeed)
    : folder_(std::move(runtimeFolder)),
      clock_(nullptr),
      timerSpeed_(timerSpeed > 0.0 ? timerSpeed : 1.0),
      sender_(OpenSenderSocket()) {}

PosixWindowing::PosixWindowing(std::string runtimeFolder, SteppedClock* clock)
    : folder_(std::move(runtimeFolder)), clock_(clock), sender_(OpenSenderSocket()) {}

PosixWindowing::~PosixWindowing() {
    std::vector<WindowHandle> own;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, window] : windows_) {
            if (window->own)
                own.push_back(handle);
        }
    }
    for (WindowHandle handle : own)
        CloseWindow(handle);
}

PosixWindowing::Window* PosixWindowing::FindLocked(WindowHandle window) {
    auto it = windows_.find(window);
    return it == windows_.end() || it->second->closed ? nullptr : it->second.get();
}

std::string PosixWindowing::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

Status PosixWindowing::OpenWindow(const char* title, WindowHandler* handler, WindowHandle* window) {
    if (window == nullptr)
        return kPointer;
    if (handler == nullptr) {
        std::lock_guard lock(mutex_);
        lastError_ = "a window needs a handler";
        return kInvalidArg;
    }
    UniqueFd socket;
    std::string error;
    const Status status = BindWindowSocket(folder_, title, &socket, &error);
    std::lock_guard lock(mutex_);
    if (Failed(status)) {
        lastError_ = error;
        return status;
    }
    auto created = std::make_unique<Window>();
    created->title = title;
    created->path = WindowSocketPath(folder_, title);
    created->own = true;
    created->socket = std::move(socket);
    created->handler = handler;
    // The title is ours now; a state left by an earlier holder no longer applies.
    ::unlink(ControlStatePath(folder_, title).c_str());
    // A remote handle to the same title (the earlier holder) is forgotten.
    std::erase_if(windows_, [&](const auto& entry) {
        return !entry.second->own && entry.second->title == created->title;
    });
    const WindowHandle handle = nextHandle_++;
    windows_[handle] = std::move(created);
    *window = handle;
    return kOk;
}

void PosixWindowing::StopTimer(Timer& timer) {
    if (timer.task != 0 && clock_ != nullptr)
        clock_->Cancel(timer.task);
    timer.task = 0;
    timer.fd.Reset();
}

void PosixWindowing::CloseWindow(WindowHandle window) {
    std::map<uintptr_t, Timer> timers;
    {
        std::lock_guard lock(mutex_);
        auto it = windows_.find(window);
        if (it == windows_.end() || it->second->closed)
            return;
        Window& closing = *it->second;
        if (closing.own) {
            timers = std::move(closing.timers);
            closing.timers.clear();
            ::unlink(closing.path.c_str());
            ::unlink(ControlStatePath(folder_, closing.title).c_str());
        }
        if (closing.inModal) {
            // Its loop is still running on this thread: end it, free the window afterwards.
            closing.closed = true;
            closing.endRequested = true;
            closing.modalResult = -1;
        } else {
            windows_.erase(it);
        }
    }
    for (auto& [id, timer] : timers)
        StopTimer(timer);
}

WindowHandle PosixWindowing::FindWindowByTitle(const char* title) {
    if (!IsValidWindowTitle(title))
        return kNoWindow;
    const std::string wanted = title;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, window] : windows_) {
            if (window->own && !window->closed && window->title == wanted)
                return handle;
        }
    }
    const std::string path = WindowSocketPath(folder_, wanted);
    if (ProbeWindowSocket(path) != SocketLiveness::kLive)
        return kNoWindow;
    std::lock_guard lock(mutex_);
    // One handle per title found, however often it is looked up.
    for (const auto& [handle, window] : windows_) {
        if (!window->own && window->title == wanted)
            return handle;
    }
    auto found = std::make_unique<Window>();
    found->title = wanted;
    found->path = path;
    const WindowHandle handle = nextHandle_++;
    windows_[handle] = std::move(found);
    return handle;
}

bool PosixWindowing::Post(WindowHandle window, uint32_t message, uint32_t wParam, int32_t lParam) {
    std::string path;
    {
        std::lock_guard lock(mutex_);
        Window* target = FindLocked(window);
        if (target == nullptr)
            return false;
        path = target->path;
    }
    return SendChannelMessage(sender_.get(), path, ChannelMessage{message, wParam, lParam});
}

bool PosixWindowing::Ended(WindowHandle handle) {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(handle);
    return it == windows_.end() || it->second->endRequested;
}

intptr_t PosixWindowing::RunModal(WindowHandle window) {
    {
        std::lock_guard lock(mutex_);
        Window* target = FindLocked(window);
        if (target == nullptr || !target->own || target->inModal)
            return -1;
        target->inModal = true;
        target->endRequested = false;
    }
    const intptr_t result =
        clock_ != nullptr ? RunModalVirtualTime(window) : RunModalRealTime(window);
    std::lock_guard lock(mutex_);
    auto it = windows_.find(window);
    if (it == windows_.end())
        return -1;
    if (it->second->closed) {
        windows_.erase(it);
        return -1;
    }
    it->second->inModal = false;
    it->second->endRequested = false;
    return result;
}

bool PosixWindowing::DispatchDatagrams(WindowHandle handle, int socket, int limit) {
    for (int taken = 0; taken < limit; ++taken) {
        if (Ended(handle))
            return true;
        ChannelMessage message;
        switch (ReceiveChannelMessage(socket, &message)) {
            case ReceiveResult::kEmpty:
                return true;
            case ReceiveResult::kFailed:
                return false;
            case ReceiveResult::kDropped:
                continue;
            case ReceiveResult::kMessage:
                break;
        }
        if (message.message == kWmTimer)
            continue;
        WindowHandler* handler = nullptr;
        {
            std::lock_guard lock(mutex_);
            Window* target = FindLocked(handle);
            if (target == nullptr)
                return true;
            handler = target->handler;
        }
        CallHandler(handler, message.message, message.wParam, message.lParam);
    }
    return true;
}

intptr_t PosixWindowing::RunModalRealTime(WindowHandle handle) {
    std::vector<pollfd> waits;
    std::vector<std::pair<uintptr_t, uint64_t>> timerOfWait;  // id and generation per timer fd
    for (;;) {
        waits.clear();
        timerOfWait.clear();
        {
            std::lock_guard lock(mutex_);
            auto it = windows_.find(handle);
            if (it == windows_.end())
                return -1;
            Window& window = *it->second;
            if (window.endRequested)
                return window.modalResult;
            waits.push_back(pollfd{window.socket.get(), POLLIN, 0});
            for (const auto& [id, timer] : window.timers) {
                waits.push_back(pollfd{timer.fd.get(), POLLIN, 0});
                timerOfWait.emplace_back(id, timer.generation);
            }
        }
        if (::poll(waits.data(), waits.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if ((waits[0].revents & (POLLERR | POLLNVAL)) != 0)
            return -1;

        // The expirations are read before any handler runs: a handler may kill a timer, and with
        // it the descriptor polled here. However many expirations a timer reports, it gets one
        // message.
        struct Due {
            int64_t lastNs;  // when its latest expiration fell due
            uintptr_t id;
            uint64_t generation;
        };
        std::vector<Due> due;
        const int64_t nowNs = MonotonicNs();
        for (size_t i = 1; i < waits.size(); ++i) {
            if ((waits[i].revents & POLLIN) == 0)
                continue;
            uint64_t count = 0;
            if (::read(waits[i].fd, &count, sizeof count) != sizeof count || count == 0)
                continue;
            itimerspec setting{};
            ::timerfd_gettime(waits[i].fd, &setting);
            // The next expiration is it_value away; the latest one read was one period before.
            const int64_t lastNs =
                nowNs + FromTimespec(setting.it_value) - FromTimespec(setting.it_interval);
            due.push_back(Due{lastNs, timerOfWait[i - 1].first, timerOfWait[i - 1].second});
        }
        std::stable_sort(due.begin(), due.end(),
                         [](const Due& a, const Due& b) { return a.lastNs < b.lastNs; });

        // Posted messages before timer messages, as a message queue has them.
        if ((waits[0].revents & POLLIN) != 0 &&
            !DispatchDatagrams(handle, waits[0].fd, kDatagramBatch))
            return -1;
        for (const Due& timer : due) {
            DeliverTimer(handle, timer.id, timer.generation);
            if (Ended(handle))
                break;
        }
    }
}

intptr_t PosixWindowing::RunModalVirtualTime(WindowHandle handle) {
    for (;;) {
        int socket;
        {
            std::lock_guard lock(mutex_);
            auto it = windows_.find(handle);
            if (it == windows_.end())
                return -1;
            if (it->second->endRequested)
                return it->second->modalResult;
            socket = it->second->socket.get();
        }
        pollfd wait{socket, POLLIN, 0};
        const int ready = ::poll(&wait, 1, 0);
        if (ready < 0 && errno != EINTR)
            return -1;
        if (ready > 0) {
            if ((wait.revents & (POLLERR | POLLNVAL)) != 0 ||
                !DispatchDatagrams(handle, socket, kDatagramBatch))
                return -1;
            continue;
        }
        const int64_t next = clock_->NextDueUs();
        if (next >= 0) {
            clock_->AdvanceTo(std::max(next, clock_->NowUs()));
            continue;
        }
        // Nothing is due: only a datagram can move things on.
        wait.revents = 0;
        if (::poll(&wait, 1, -1) < 0 && errno != EINTR)
            return -1;
    }
}

void PosixWindowing::CallHandler(WindowHandler* handler, uint32_t message, uint32_t wParam,
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

void PosixWindowing::DeliverHeldTimers() {
    for (;;) {
        HeldTimer held;
        {
            std::lock_guard lock(mutex_);
            if (handlersRunning_ > 0 || heldTimers_.empty())
                return;
            held = heldTimers_.front();
            heldTimers_.pop_front();
        }
        DeliverTimer(held.window, held.id, held.generation);
    }
}

void PosixWindowing::DeliverTimer(WindowHandle handle, uintptr_t id, uint64_t generation) {
    WindowHandler* handler = nullptr;
    {
        std::lock_guard lock(mutex_);
        Window* window = FindLocked(handle);
        if (window == nullptr || window->endRequested)
            return;
        auto timer = window->timers.find(id);
        if (timer == window->timers.end() || timer->second.generation != generation)
            return;
        if (clock_ != nullptr) {
            if (handlersRunning_ > 0) {
                // Due while a handler runs (it advanced the clock): once it has returned.
                const HeldTimer held{handle, id, generation};
                if (std::find(heldTimers_.begin(), heldTimers_.end(), held) == heldTimers_.end())
                    heldTimers_.push_back(held);
                return;
            }
            // Expirations the clock catches up on at one instant are one message.
            const int64_t nowUs = clock_->NowUs();
            if (timer->second.lastUs == nowUs)
                return;
            timer->second.lastUs = nowUs;
        }
        handler = window->handler;
    }
    CallHandler(handler, kWmTimer, static_cast<uint32_t>(id), 0);
}

void PosixWindowing::EndModal(WindowHandle window, intptr_t result) {
    std::lock_guard lock(mutex_);
    Window* target = FindLocked(window);
    if (target == nullptr || !target->own)
        return;
    target->endRequested = true;
    target->modalResult = result;
}

bool PosixWindowing::SetTimer(WindowHandle window, uintptr_t id, uint32_t periodMs) {
    const int64_t period = std::max<int64_t>(periodMs, 1);
    Timer previous;
    Timer timer;
    {
        std::lock_guard lock(mutex_);
        Window* target = FindLocked(window);
        if (target == nullptr || !target->own)
            return false;
        auto existing = target->timers.find(id);
        if (existing != target->timers.end()) {
            previous = std::move(existing->second);
            target->timers.erase(existing);
        }
        timer.generation = nextGeneration_++;
    }
    StopTimer(previous);
    timer.periodNs =
        std::max<int64_t>(std::llround(static_cast<double>(period * kNsPerMs) / timerSpeed_), 1);
    if (clock_ != nullptr) {
        const int64_t periodUs = period * kUsPerMs;
        timer.task = clock_->ScheduleMessage(clock_->NowUs() + periodUs, periodUs,
                                             [this, window, id, generation = timer.generation] {
                                                 DeliverTimer(window, id, generation);
                                             });
    } else {
        timer.fd.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
        // The first tick a period from now or up to one tick of the grid later, on the grid.
        const int64_t gridNs = std::max<int64_t>(
            std::llround(static_cast<double>(kTimerGridMs * kNsPerMs) / timerSpeed_), 2);
        const int64_t earliest = MonotonicNs() + timer.periodNs;
        const int64_t offGrid = (earliest - gridNs / 2) % gridNs;
        const int64_t first = offGrid == 0 ? earliest : earliest + gridNs - offGrid;
        itimerspec setting{};
        setting.it_value = ToTimespec(first);
        setting.it_interval = ToTimespec(timer.periodNs);
        if (!timer.fd.valid() ||
            ::timerfd_settime(timer.fd.get(), TFD_TIMER_ABSTIME, &setting, nullptr) != 0)
            return false;
    }
    std::lock_guard lock(mutex_);
    Window* target = FindLocked(window);
    if (target == nullptr) {
        if (timer.task != 0)
            clock_->Cancel(timer.task);
        return false;
    }
    target->timers[id] = std::move(timer);
    return true;
}

void PosixWindowing::KillTimer(WindowHandle window, uintptr_t id) {
    Timer killed;
    {
        std::lock_guard lock(mutex_);
        Window* target = FindLocked(window);
        if (target == nullptr)
            return;
        auto timer = target->timers.find(id);
        if (timer == target->timers.end())
            return;
        killed = std::move(timer->second);
        target->timers.erase(timer);
    }
    StopTimer(killed);
}

void PosixWindowing::EnableControl(WindowHandle window, int controlId, bool enable) {
    std::lock_guard lock(mutex_);
    Window* target = FindLocked(window);
    if (target == nullptr || !target->own)
        return;
    target->controls[controlId] = enable;
    WriteControlState(ControlStatePath(folder_, target->title), target->controls);
}

bool PosixWindowing::IsControlEnabled(WindowHandle window, int controlId) {
    std::map<int, bool> controls;
    {
        std::lock_guard lock(mutex_);
        Window* target = FindLocked(window);
        if (target == nullptr)
            return false;
        if (target->own) {
            auto control = target->controls.find(controlId);
            return control == target->controls.end() || control->second;
        }
        if (!ReadControlState(ControlStatePath(folder_, target->title), &controls))
            return true;
    }
    auto control = controls.find(controlId);
    return control == controls.end() || control->second;
}

}  // namespace zelk::posix
