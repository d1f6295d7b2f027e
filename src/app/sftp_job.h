#pragma once
// What either job does alike over SFTP: the login from the job's fields and
// options (the server's key checked first), one call at a time on the
// session's connection with the session's waits, and the error-log lines of
// the failures that only SFTP has.

#include <functional>
#include <optional>
#include <string>

#include "app/control_session.h"
#include "app/task.h"
#include "platform/sftp.h"

namespace corvantel {

// The port to connect to: the port field, where its FTP default (21, or
// nothing) means SSH's 22.
int sftpPort(const std::string& field);
// A name in the job's server folder (empty: the login's folder).
std::string sftpPath(const std::string& folder, const std::string& name);

// Runs one call on the session's connection and waits for its answer, which
// is activity for the watchdog. Nothing when the session is being ended
// first (taken over, shut down): the call is abandoned and the connection
// closed, so no wait outlives the watchdog. The call is held by the caller
// in a named variable: GCC 12 mishandles temporaries of class type in a
// co_await expression.
using SftpCall = std::function<void(platform::SftpConnection&, platform::SftpConnection::Done)>;
// what names the call in the trace (CORVANTEL_TRACE).
Task<std::optional<platform::SftpReply>> sftpCall(ControlSession& c, const SftpCall& call, const std::string& what);

// Connects and logs in. False when the session cannot go on: it has then
// failed, with the cause its report tells (a host key refused, the login
// refused, no SFTP, the server not reached).
Task<bool> sftpLogin(ControlSession& c);

// Whether the session goes on after a call's answer: not when the session
// is being ended (no answer), nor when the connection was lost, which fails
// the session as a lost control connection does (with the job's error
// retry for a file in flight).
bool sftpStillUp(ControlSession& c, const std::optional<platform::SftpReply>& r);

}  // namespace corvantel
