#pragma once
// Explicit FTPS (AUTH TLS) for a job's session, the same for both jobs:
// "AUTH TLS" right after the greeting, the control connection made secure
// before USER, then "PBSZ 0" and "PROT P" once logged in, so that every
// data connection is TLS too (the program always the TLS client, each data
// connection resuming the control connection's session). A server that
// refuses, or a handshake that fails, fails the session before the
// password is sent; there is no fallback to clear text.

#include <functional>
#include <string>

#include "app/ftp_reply.h"
#include "platform/endpoint.h"

namespace corvantel {
class App;

enum class TlsPhase { Off, AuthSent, Handshake, Secure, PbszSent, ProtSent, Ready };

struct TlsJob {
    const char* name;               // "download" or "upload", for the trace
    bool on;                        // the job's FTPS option
    TlsPhase& phase;
    std::string& problem;           // why TLS failed, for the error log
    platform::Endpoint& control;
    ReplyAssembler& assembler;      // the control connection's replies
    std::string host;               // the host field: what the certificate must name
    std::function<bool(const std::string&)> send;
};

// What the TLS dialogue made of the reply being handled.
enum class TlsStep {
    Proceed,  // nothing to do (or done): the step goes on as without TLS
    Handled,  // a TLS command was sent or a handshake started: nothing more now
    Failed,   // TLS refused: the session fails (problem says why)
};
// At the greeting, before USER.
TlsStep tlsBeforeLogin(App& app, const TlsJob& job, const std::string& reply);
// Once the password was accepted, before the first command of the session.
TlsStep tlsAfterLogin(App& app, const TlsJob& job, const std::string& reply);

// The settings a handshake of this job checks its peer with.
platform::TlsSettings tlsSettings(const App& app, const std::string& host);
// The same for a data connection, where an end without close_notify is an
// error: without an announced size it is the only proof of a whole file.
platform::TlsSettings dataTlsSettings(const App& app, const std::string& host);

// The error-log text of a TLS failure number (empty for other numbers).
std::string tlsErrorText(int number);

// An error on one of the job's data connections: true when it is a TLS
// failure that fails the session, a peer that is not the control
// connection's server (the problem then says which). Other TLS failures,
// a stream cut without close_notify too, only spoil what used the
// connection, as a broken connection does.
bool dataTlsFailure(const TlsJob& job, int number);

}  // namespace corvantel
