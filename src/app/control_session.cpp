#include "app/control_session.h"

#include "app/dialogue.h"
#include "app/waits.h"

namespace corvantel {

ControlJob controlJob(ControlSession& c) {
    return ControlJob{c.control,
                      c.assembler,
                      c.ledger,
                      c.dispatching,
                      c.idleTicks,
                      c.secondsTicked,
                      [&c](const std::string& t) { return c.send(t); },
                      [&c](std::function<bool()> p, bool reset) { return sessionTimedWait(c, std::move(p), reset); },
                      [&c](const std::string& t) {
                          if (c.app.trace) c.app.trace(c.label + " <- " + t);
                      },
                      c.app.checksumPatience};
}

DataJob dataJob(ControlSession& c) {
    return {c.control,
            c.data,
            c.epsvRefused,
            c.passivePort,
            c.waitSeconds,
            [&c](std::function<bool()> p) { return sessionTimedWait(c, std::move(p)); },
            c.tlsOption() && c.tlsPhase == TlsPhase::Ready,
            dataTlsSettings(c.app, c.hostField()),
            [&c](const std::string& command) {
                if (!c.send(command)) c.failed = c.controlLost = true;
            },
            [&c] { return c.failed || sessionEnding(c); }};
}

TlsJob tlsJob(ControlSession& c) {
    return {c.job(),     c.tlsOption(), c.tlsPhase,   c.tlsProblem,
            c.control,   c.assembler,   c.hostField(), [&c](const std::string& command) { return c.send(command); }};
}

Task<> sessionTimedWait(ControlSession& c, std::function<bool()> pred, bool resetCounter) {
    return timedWait(c.strand, c.waitSeconds, c.secondsUsers, c.seconds, std::move(pred), resetCounter,
                     [&c] { return sessionEnding(c); });
}

bool sessionEnding(const ControlSession& c) {
    return c.takeover != Takeover::None || c.flooded || c.app.s.shuttingDown;
}

bool dataClosed(const ControlSession& c) { return connectionOver(c.data); }

void resetControlDialogue(ControlSession& c) {
    c.step = 0;
    c.failed = c.pwdSent = c.controlLost = false;
    c.socketError = 0;
    c.lostLater = 0;
    c.assembler.clear();
    c.ledger.reset();
    c.epsvRefused = false;
    c.type.clear();
    c.passivePort = -1;
    c.tlsPhase = TlsPhase::Off;
    c.tlsProblem.clear();
    c.transportProblem.clear();
    c.hostKeyRefused = false;
    c.proof = {};
}

namespace {

Dialogue dialogue(ControlSession& c) {
    return {c.label.c_str(), c.control, c.assembler,  c.ledger, c.dispatching, c.flooded,
            c.failed,        c.running(), c.lostLater, c.reply,  c.type};
}

Task<> replyDispatch(ControlSession& c) {
    c.repliesCame();
    co_await dispatchReplies(
        c.app, dialogue(c), [&c] { return c.handleReply(); }, [&c](int n) { controlError(c, n); });
}

}  // namespace

bool ControlSession::send(const std::string& text) { return sendCommand(app, dialogue(*this), text); }

void installControlHandlers(ControlSession& c) {
    auto& control = c.control;
    control.onDataArrival = [&c](std::int64_t) { c.strand.spawn(replyDispatch(c)); };
    control.onError = [&c](int n, const std::string&) { controlError(c, n); };
    // The control connection is secure: the login goes on with USER.
    control.onTlsReady = [&c] {
        if (!c.running() || c.tlsPhase != TlsPhase::Handshake) return;
        c.tlsPhase = TlsPhase::Secure;
        c.strand.spawn(c.loginStep());
    };
    // The server closed the control connection: the session cannot go on.
    // A clean close (a server restarting, say) is the same fault as a
    // reset, with the same retries.
    control.onClose = [&c] { controlError(c, platform::neterr::ConnectionReset); };
}

void controlError(ControlSession& c, int n) {
    auto& s = c.app.s;
    // An error that arrives when no session of the job runs ends nothing
    // and leaves nothing behind.
    if (!c.running()) return;
    // A login the server refused stays a refused login, whatever it does
    // with the connection afterwards; and once no file is left to ask for,
    // losing the connection (by a close or a reset alike) costs nothing:
    // the last file is judged on what it proved.
    if ((c.failed && c.socketError == 0 && !c.controlLost) || c.workOver()) return;
    // In the file phase with every command answered (the server closed
    // right behind a transfer's final reply, say), nothing is lost yet: the
    // files are judged on what they proved, and the session fails only if
    // it needs the connection again (the next command cannot be sent).
    if (c.step >= 12) {
        if (c.ledger.idle()) return;
        // Replies read before the loss wait their turn: they may answer
        // what is pending. The dispatcher decides once it has read them.
        if (c.dispatching && !c.assembler.empty()) {
            c.lostLater = n;
            return;
        }
    }
    // Every error on the control connection ends the session at once, also
    // those outside the usual network range (an unusable address, say).
    c.socketError = n > 0 ? n : platform::neterr::NetworkDown;
    c.failed = true;
    if (n > 1000 && n < 12000 && !s.sessionAborting && c.moving()) retryAfterError(c);
}

void retryAfterError(ControlSession& c) {
    if (!c.helper) c.errorRetry();
}

void resetListener(ControlSession& c) {
    resetDataEndpoint(c.app, dataJob(c));
    c.dataAccepted = false;
}

void sendDataSetup(ControlSession& c) {
    const auto job = dataJob(c);
    job.send(dataSetupCommand(c.app, job, c.portArgument));
}

Task<DataReady> dataReady(ControlSession& c) {
    const DataReady ready = co_await takeSetupAnswer(c.app, dataJob(c), c.answered, c.reply);
    if (c.app.s.passiveMode && ready != DataReady::Asked) c.dataAccepted = ready == DataReady::Yes;
    co_return ready;
}

namespace {

// The login has gone through: with proven transfers the server is asked
// what it offers, then the session goes to its directory.
Task<> afterLogin(ControlSession& c) {
    c.step = 3;
    if (c.proofWanted()) {
        c.proof = co_await askProofSession(controlJob(c));
        if (sessionEnding(c) || c.failed) co_return;
    }
    if (!c.send("CWD " + c.directoryField())) c.failed = true;
}

// In: on with FTPS's PBSZ and PROT, or straight to the directory.
Task<> loggedIn(ControlSession& c) {
    if (tlsAfterLogin(c.app, tlsJob(c), c.reply) == TlsStep::Proceed) co_await afterLogin(c);
}

}  // namespace

Task<bool> loginOpening(ControlSession& c) {
    c.app.s.sessionAborting = false;
    if (c.control.state() != platform::Endpoint::Connected || c.failed) co_return true;
    // A command that finds the control connection down fails the session.
    auto send = [&](const std::string& text) {
        if (!c.send(text)) c.failed = true;
    };
    switch (c.step) {
        case 0:
            // With FTPS the greeting is answered by AUTH TLS, and USER goes
            // out once the control connection is secure.
            if (auto t = tlsBeforeLogin(c.app, tlsJob(c), c.reply); t != TlsStep::Proceed) {
                if (t == TlsStep::Failed) c.failed = true;
                break;
            }
            c.pwdSent = false;
            c.step = 1;
            resetListener(c);
            send("USER " + c.userField());
            break;
        case 1:
            c.step = 2;
            switch (loginReply(c.reply, true)) {
                case LoginReply::NeedPassword: send("PASS " + c.passwordField()); break;
                case LoginReply::LoggedIn: co_await loggedIn(c); break;
                case LoginReply::Refused: c.loginRefused(); break;
                case LoginReply::Unavailable: c.failed = c.controlLost = true; break;
            }
            break;
        case 2: {
            if (c.tlsPhase == TlsPhase::PbszSent || c.tlsPhase == TlsPhase::ProtSent) {
                // The answers to PBSZ and PROT: once both are in, CWD.
                auto t = tlsAfterLogin(c.app, tlsJob(c), c.reply);
                if (t == TlsStep::Failed) c.failed = true;
                if (t != TlsStep::Proceed) break;
                co_await afterLogin(c);
                break;
            }
            switch (loginReply(c.reply, false)) {
                case LoginReply::LoggedIn: co_await loggedIn(c); break;
                case LoginReply::Unavailable: c.failed = c.controlLost = true; break;
                default: c.loginRefused(); break;
            }
            break;
        }
        case 3:
            if (c.pwdSent) break;
            c.pwdSent = true;
            send("PWD");
            break;
        default:
            co_return false;
    }
    co_return true;
}

void reportFailure(ControlSession& c, platform::Label& status, const std::string& hour,
                   const std::function<void(const std::string&)>& logError,
                   const std::function<bool()>& otherTimeout) {
    if (c.takeover == Takeover::Watchdog) {
        // Taken over for silence: the watchdog's decision writes the log.
        status.setCaption(hour + "Timeout");
    } else if (c.flooded) {
        status.setCaption(hour + "Timeout");
        logError(floodText);
    } else if (!c.transportProblem.empty()) {
        // SFTP failed for a reason of its own, before any file.
        status.setCaption(hour + " Login Failed");
        logError(c.transportProblem);
    } else if (!c.tlsProblem.empty() || !tlsErrorText(c.socketError).empty()) {
        // FTPS failed before the password went out: say why.
        status.setCaption(hour + " Login Failed");
        logError(c.tlsProblem.empty() ? tlsErrorText(c.socketError) : c.tlsProblem);
    } else if (c.controlLost && c.socketError == 0) {
        // The server went away after the login: no password was refused.
        status.setCaption(hour + "Timeout");
        logError("Timeout Error");
    } else {
        status.setCaption(hour + (c.socketError > 0 ? "Timeout" : " Login Failed"));
        if (c.socketError == platform::neterr::HostNotFound)
            logError("Invalid IP/Host");
        else if (c.socketError == 0)
            logError("Invalid User/Pass");
        else if (!otherTimeout())
            logError("Timeout Error");
    }
}

bool stepReplyRule(ControlSession& c, const std::string& code) {
    // A listing refused: the data connection opened for it (passive mode)
    // will carry nothing, and nothing waits for it to end.
    if (c.step == 7 && isTransferCommand(c.answered) && (code[0] == '4' || code[0] == '5')) c.data.close();
    // An answer to EPSV or PASV is judged by the data setup (the step's own
    // handling), never by these rules: a refused EPSV moves no step on.
    if (c.step >= 12 || answeredBySetup(c.answered, code)) return false;
    if (code == "425" || code == "530") {
        if (code == "425" && c.socketError == 0) c.socketError = 1;
        c.failed = true;
    } else if (code == "226" || code == "257" || code == "550" || code == "450" ||
               (isTransferCommand(c.answered) && code[0] == '2')) {
        // 450 is what many servers answer to a listing with no match; a
        // listing ends with any positive completion reply (226, or 250 as
        // z/OS-style servers send).
        ++c.step;
    } else if ((c.step == 3 && c.answered == "PWD") ||
               (c.step == 7 && isTransferCommand(c.answered) && (code[0] == '4' || code[0] == '5'))) {
        // Any answer to PWD ends that step, and any refusal of the listing
        // ends the listing as "550" does: the session never waits for a
        // reply that will not come.
        ++c.step;
    }
    return true;
}

}  // namespace corvantel
