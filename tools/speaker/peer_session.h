#pragma once

// The speaker tool's side of the channel: finds the worker's window, posts to it, and owns the
// window "Speaker" while it waits for replies.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/posix/channel_message.h"
#include "platform/posix/posix_windowing.h"
#include "platform/windowing.h"

namespace speaker {

class PeerSession : public zelk::WindowHandler {
  public:
    enum class Verdict { kContinue, kSucceeded, kFailed };
    enum class Outcome { kSucceeded, kFailed, kInterrupted, kBroken };

    explicit PeerSession(const std::string& runtimeFolder);
    ~PeerSession() override;

    // False when no live window "zelk" exists.
    bool FindWorker();
    bool WorkerAlive();
    bool PostToWorker(uint32_t message, uint32_t wParam, int32_t lParam);
    // True while nobody has disabled the worker's control.
    bool IsWorkerControlEnabled(int controlId);

    // Takes the window "Speaker"; false with the reason when another peer holds it.
    bool OpenPeerWindow(std::string* error);
    // Runs the window's loop: every message goes to onMessage, and every 50 ms onTick is asked.
    // Ends as soon as either gives a verdict, or when the window is asked to close (SIGINT,
    // SIGTERM): kInterrupted.
    Outcome Listen(const std::function<Verdict(const zelk::posix::ChannelMessage&)>& onMessage,
                   const std::function<Verdict()>& onTick);

    // Seconds since the session began.
    double Elapsed() const;

    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t lParam) override;

  private:
    zelk::posix::PosixWindowing windowing_;
    zelk::WindowHandle worker_ = zelk::kNoWindow;
    zelk::WindowHandle peer_ = zelk::kNoWindow;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    const std::function<Verdict(const zelk::posix::ChannelMessage&)>* onMessage_ = nullptr;
    const std::function<Verdict()>* onTick_ = nullptr;
};

}  // namespace speaker
