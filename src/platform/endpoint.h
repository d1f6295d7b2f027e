#pragma once
// One TCP endpoint, shaped after the socket control that the sessions were
// written against: properties, operations and events.
//
// Events are always posted to the event loop, never raised from inside an
// endpoint method. Events queued for a connection that has been closed since
// are dropped.

#include <cstdint>
#include <functional>
#include <string>

namespace corvantel::platform {

// Error numbers reported by onError.
namespace neterr {
constexpr int AccessDenied = 10013;
constexpr int InvalidArgument = 10022;
constexpr int WouldBlock = 10035;
constexpr int InProgress = 10036;
constexpr int NotSupported = 10045;
constexpr int AddressInUse = 10048;
constexpr int AddressNotAvailable = 10049;
constexpr int NetworkDown = 10050;
constexpr int NetworkUnreachable = 10051;
constexpr int ConnectionAborted = 10053;
constexpr int ConnectionReset = 10054;
constexpr int NoBuffers = 10055;
constexpr int NotConnected = 10057;
constexpr int TimedOut = 10060;
constexpr int ConnectionRefused = 10061;
constexpr int HostUnreachable = 10065;
constexpr int HostNotFound = 11001;
constexpr int TryAgain = 11002;
constexpr int NoRecovery = 11003;
// TLS failures (outside the network range: they start no retry step).
constexpr int TlsFailed = 12100;        // the handshake or the TLS layer failed
constexpr int TlsNotTrusted = 12101;    // the certificate does not verify
constexpr int TlsNameMismatch = 12102;  // the certificate names another host
constexpr int TlsDataPeerChanged = 12103;  // a data connection's key is not the control connection's
constexpr int TlsCut = 12104;           // a TLS stream ended without close_notify
}  // namespace neterr

// How a TLS client handshake checks its peer.
struct TlsSettings {
    // The name or address the certificate must name (a DNS name or an IP
    // address, matched against its subjectAltName).
    std::string peerName;
    // A file of PEM certificates trusted besides the system's trust store.
    std::string caFile;
    // A TCP end without close_notify is an error (TlsCut, raised instead of
    // onClose, after the last DataArrival; until it comes up the state
    // reads Closing) rather than a close: on a data connection without an
    // announced size close_notify is the only proof that the stream came
    // whole.
    bool cutIsError = false;
};

class Endpoint {
public:
    enum State : int {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8,  // the peer has closed; data it sent can still be read
        Error = 9,
    };

    virtual ~Endpoint() = default;

    // Properties. A host is a name, a dotted IPv4 address or an IPv6
    // address, with or without brackets ("::1", "[::1]").
    void setRemoteHost(std::string host) { remoteHost_ = std::move(host); }
    const std::string& remoteHost() const { return remoteHost_; }
    void setRemotePort(std::int32_t port) { remotePort_ = port; }
    std::int32_t remotePort() const { return remotePort_; }
    // The local address a listener binds to (empty: every IPv4 interface);
    // an IPv6 address makes it listen on IPv6.
    void setLocalHost(std::string host) { localHost_ = std::move(host); }
    const std::string& localHost() const { return localHost_; }
    // Set before connect or listen (0: any); read back after listen.
    virtual void setLocalPort(std::int32_t port) = 0;
    virtual std::int32_t localPort() const = 0;
    // Numeric address of the local side of a connection: dotted IPv4, or
    // IPv6 text without brackets ("::1") on an IPv6 connection.
    virtual std::string localIP() const = 0;
    // Numeric address of the peer of a connection, in the same forms (kept
    // after the connection has ended); empty before any connection.
    virtual std::string remoteIP() const = 0;
    virtual State state() const = 0;

    // Operations.
    virtual void connect() = 0;
    virtual void listen() = 0;
    // Takes the pending connection of a ConnectionRequest onto this
    // endpoint, which must be closed first.
    virtual void accept(std::int64_t requestId) = 0;
    // Numeric address of the peer of a pending ConnectionRequest, in the
    // forms of remoteIP; empty when the request is not pending or its
    // address cannot be read.
    virtual std::string requestIP(std::int64_t requestId) const = 0;
    // Closes the pending connection of a ConnectionRequest without taking
    // it; a listening endpoint goes on listening. A request that is not
    // pending is ignored.
    virtual void refuse(std::int64_t requestId) = 0;
    // Ends the connection or the listening at once. Closing a closed
    // endpoint does nothing.
    virtual void close() = 0;
    // Queues bytes for sending. A send on an endpoint that is not connected
    // sends nothing, raises nothing and returns false. SendComplete means the
    // bytes have been taken for sending; a chain of sends (each made from the
    // previous one's SendComplete) may be reported complete before the bytes
    // reach the kernel, and a failure to deliver them then arrives as an
    // error. Only the peer's answer proves that it received them.
    virtual bool sendData(const std::string& bytes) = 0;
    // All data received and not yet taken.
    virtual std::string getData() = 0;

    // TLS (explicit, the program always the client whichever side opened
    // the TCP connection): starts a handshake on a connected endpoint, TLS
    // 1.2 or newer, the certificate verified against the system's trust
    // store and settings.caFile, and its name against settings.peerName.
    // resumeFrom, when given, is the secure control connection whose TLS
    // session the handshake resumes (servers require a data connection to
    // resume the control connection's session); the certificate must then
    // carry the control connection's public key. Bytes received and not
    // taken before startTls fail it. onTlsReady when the handshake is done;
    // onError (a Tls* number and a text saying why) when it fails. From
    // then on sends, arrivals, SendComplete and closes carry the plain
    // bytes, as before.
    virtual void startTls(const TlsSettings& settings, const Endpoint* resumeFrom) = 0;
    virtual bool secure() const = 0;
    // The TLS version negotiated ("TLSv1.3"), empty without TLS.
    virtual std::string tlsVersion() const { return {}; }
    virtual std::int64_t bytesAvailable() const = 0;

    // Events.
    std::function<void()> onConnect;
    std::function<void(std::int64_t bytes)> onDataArrival;
    std::function<void(std::int64_t requestId)> onConnectionRequest;
    std::function<void()> onSendComplete;
    std::function<void(std::int64_t sent, std::int64_t remaining)> onSendProgress;
    std::function<void(int number, const std::string& description)> onError;
    // The peer closed the connection cleanly (the state is Closing; data it
    // sent before can still be read). Raised after the last DataArrival.
    std::function<void()> onClose;
    std::function<void()> onTlsReady;

protected:
    std::string remoteHost_;
    std::int32_t remotePort_ = 0;
    std::string localHost_;
};

}  // namespace corvantel::platform
