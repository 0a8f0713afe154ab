#include "platform/posix/close_on_signal.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/channel_message.h"
#include "platform/windowing.h"

namespace zelk::posix {

namespace {

// Everything the handler needs, prepared beforehand: it may only make async-signal-safe calls.
int g_sender = -1;
sockaddr_un g_address;
socklen_t g_addressLength = 0;
uint8_t g_close[kChannelMessageSize];

void OnSignal(int signal) {
    const int savedErrno = errno;
    const ssize_t sent = ::sendto(g_sender, g_close, sizeof g_close, MSG_DONTWAIT | MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&g_address), g_addressLength);
    if (sent != static_cast<ssize_t>(sizeof g_close)) {
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
    errno = savedErrno;
}

}  // namespace

bool PostCloseOnSignals(const std::string& socketPath) {
    if (socketPath.empty() || socketPath.size() >= sizeof g_address.sun_path)
        return false;
    if (g_sender < 0)
        g_sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (g_sender < 0)
        return false;
    std::memset(&g_address, 0, sizeof g_address);
    g_address.sun_family = AF_UNIX;
    std::memcpy(g_address.sun_path, socketPath.data(), socketPath.size());
    g_addressLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath.size() + 1);
    EncodeChannelMessage(ChannelMessage{kWmClose, 0, 0}, g_close);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
}

}  // namespace zelk::posix
