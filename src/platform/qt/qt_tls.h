#pragma once
// The TLS client layer of a Qt endpoint: one OpenSSL connection on the
// endpoint's non-blocking socket. It owns the SSL object, the client
// contexts shared by the process (one per trusted-CA file, so that sessions
// can be resumed across connections), the certificate and name checks, and
// the latest session the server gave for resumption. It never blocks and
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
        Closed,     // the peer ended the connection (close_notify or TCP close)
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

    // Encrypts and writes plain p[pos, size) until done or blocked; pos
    // counts the plain bytes taken. A retry after WantRead/WantWrite must
    // offer the same bytes again (more may follow them).
    Io write(const char* p, std::size_t size, std::size_t& pos);
    // Reads up to room plain bytes into buf; got is how many.
    Io read(char* buf, std::size_t room, std::size_t& got);
    // Plain bytes already decrypted and waiting inside the layer (the
    // socket will not turn readable for them).
    bool hasPending() const;
    // Sends close_notify if the socket takes it now; never waits.
    void shutdown();

    // After Failed: the socket's errno when the socket itself failed (0
    // otherwise), else a neterr::Tls* number and a text.
    int socketErrno() const { return socketErrno_; }
    int errorNumber() const { return errorNumber_; }
    const std::string& errorText() const { return errorText_; }

private:
    TlsLayer() = default;
    Io outcome(int ret);
    SSL_SESSION* resumableSession() const;
    static int onNewSession(SSL* ssl, SSL_SESSION* session);

    SSL* ssl_ = nullptr;
    // The newest session the server issued on this connection (TLS 1.3
    // sends them after the handshake), kept for resumption by others.
    SSL_SESSION* latest_ = nullptr;
    bool ready_ = false;
    int socketErrno_ = 0;
    int errorNumber_ = 0;
    std::string errorText_;
};

}  // namespace corvantel::platform::qt
