// Socket addresses of the Qt endpoint: numeric hosts to socket addresses
// and back to text, for IPv4 and IPv6 (see qt_address.h).

#include "platform/qt/qt_address.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cctype>
#include <cstring>

namespace corvantel::platform::qt {

namespace {

// "[::1]" -> "::1"; anything else unchanged.
std::string withoutBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

}  // namespace

bool parseNumericHost(const std::string& host, std::uint16_t port, SocketAddress& out) {
    out = SocketAddress{};
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        auto* sa = reinterpret_cast<sockaddr_in*>(&out.storage);
        sa->sin_family = AF_INET;
        sa->sin_addr = v4;
        sa->sin_port = htons(port);
        out.length = sizeof(sockaddr_in);
        return true;
    }
    const std::string bare = withoutBrackets(host);
    if (bare.empty() || bare.find(':') == std::string::npos) return false;
    auto* sa6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
    in6_addr v6{};
    if (::inet_pton(AF_INET6, bare.c_str(), &v6) == 1) {
        sa6->sin6_family = AF_INET6;
        sa6->sin6_addr = v6;
        sa6->sin6_port = htons(port);
        out.length = sizeof(sockaddr_in6);
        return true;
    }
    if (bare.find('%') == std::string::npos) return false;
    // With a scope ("fe80::1%lo"): numeric only, so no name server is asked.
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (::getaddrinfo(bare.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    const bool ok = found->ai_family == AF_INET6 && found->ai_addrlen <= sizeof out.storage;
    if (ok) {
        std::memcpy(&out.storage, found->ai_addr, found->ai_addrlen);
        sa6->sin6_port = htons(port);
        out.length = sizeof(sockaddr_in6);
    }
    ::freeaddrinfo(found);
    return ok;
}

SocketAddress anyAddress(int family, std::uint16_t port) {
    SocketAddress out;
    if (family == AF_INET6) {
        auto* sa6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
        sa6->sin6_family = AF_INET6;
        sa6->sin6_addr = in6addr_any;
        sa6->sin6_port = htons(port);
        out.length = sizeof(sockaddr_in6);
    } else {
        auto* sa = reinterpret_cast<sockaddr_in*>(&out.storage);
        sa->sin_family = AF_INET;
        sa->sin_addr.s_addr = htonl(INADDR_ANY);
        sa->sin_port = htons(port);
        out.length = sizeof(sockaddr_in);
    }
    return out;
}

bool localAddressOf(int fd, SocketAddress& out) {
    out = SocketAddress{};
    out.length = sizeof out.storage;
    return ::getsockname(fd, out.get(), &out.length) == 0;
}

bool peerAddressOf(int fd, SocketAddress& out) {
    out = SocketAddress{};
    out.length = sizeof out.storage;
    return ::getpeername(fd, out.get(), &out.length) == 0;
}

std::string dotted(const in_addr& a) {
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &a, text, sizeof text)) return "0.0.0.0";
    return text;
}

std::string addressText(const SocketAddress& a) {
    if (a.family() == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6*>(&a.storage)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            in_addr v4{};
            std::memcpy(&v4, v6.s6_addr + 12, sizeof v4);
            return dotted(v4);
        }
        char text[INET6_ADDRSTRLEN] = {};
        if (!::inet_ntop(AF_INET6, &v6, text, sizeof text)) return "::";
        return text;
    }
    return dotted(reinterpret_cast<const sockaddr_in*>(&a.storage)->sin_addr);
}

std::uint16_t addressPort(const SocketAddress& a) {
    if (a.family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&a.storage)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&a.storage)->sin_port);
}

void setAddressPort(SocketAddress& a, std::uint16_t port) {
    if (a.family() == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&a.storage)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(&a.storage)->sin_port = htons(port);
}

bool isReservedInvalidName(std::string name) {
    while (!name.empty() && name.back() == '.') name.pop_back();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string tld = "invalid";
    if (name == tld) return true;
    return name.size() > tld.size() && name.compare(name.size() - tld.size(), tld.size(), tld) == 0 &&
           name[name.size() - tld.size() - 1] == '.';
}

}  // namespace corvantel::platform::qt
