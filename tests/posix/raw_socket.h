#pragma once

// A plain AF_UNIX datagram socket, independent of the channel code, to check the wire from the
// outside: bind it as a window, send any bytes with any credentials, read what arrives.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zelk::posix::testing {

class RawSocket {
  public:
    RawSocket() : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~RawSocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    int fd() const { return fd_; }

    bool Bind(const std::string& path) {
        sockaddr_un address = Address(path);
        return ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }

    // Bytes sent, or -1. With flags 0 the send waits while the receiver's queue is full.
    ssize_t SendTo(const std::string& path, const std::vector<uint8_t>& bytes,
                   int flags = MSG_DONTWAIT) {
        sockaddr_un address = Address(path);
        return ::sendto(fd_, bytes.data(), bytes.size(), flags,
                        reinterpret_cast<sockaddr*>(&address), sizeof address);
    }

    // Sends with explicit credentials and, if passFd >= 0, a descriptor. -1 and errno on
    // failure (EPERM when the credentials are not ours to claim).
    ssize_t SendWith(const std::string& path, const std::vector<uint8_t>& bytes, ucred credentials,
                     int passFd = -1, int flags = MSG_DONTWAIT) {
        sockaddr_un address = Address(path);
        iovec part{const_cast<uint8_t*>(bytes.data()), bytes.size()};
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int))];
        std::memset(control, 0, sizeof control);
        msghdr header{};
        header.msg_name = &address;
        header.msg_namelen = sizeof address;
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = passFd >= 0 ? sizeof control : CMSG_SPACE(sizeof(ucred));
        cmsghdr* c = CMSG_FIRSTHDR(&header);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_CREDENTIALS;
        c->cmsg_len = CMSG_LEN(sizeof(ucred));
        std::memcpy(CMSG_DATA(c), &credentials, sizeof credentials);
        if (passFd >= 0) {
            c = CMSG_NXTHDR(&header, c);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &passFd, sizeof passFd);
        }
        return ::sendmsg(fd_, &header, flags);
    }

    // The next datagram, without waiting; empty when none.
    std::vector<uint8_t> Receive() {
        std::vector<uint8_t> bytes(256);
        const ssize_t n = ::recv(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT);
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return bytes;
    }

    static sockaddr_un Address(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        return address;
    }

  private:
    int fd_;
};

}  // namespace zelk::posix::testing
