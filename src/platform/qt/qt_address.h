#pragma once
// Socket addresses of the Qt endpoint, for IPv4 and IPv6: turning the hosts
// the logic gives (dotted IPv4, IPv6 with or without brackets) into socket
// addresses without a lookup, and socket addresses back into the text the
// endpoint reports (dotted IPv4, IPv6 without brackets).

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace corvantel::platform::qt {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int family() const { return storage.ss_family; }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// Parses a numeric host: a dotted IPv4 address, or an IPv6 address with or
// without brackets (a scope such as "%lo" is allowed). False for anything
// else (a name, or nothing), without asking a name server.
bool parseNumericHost(const std::string& host, std::uint16_t port, SocketAddress& out);

// The wildcard address of a family (AF_INET or AF_INET6) with a port.
SocketAddress anyAddress(int family, std::uint16_t port);

// Reads a socket's local (getsockname) or peer (getpeername) address; false
// when the call fails.
bool localAddressOf(int fd, SocketAddress& out);
bool peerAddressOf(int fd, SocketAddress& out);

// Numeric text of an address: dotted for IPv4 and for IPv4-mapped IPv6
// addresses, else IPv6 text without brackets (and without a scope).
std::string addressText(const SocketAddress& a);
std::uint16_t addressPort(const SocketAddress& a);
void setAddressPort(SocketAddress& a, std::uint16_t port);

std::string dotted(const in_addr& a);

// Names under "invalid." never exist (RFC 6761).
bool isReservedInvalidName(std::string name);

}  // namespace corvantel::platform::qt
