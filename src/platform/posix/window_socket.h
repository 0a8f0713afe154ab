#pragma once

// The sockets of the message channel. A window titled T is an AF_UNIX datagram socket bound at
// <runtime folder>/T; a window is found when a socket is bound there, and a message is posted as
// one datagram sent without blocking. Receivers take datagrams of exactly 12 bytes from their own
// user only.

#include <string>

#include "platform/posix/channel_message.h"
#include "platform/posix/unique_fd.h"
#include "platform/status.h"

namespace zelk::posix {

// The title is taken by a live window (or by a file that is no window's socket).
inline constexpr Status kTitleTaken = static_cast<Status>(0x800700B7u);

// 1 to 64 characters, no '/', not "." or "..".
bool IsValidWindowTitle(const char* title);
std::string WindowSocketPath(const std::string& folder, const std::string& title);

enum class SocketLiveness {
    kLive,       // a socket is bound there and receives
    kStale,      // a socket file nobody receives on
    kMissing,    // nothing there
    kNotSocket,  // something else there, or the path cannot be reached
};
SocketLiveness ProbeWindowSocket(const std::string& path);

// Binds a non-blocking receiving socket for the title, replacing a stale socket file. The
// check-and-replace is serialised between processes by a lock on the folder. On failure error
// says why.
Status BindWindowSocket(const std::string& folder, const char* title, UniqueFd* socket,
                        std::string* error);

// An unbound non-blocking datagram socket to send from.
UniqueFd OpenSenderSocket();
// False when the datagram cannot be sent at once: a full queue, no receiver, no socket.
bool SendChannelMessage(int senderFd, const std::string& path, const ChannelMessage& message);

enum class ReceiveResult {
    kMessage,  // *message holds the next message
    kDropped,  // a datagram was taken and thrown away (wrong length or another user's)
    kEmpty,    // nothing waiting
    kFailed,
};
ReceiveResult ReceiveChannelMessage(int fd, ChannelMessage* message);

}  // namespace zelk::posix
