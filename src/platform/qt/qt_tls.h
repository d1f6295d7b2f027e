#pragma once
// The TLS client layer of a Qt endpoint: one OpenSSL connection on the
// endpoint's non-blocking socket. It owns the SSL object, the client
// contexts shared by the process (one per trusted-CA file), the certificate
// and name checks, and the store of sessions the server gave for
// resumption, shared by a control connection and its data connections. It never blocks and
// never raises events: each call does what the socket allows now and says
// whether it needs the socket readable or writable to go on; the endpoint
// turns that into its socket notifiers and events.

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

#include "platform/endpoint.h"

namespace corvantel::platform::qt {

class TlsLayer {
public:
    // The outcome of a call.
    enum class Io {
        Done,       // did what was asked (a read may have got some bytes)
        WantRead,   // blocked until the socket is readable
        WantWrite,  // blocked until the socket is writable
        Closed,     // the peer ended the connection with close_notify
        Cut,        // the peer ended the TCP connection without close_notify
        Failed,     // see errorNumber/errorText, or socketErrno
    };

    // A client layer on the connected socket fd checking its peer by
    // settings; resumeFrom (may be null) gives a session to resume. Null
    // with number and text set when it cannot be set up.
    static std::unique_ptr<TlsLayer> create(int fd, const TlsSettings& settings, const TlsLayer* resumeFrom,
                                            int& number, std::string& text);
    ~TlsLayer();
    TlsLayer(const TlsLayer&) = delete;
    TlsLayer& operator=(const TlsLayer&) = delete;

    // Drives the handshake; Done once it has completed.
    Io handshake();
    bool ready() const { return ready_; }
    // Whether the completed handshake resumed an earlier session.
    bool resumed() const;
    // The protocol version negotiated ("TLSv1.3"), empty before.
    std::string version() const;
    // Whether an end without close_notify is an error (settings.cutIsError).
    bool cutIsError() const { return cutIsError_; }

    // Encrypts and writes plain p[pos, size) until done or blocked; pos
    // counts the plain bytes taken. A retry after WantRead/WantWrite must
    // offer the same bytes again (more may follow them).
    Io write(const char* p, std::size_t size, std::size_t& pos);
    // Reads up to room plain bytes into buf; got is how many.
    Io read(char* buf, std::size_t room, std::size_t& got);
    // Plain bytes already decrypted and waiting inside the layer (the
    // socket will not turn readable for them).
    bool hasPending() const;
    // Reads what the socket holds now without waiting and drops the plain
    // bytes (session tickets still reach the store); true once the peer
    // has ended the connection (or it failed), false while more may come.
    bool drain();
    // Sends close_notify if the socket takes it now; never waits.
    void shutdown();

    // After Failed: the socket's errno when the socket itself failed (0
    // otherwise), else a neterr::Tls* number and a text.
    int socketErrno() const { return socketErrno_; }
    int errorNumber() const { return errorNumber_; }
    const std::string& errorText() const { return errorText_; }

    class TicketStore;

private:
    TlsLayer() = default;
    Io outcome(int ret);
    bool checkDataPeer();
    static int onNewSession(SSL* ssl, SSL_SESSION* session);

    SSL* ssl_ = nullptr;
    // The sessions the server issued on the control connection and its data
    // connections, for the data connections to resume.
    std::shared_ptr<TicketStore> store_;
    // A data connection: the control connection's public key, which its
    // certificate must carry too; and whether a session was offered.
    EVP_PKEY* controlKey_ = nullptr;
    bool offered_ = false;
    bool cutIsError_ = false;
    // The server as the TLS 1.2 fallback knows it: the name checked and
    // the control connection's port.
    std::string serverKey_;
    bool ready_ = false;
    int socketErrno_ = 0;
    int errorNumber_ = 0;
    std::string errorText_;
};

}  // namespace corvantel::platform::qt
