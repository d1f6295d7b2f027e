// Plain socket pieces of the Qt endpoints (see qt_endpoint.h): errno to
// neterr numbers and texts, non-blocking writes that never raise SIGPIPE,
// and the machine's address.

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "platform/qt/qt_endpoint.h"

namespace corvantel::platform::qt {

int errorNumber(int err) {
    switch (err) {
    case ECONNREFUSED: return neterr::ConnectionRefused;
    case ETIMEDOUT: return neterr::TimedOut;
    case ENETUNREACH: return neterr::NetworkUnreachable;
    case EHOSTUNREACH: return neterr::HostUnreachable;
    case ECONNRESET:
    case EPIPE: return neterr::ConnectionReset;
    case ECONNABORTED: return neterr::ConnectionAborted;
    case EADDRINUSE: return neterr::AddressInUse;
    case EADDRNOTAVAIL: return neterr::AddressNotAvailable;
    case EACCES:
    case EPERM: return neterr::AccessDenied;
    case ENOBUFS:
    case ENOMEM:
    case EMFILE:
    case ENFILE: return neterr::NoBuffers;
    case EINVAL: return neterr::InvalidArgument;
    case ENOTCONN: return neterr::NotConnected;
    case EAFNOSUPPORT:
    case EOPNOTSUPP: return neterr::NotSupported;
    case ENETDOWN: return neterr::NetworkDown;
    default: return neterr::NetworkDown;
    }
}

std::string errorText(int number) {
    switch (number) {
    case neterr::ConnectionRefused: return "Connection is forcefully rejected";
    case neterr::TimedOut: return "Connection timed out";
    case neterr::NetworkUnreachable: return "Network is unreachable";
    case neterr::HostUnreachable: return "Host is unreachable";
    case neterr::ConnectionReset: return "Connection reset by peer";
    case neterr::ConnectionAborted: return "Connection aborted";
    case neterr::AddressInUse: return "Address in use";
    case neterr::AddressNotAvailable: return "Address not available";
    case neterr::AccessDenied: return "Permission denied";
    case neterr::NoBuffers: return "No buffer space available";
    case neterr::InvalidArgument: return "Invalid argument";
    case neterr::NotConnected: return "Socket is not connected";
    case neterr::NotSupported: return "Operation not supported";
    case neterr::HostNotFound: return "Host not found";
    default: return "Network error";
    }
}

// Writes p[pos, size) until the kernel takes no more; returns 0 or the errno
// that ended the connection.
int writeSome(int fd, const char* p, std::size_t size, std::size_t& pos) {
    while (pos < size) {
        ssize_t n = ::send(fd, p + pos, size - pos, MSG_NOSIGNAL);
        if (n > 0) {
            pos += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        return n < 0 ? errno : EPIPE;
    }
    return 0;
}

// The first IPv4 address of an interface that is up and not the loopback,
// else 127.0.0.1: what the local address reads before any connection.
std::string machineAddress() {
    std::string found = "127.0.0.1";
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return found;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        found = dotted(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr);
        break;
    }
    freeifaddrs(list);
    return found;
}

}  // namespace corvantel::platform::qt
