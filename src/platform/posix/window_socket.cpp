#include "platform/posix/window_socket.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/runtime_folder.h"

namespace zelk::posix {

namespace {

bool MakeAddress(const std::string& path, sockaddr_un* address, socklen_t* length) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, path.data(), path.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

// Closes every descriptor a sender passed along; the channel carries none.
void CloseReceivedDescriptors(msghdr* header) {
    for (cmsghdr* c = CMSG_FIRSTHDR(header); c != nullptr; c = CMSG_NXTHDR(header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t bytes = c->cmsg_len - CMSG_LEN(0);
        const unsigned char* data = CMSG_DATA(c);
        for (size_t i = 0; i + sizeof(int) <= bytes; i += sizeof(int)) {
            int fd;
            std::memcpy(&fd, data + i, sizeof fd);
            ::close(fd);
        }
    }
}

bool FromOwnUser(msghdr* header) {
    for (cmsghdr* c = CMSG_FIRSTHDR(header); c != nullptr; c = CMSG_NXTHDR(header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred credentials;
            std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
            return credentials.uid == ::getuid();
        }
    }
    return false;
}

}  // namespace

bool IsValidWindowTitle(const char* title) {
    if (title == nullptr)
        return false;
    const size_t length = std::strlen(title);
    if (length == 0 || length > kMaxTitleLength || std::strchr(title, '/') != nullptr)
        return false;
    return std::strcmp(title, ".") != 0 && std::strcmp(title, "..") != 0;
}

std::string WindowSocketPath(const std::string& folder, const std::string& title) {
    return folder + "/" + title;
}

SocketLiveness ProbeWindowSocket(const std::string& path) {
    sockaddr_un address;
    socklen_t length;
    if (!MakeAddress(path, &address, &length))
        return SocketLiveness::kNotSocket;
    UniqueFd probe(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe.valid())
        return SocketLiveness::kNotSocket;
    // Connecting a datagram socket sends nothing; it succeeds only when a socket receives there.
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0)
        return SocketLiveness::kLive;
    const int error = errno;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return errno == ENOENT ? SocketLiveness::kMissing : SocketLiveness::kNotSocket;
    if (!S_ISSOCK(info.st_mode))
        return SocketLiveness::kNotSocket;
    return error == ECONNREFUSED ? SocketLiveness::kStale : SocketLiveness::kNotSocket;
}

Status BindWindowSocket(const std::string& folder, const char* title, UniqueFd* socket,
                        std::string* error) {
    std::string ignored;
    std::string& why = error != nullptr ? *error : ignored;
    if (socket == nullptr)
        return kPointer;
    if (!IsValidWindowTitle(title)) {
        why = "invalid window title (1 to 64 characters, no '/', not \".\" or \"..\")";
        return kInvalidArg;
    }
    const std::string path = WindowSocketPath(folder, title);
    sockaddr_un address;
    socklen_t length;
    if (!MakeAddress(path, &address, &length)) {
        why = "socket path too long: " + path;
        return kInvalidArg;
    }

    UniqueFd lock(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!lock.valid()) {
        why = "cannot open runtime folder " + folder + ": " + std::strerror(errno);
        return kFail;
    }
    // Two processes taking the same stale title must not remove each other's fresh socket.
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            why = "cannot lock runtime folder " + folder + ": " + std::strerror(errno);
            return kFail;
        }
    }

    UniqueFd created(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!created.valid()) {
        why = std::string("cannot create a socket: ") + std::strerror(errno);
        return kFail;
    }
    const int on = 1;
    if (::setsockopt(created.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        why = std::string("cannot ask for sender credentials: ") + std::strerror(errno);
        return kFail;
    }
    const auto* raw = reinterpret_cast<const sockaddr*>(&address);
    if (::bind(created.get(), raw, length) != 0) {
        if (errno != EADDRINUSE) {
            why = "cannot bind " + path + ": " + std::strerror(errno);
            return kFail;
        }
        switch (ProbeWindowSocket(path)) {
            case SocketLiveness::kLive:
                why = "a live window holds the title \"" + std::string(title) + "\"";
                return kTitleTaken;
            case SocketLiveness::kNotSocket:
                why = path + " is in the way and is no window's socket";
                return kTitleTaken;
            case SocketLiveness::kStale:
                if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
                    why = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
                    return kFail;
                }
                break;
            case SocketLiveness::kMissing:
                break;
        }
        if (::bind(created.get(), raw, length) != 0) {
            why = "cannot bind " + path + ": " + std::strerror(errno);
            return kFail;
        }
    }
    *socket = std::move(created);
    return kOk;
}

UniqueFd OpenSenderSocket() {
    return UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

bool SendChannelMessage(int senderFd, const std::string& path, const ChannelMessage& message) {
    sockaddr_un address;
    socklen_t length;
    if (senderFd < 0 || !MakeAddress(path, &address, &length))
        return false;
    uint8_t bytes[kChannelMessageSize];
    EncodeChannelMessage(message, bytes);
    ssize_t sent;
    do {
        sent = ::sendto(senderFd, bytes, sizeof bytes, MSG_DONTWAIT | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), length);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof bytes);
}

ReceiveResult ReceiveChannelMessage(int fd, ChannelMessage* message) {
    // Room for one byte more than a message, so that longer datagrams show as longer.
    uint8_t bytes[kChannelMessageSize + 1];
    iovec part{bytes, sizeof bytes};
    alignas(
        cmsghdr) unsigned char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(16 * sizeof(int))];
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t received;
    do {
        received = ::recvmsg(fd, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (received < 0 && errno == EINTR);
    if (received < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? ReceiveResult::kEmpty
                                                       : ReceiveResult::kFailed;
    CloseReceivedDescriptors(&header);
    if ((header.msg_flags & MSG_TRUNC) != 0 || !FromOwnUser(&header))
        return ReceiveResult::kDropped;
    if (!DecodeChannelMessage(bytes, static_cast<size_t>(received), message))
        return ReceiveResult::kDropped;
    return ReceiveResult::kMessage;
}

}  // namespace zelk::posix
