// Listening and accepting on a Qt endpoint (see qt_endpoint.h): a
// listener takes every pending connection off its socket at once and offers
// each to the logic as a ConnectionRequest; accept(id) moves one onto an
// endpoint.

#include <QTimer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <utility>

#include "platform/qt/qt_endpoint.h"

namespace corvantel::platform::qt {

namespace {

// The kernel's range of ephemeral ports.
std::pair<unsigned, unsigned> ephemeralRange() {
    unsigned low = 32768, high = 60999;
    if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "re")) {
        unsigned a = 0, b = 0;
        if (std::fscanf(f, "%u %u", &a, &b) == 2 && a > 0 && a <= b && b <= 65535) low = a, high = b;
        std::fclose(f);
    }
    return {low, high};
}

// A listening socket on sa. With no port asked for, a port picked at random
// from the ephemeral range is tried first: binding port 0 makes the kernel
// search that range, which costs milliseconds once thousands of recent
// connections hold ports (a run of many small files leaves one per file),
// while a named port costs a lookup. A port in use is skipped; after a few,
// the kernel chooses. -1 (errno set) when none could be had.
int listeningSocket(SocketAddress sa) {
    static const auto range = ephemeralRange();
    static std::minstd_rand pick(std::random_device{}());
    const bool any = addressPort(sa) == 0;
    for (int attempt = 0;; ++attempt) {
        const bool last = !any || attempt == 8;
        if (!last) setAddressPort(sa, static_cast<std::uint16_t>(range.first + pick() % (range.second - range.first + 1)));
        else if (any) setAddressPort(sa, 0);
        int fd = ::socket(sa.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // An IPv6 listener takes IPv6 connections only.
        if (sa.family() == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        if (::bind(fd, sa.get(), sa.length) == 0 && ::listen(fd, kListenBacklog) == 0) return fd;
        const int err = errno;
        ::close(fd);
        errno = err;
        if (last || err != EADDRINUSE) return -1;
    }
}

}  // namespace

void QtEndpoint::listen() {
    const std::int32_t port = localPort_;
    close();
    ctx_->discardPending(this);
    localPort_ = port;

    if (port < 0 || port > 65535) {
        fail(neterr::InvalidArgument);
        return;
    }
    // No local host: every IPv4 interface. Otherwise an IPv4 or IPv6
    // address, and the socket is of that address's family.
    const auto wanted = static_cast<std::uint16_t>(port);
    SocketAddress sa = anyAddress(AF_INET, wanted);
    if (!localHost_.empty() && !parseNumericHost(localHost_, wanted, sa)) {
        fail(neterr::AddressNotAvailable);
        return;
    }
    const int fd = listeningSocket(sa);
    if (fd < 0) {
        fail(errorNumber(errno));
        return;
    }
    SocketAddress bound;
    if (localAddressOf(fd, bound)) localPort_ = addressPort(bound);
    attach(fd);
    state_ = Listening;
    readNotifier_.setEnabled(true);
}

void QtEndpoint::accept(std::int64_t requestId) {
    auto it = ctx_->pending.find(requestId);
    if (it == ctx_->pending.end()) return;
    const PendingConnection taken = it->second;
    ctx_->pending.erase(it);
    // The listener's other requests go too, unless it still listens
    // (then other endpoints may still take them).
    if (taken.owner == this || !ownerStillListening(taken.owner)) ctx_->discardPending(taken.owner);
    if (state_ != Closed || fd_ >= 0) close();
    attach(taken.fd);
    becomeConnected();
}

std::string QtEndpoint::requestIP(std::int64_t requestId) const {
    auto it = ctx_->pending.find(requestId);
    SocketAddress peer;
    if (it == ctx_->pending.end() || !peerAddressOf(it->second.fd, peer)) return {};
    return addressText(peer);
}

void QtEndpoint::refuse(std::int64_t requestId) {
    auto it = ctx_->pending.find(requestId);
    if (it == ctx_->pending.end()) return;
    ::close(it->second.fd);
    ctx_->pending.erase(it);
}

bool QtEndpoint::ownerStillListening(const void* owner) const {
    // Pending entries are removed when their owner is destroyed, so an
    // owner named by one is alive.
    const auto* listener = static_cast<const QtEndpoint*>(owner);
    return listener->state_ == Listening;
}

void QtEndpoint::takeConnections() {
    for (int i = 0; i < 64; ++i) {
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // Out of descriptors or memory: the connection stays in the
            // backlog; stop watching for a while instead of spinning.
            readNotifier_.setEnabled(false);
            const std::uint64_t gen = life_->gen;
            QTimer::singleShot(100, &lookupContext_, [this, gen] {
                if (gen == life_->gen && state_ == Listening && fd_ >= 0) readNotifier_.setEnabled(true);
            });
            return;
        }
        const std::int64_t id = ++ctx_->nextRequestId;
        ctx_->pending[id] = PendingConnection{c, this};
        postEvent([id](const Guard& g) {
            if (auto* e = g.get(); e && e->onConnectionRequest) e->onConnectionRequest(id);
        });
    }
}

}  // namespace corvantel::platform::qt
