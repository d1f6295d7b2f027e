#pragma once
// The Qt platform's TCP endpoint (internal to src/platform/qt): raw
// non-blocking IPv4 or IPv6 sockets watched by QSocketNotifier.
//
// Raw sockets rather than QTcpSocket because the endpoint must tell a clean
// close by the peer (recv() returns 0: state Closing, no error) from a reset
// (ECONNRESET: error 10054), which QTcpSocket reports the same way.
//
// Every event is posted to the loop together with the endpoint's generation
// at posting time; close() bumps the generation, so events queued for a
// connection closed since are dropped when they come up.
//
// The class is spread over three files: qt_endpoint.cpp (the connected
// socket: connecting, sending, receiving, closing), qt_listener.cpp
// (listening and accepting) and qt_endpoint_tls.cpp (the TLS layer of
// qt_tls.cpp between the socket and the endpoint's buffers).

#include <QHostInfo>
#include <QSocketNotifier>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/qt/qt_address.h"
#include "platform/qt/qt_internal.h"
#include "platform/qt/qt_tls.h"

namespace corvantel::platform::qt {

// Most bytes one read notification takes, so that one busy connection
// cannot starve the rest of the loop.
constexpr std::size_t kReadPerNotification = 256 * 1024;
// Reading stops while this much received data waits to be taken, and
// resumes when getData takes it: memory stays bounded when the logic reads
// slowly. The kernel's buffers then make the peer wait.
constexpr std::size_t kInputLimit = 4 * 1024 * 1024;
// Size of a read when the kernel reports nothing queued.
constexpr std::size_t kProbeBytes = 16 * 1024;
// This much queued at once is taken for a stream rather than a reply.
constexpr std::size_t kStreamHint = 32 * 1024;
// A send made from the connection's own SendComplete handler (a chain of
// pieces, each sent when the last one is complete) is taken into the
// endpoint's buffer and reported sent at once; the buffer goes to the
// kernel in one write when it reaches kWriteBehindFlush, or before the loop
// next blocks or hands over to Qt. One system call then carries many small
// pieces. At most kWriteBehindLimit bytes are taken this way.
constexpr std::size_t kWriteBehindFlush = 64 * 1024;
constexpr std::size_t kWriteBehindLimit = 128 * 1024;
// How long a closed connection keeps writing the bytes it had reported as
// sent when the peer does not take them.
constexpr int kLingerMs = 60 * 1000;
constexpr int kListenBacklog = 8;

// Stands for "the TLS layer failed" where an errno is expected.
constexpr int kTlsBroken = -1;
// Stands for "the TLS stream ended without close_notify" (see reportCut).
constexpr int kTlsCut = -2;

// The neterr number of an errno, and the text of a neterr number.
int errorNumber(int err);
std::string errorText(int number);
// Writes p[pos, size) until the kernel takes no more; returns 0 or the errno
// that ended the connection.
int writeSome(int fd, const char* p, std::size_t size, std::size_t& pos);
// The first IPv4 address of an interface that is up and not the loopback,
// else 127.0.0.1: what the local address reads before any connection.
std::string machineAddress();

class QtEndpoint final : public Endpoint, private WriteBehind {
public:
    explicit QtEndpoint(std::shared_ptr<Context> ctx);
    ~QtEndpoint() override;
    std::string localIP() const override;
    void setLocalPort(std::int32_t port) override { localPort_ = port; }
    std::int32_t localPort() const override { return localPort_; }
    std::string remoteIP() const override { return remoteIP_; }
    bool secure() const override { return tls_ && !handshaking_; }
    std::string tlsVersion() const override;
    State state() const override { return state_; }
    std::int64_t bytesAvailable() const override { return static_cast<std::int64_t>(in_.size()); }
    void startTls(const TlsSettings& settings, const Endpoint* resumeFrom) override;
    void connect() override;
    void listen() override;
    void accept(std::int64_t requestId) override;
    std::string requestIP(std::int64_t requestId) const override;
    void refuse(std::int64_t requestId) override;
    void close() override;
    bool sendData(const std::string& bytes) override;
    std::string getData() override;

private:
    // Tells queued events whether the endpoint still exists and is still on
    // the connection they were queued for.
    struct Life {
        QtEndpoint* self = nullptr;
        std::uint64_t gen = 0;
        // The generation whose SendComplete handler is running, else -1.
        std::int64_t completingGen = -1;
    };
    struct Guard {
        std::shared_ptr<Life> life;
        std::uint64_t gen;
        QtEndpoint* get() const { return life->self && life->gen == gen ? life->self : nullptr; }
    };

    // Queues f(guard). f must fetch the endpoint through the guard again
    // after each handler it calls: a handler may close or delete it.
    template <class F>
    void postEvent(F f) {
        Guard guard{life_, life_->gen};
        ctx_->post([guard, f = std::move(f)] {
            if (guard.get()) f(guard);
        });
    }

    // The connected socket (qt_endpoint.cpp).
    void postArrival();
    void fail(int number) { fail(number, errorText(number)); }
    void fail(int number, std::string text);
    void attach(int fd);
    void releaseSocket();
    void hostResolved(std::uint64_t gen, const QHostInfo& info);
    void startConnect(SocketAddress addr);
    void becomeConnected();
    void handleWritable();
    void dropOutput();
    void sendNow(const std::string& bytes);
    void sendBehind(const std::string& bytes);
    void flushWriteBehind() override;
    void deliverTaken();
    bool writeQueued(std::int64_t& sent);
    void flushOutput();
    void reportSent(std::int64_t sent, bool completeAnyway);
    void handleReadable();
    void receive();

    // Listening (qt_listener.cpp).
    bool ownerStillListening(const void* owner) const;
    void takeConnections();

    // The TLS layer (qt_endpoint_tls.cpp).
    void failWith(int err);
    int transportWrite(const char* p, std::size_t size, std::size_t& pos);
    void continueHandshake();
    void postReceive();
    void reportCut();
    ssize_t tlsRead(char* buf, std::size_t room, int& err);
    std::size_t unsent() const { return out_.size() - outPos_; }

    std::shared_ptr<Context> ctx_;
    std::shared_ptr<Life> life_;
    QSocketNotifier readNotifier_{QSocketNotifier::Read};
    QSocketNotifier writeNotifier_{QSocketNotifier::Write};
    // Context of host lookups and of retry timers: deleting the endpoint
    // deletes it, so their callbacks never reach a deleted endpoint.
    QObject lookupContext_;
    int fd_ = -1;
    State state_ = Closed;
    std::int32_t localPort_ = 0;
    std::string localIP_;
    std::string remoteIP_;
    std::string in_;
    // Bytes to write: out_[outPos_, end). The first taken_ of them have
    // been reported sent already (a chain's pieces, see sendData).
    std::string out_;
    std::size_t outPos_ = 0;
    std::size_t taken_ = 0;
    bool listedBehind_ = false;
    bool readPaused_ = false;
    // The TLS layer, once startTls was called; handshaking_ until done.
    std::unique_ptr<TlsLayer> tls_;
    bool handshaking_ = false;
    // The layer is blocked on the other direction (see transportWrite and
    // tlsRead).
    bool writeWantsRead_ = false;
    bool readWantsWrite_ = false;
    int lookupId_ = -1;
};

}  // namespace corvantel::platform::qt
