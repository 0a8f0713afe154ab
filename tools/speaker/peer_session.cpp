#include "peer_session.h"

#include "peer/peer_messages.h"
#include "platform/posix/close_on_signal.h"
#include "platform/posix/window_socket.h"

namespace speaker {

namespace {

constexpr uintptr_t kTickTimer = 1;
constexpr uint32_t kTickMs = 50;
constexpr intptr_t kInterrupted = 2;
constexpr intptr_t kVerdictSucceeded = 0;
constexpr intptr_t kVerdictFailed = 1;

}  // namespace

PeerSession::PeerSession(const std::string& runtimeFolder) : windowing_(runtimeFolder) {}

PeerSession::~PeerSession() {
    if (peer_ != zelk::kNoWindow)
        windowing_.CloseWindow(peer_);
}

bool PeerSession::FindWorker() {
    worker_ = windowing_.FindWindowByTitle(zelk::WORKER_WINDOW_TITLE);
    return worker_ != zelk::kNoWindow;
}

bool PeerSession::WorkerAlive() {
    return windowing_.FindWindowByTitle(zelk::WORKER_WINDOW_TITLE) != zelk::kNoWindow;
}

bool PeerSession::PostToWorker(uint32_t message, uint32_t wParam, int32_t lParam) {
    return worker_ != zelk::kNoWindow && windowing_.Post(worker_, message, wParam, lParam);
}

bool PeerSession::IsWorkerControlEnabled(int controlId) {
    return windowing_.IsControlEnabled(worker_, controlId);
}

bool PeerSession::OpenPeerWindow(std::string* error) {
    if (peer_ != zelk::kNoWindow)
        return true;
    if (zelk::Failed(windowing_.OpenWindow(zelk::PEER_WINDOW_TITLE, this, &peer_))) {
        peer_ = zelk::kNoWindow;
        *error = "cannot take the window \"" + std::string(zelk::PEER_WINDOW_TITLE) +
                 "\": " + windowing_.lastError() + " (is another speaker watching?)";
        return false;
    }
    zelk::posix::PostCloseOnSignals(
        zelk::posix::WindowSocketPath(windowing_.runtimeFolder(), zelk::PEER_WINDOW_TITLE));
    return true;
}

PeerSession::Outcome PeerSession::Listen(
    const std::function<Verdict(const zelk::posix::ChannelMessage&)>& onMessage,
    const std::function<Verdict()>& onTick) {
    if (peer_ == zelk::kNoWindow || !windowing_.SetTimer(peer_, kTickTimer, kTickMs))
        return Outcome::kBroken;
    onMessage_ = &onMessage;
    onTick_ = &onTick;
    const intptr_t result = windowing_.RunModal(peer_);
    windowing_.KillTimer(peer_, kTickTimer);
    onMessage_ = nullptr;
    onTick_ = nullptr;
    switch (result) {
        case kVerdictSucceeded:
            return Outcome::kSucceeded;
        case kVerdictFailed:
            return Outcome::kFailed;
        case kInterrupted:
            return Outcome::kInterrupted;
        default:
            return Outcome::kBroken;
    }
}

intptr_t PeerSession::OnMessage(uint32_t message, uint32_t wParam, int32_t lParam) {
    if (onMessage_ == nullptr || onTick_ == nullptr)
        return 0;
    Verdict verdict;
    if (message == zelk::kWmClose) {
        windowing_.EndModal(peer_, kInterrupted);
        return 0;
    }
    if (message == zelk::kWmTimer && wParam == kTickTimer)
        verdict = (*onTick_)();
    else
        verdict = (*onMessage_)(zelk::posix::ChannelMessage{message, wParam, lParam});
    if (verdict != Verdict::kContinue)
        windowing_.EndModal(peer_,
                            verdict == Verdict::kSucceeded ? kVerdictSucceeded : kVerdictFailed);
    return 0;
}

double PeerSession::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

}  // namespace speaker
