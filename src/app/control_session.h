#pragma once
// One control connection of either job, and everything that belongs to it
// alone: its control and data endpoints, its one-second timer and
// watchdog, its steps and their one pending wait (the strand), the
// dialogue's state (reply assembler, command ledger, the step, the reply
// being handled), its TLS state, and what it has learnt of its server for
// proving files. The download and upload sessions build on it with what
// their job adds; the plumbing below is written once for both.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/app_state.h"
#include "app/data_setup.h"
#include "app/ftp_reply.h"
#include "app/ftps.h"
#include "app/strand.h"
#include "app/task.h"
#include "app/transport.h"
#include "app/verify.h"
#include "platform/digest.h"
#include "platform/endpoint.h"
#include "platform/sftp.h"
#include "platform/timer.h"
#include "platform/window.h"

namespace corvantel {
struct Requeue;

struct ControlSession {
    ControlSession(App& app, platform::Endpoint& control, platform::Endpoint& data, platform::Timer& seconds,
                   platform::Timer& watchdog, std::string label)
        : app(app), control(control), data(data), seconds(seconds), watchdog(watchdog), label(std::move(label)),
          strand(app.loop) {}
    ControlSession(const ControlSession&) = delete;
    ControlSession& operator=(const ControlSession&) = delete;
    virtual ~ControlSession() = default;

    App& app;
    platform::Endpoint& control;
    platform::Endpoint& data;
    // The one-second count of the session's timed waits, and its watchdog.
    platform::Timer& seconds;
    platform::Timer& watchdog;

    // One of the more connections --parallel opens beside the job's first:
    // it logs in and takes files, the first session lists them.
    bool helper = false;
    // How the trace names this connection ("download", "upload#2", ...).
    std::string label;

    // The dialogue: the step, the reply being handled, whether the session
    // failed (and the network error, 0 for none), the seconds of the
    // current timed wait, the watchdog's count of silent ticks, the PORT
    // argument of the last data setup, the current file's name, the data
    // that came on the data connection and is not handled yet, and whether
    // the PWD of the login went out.
    int step = 0;
    std::string reply;
    bool failed = false;
    std::int32_t socketError = 0;
    std::int64_t waitSeconds = 0;
    std::int64_t idleTicks = 0;
    std::string portArgument;
    std::string fileName;
    std::string dataBuffer;
    bool pwdSent = false;
    // A data connection was accepted since the listener was last reset.
    bool dataAccepted = false;
    // A file a lost connection gave back, taken from the job's queue by
    // this session and not started yet: given back if this session ends
    // first.
    std::string requeuedTaken;

    // What took the session over (the watchdog, or the retry step).
    Takeover takeover = Takeover::None;
    // Timed waits active on the one-second timer (it runs while any does),
    // and its ticks, never reset nor capped: a question's patience is
    // counted on these.
    int secondsUsers = 0;
    std::int64_t secondsTicked = 0;
    // The server flooded the control connection with replies: the session
    // is being ended (its waits are over) and fails.
    bool flooded = false;
    // A reply is being handled on the control connection; replies that come
    // meanwhile wait their turn instead of nesting.
    bool dispatching = false;
    bool listingWait = false;
    // A command after the login found the control connection gone.
    bool controlLost = false;
    // The control connection was lost while read replies still waited to
    // be handled (its error number): judged once they have been.
    int lostLater = 0;
    ReplyAssembler assembler;
    CommandLedger ledger;
    // The command that the reply being handled answers.
    std::string answered;
    // The server refused EPSV in this session: PASV from then on.
    bool epsvRefused = false;
    // The transfer type last asked for in this session (quick waits send
    // TYPE only when it changes).
    std::string type;
    // The port of the last passive-mode answer (-1: none usable).
    std::int32_t passivePort = -1;
    TlsPhase tlsPhase = TlsPhase::Off;
    std::string tlsProblem;
    // The job's SFTP connection (made the first time the job runs over
    // SFTP), and why it failed when the error log has a line of its own
    // for it (a host key refused, no SFTP for the user, ...).
    std::unique_ptr<platform::SftpConnection> sftp;
    // How this session reaches its server: chosen from the job's options
    // when the job's session begins, taken from it by the further
    // connections, and kept until it ends (none before the first).
    const Transport* transport = nullptr;
    std::string transportProblem;
    // The server's key was refused (unknown or changed): worth its error-log
    // line from any connection of the job, not only the first.
    bool hostKeyRefused = false;
    // Proven transfers: what this session has learnt of its server, and
    // the checksum of the current file's bytes as they pass.
    ProofSession proof;
    platform::Digest digest;
    // Why the file being judged failed, when the judging knows better than
    // the session's state ("checksum mismatch", ...); empty otherwise. Set
    // for the one verdict it explains.
    std::string failCause;

    // Sends a command with CR LF on the control connection; false (and
    // nothing sent) when it is not up, or the text would not stay one
    // command.
    bool send(const std::string& text);

    // What differs by job: its name, its FTPS option and host field, and
    // whether its session runs;
    virtual const char* job() const = 0;
    virtual bool tlsOption() const = 0;
    virtual std::string hostField() const = 0;
    virtual const bool& running() const = 0;
    // whether it runs over SFTP, and the SSH login's options; the
    // transport its options ask for;
    virtual bool sftpOption() const = 0;
    virtual const Transport& chooseTransport() const = 0;
    virtual const AppState::SshLogin& sshOptions() const = 0;
    // the fields of its login (user, password, the server's directory), and
    // whether it proves its transfers (FEAT asked after the login);
    virtual std::string userField() const = 0;
    virtual std::string passwordField() const = 0;
    virtual std::string directoryField() const = 0;
    virtual bool proofWanted() const = 0;
    // the server refused the login;
    virtual void loginRefused() { failed = true; }
    // its steps: one whole reply (in reply) handled, and the login's next
    // step;
    virtual Task<> handleReply() = 0;
    virtual Task<> loginStep() = 0;
    // replies have come (before they are read);
    virtual void repliesCame() {}
    // the work is over, so losing the connection costs nothing;
    virtual bool workOver() const { return false; }
    // a file is being moved, so a lost connection is worth the job's
    // error retry; and that retry.
    virtual bool moving() const = 0;
    virtual void errorRetry() = 0;

    // For the further connections (app/connections.h): the port field; the
    // handlers of its endpoints; what its watchdog does when it fires; a
    // fresh dialogue for a new connection; winding down (its file in
    // flight given back to the job's queue once, or failed); its local file
    // let go; and, on the first session, the verdict of a file given back
    // that no connection took again.
    virtual std::string portField() const = 0;
    virtual void installHandlers() = 0;
    virtual void watchdogFired() {
        failed = true;
        takeover = Takeover::Watchdog;
    }
    virtual void freshConnection() = 0;
    virtual Task<> windDown(bool gone, Requeue& requeue) = 0;
    virtual void closeFile() = 0;
    virtual void failLeftover(const std::string& name) = 0;
    // A line in the job's error log.
    virtual void logError(const std::string& text) = 0;

    // The session's steps and their waits: last, so that steps still waiting
    // are dropped before anything they use (a job's session drops them
    // before its own fields go).
    Strand strand;
};

// The shared plumbing's views of a session.
ControlJob controlJob(ControlSession& c);
DataJob dataJob(ControlSession& c);
TlsJob tlsJob(ControlSession& c);

// The session's timed waits (see app/waits.h).
Task<> sessionTimedWait(ControlSession& c, std::function<bool()> pred, bool resetCounter = true);
// Whether the session is being ended (taken over, flooded with replies,
// or shut down): its waits are over and its handlers only wind down.
bool sessionEnding(const ControlSession& c);
// Quick waits: whether the data connection is over (none is open).
bool dataClosed(const ControlSession& c);
// What every new connection starts from, for either job.
void resetControlDialogue(ControlSession& c);

// The control endpoint's handlers: replies read and handed to the job's
// steps one at a time, errors and closes judged by controlError, and the
// login going on once TLS is up.
void installControlHandlers(ControlSession& c);
// An error (or a close, as a reset) on the control connection.
void controlError(ControlSession& c, int number);
// A lost connection while a file moves: the job's error retry, which is the
// first session's (a further connection that fails ends alone).
void retryAfterError(ControlSession& c);
// Closes the data endpoint, waits until it is closed, and (in active mode)
// listens again.
void resetListener(ControlSession& c);
// Sends the command that sets up the next data connection (PORT, EPRT,
// EPSV or PASV).
void sendDataSetup(ControlSession& c);
// What the answer to that command (the reply being handled) allows. In
// passive mode the data connection is opened before the command that uses
// it (Yes: it is up), or PASV is asked for when EPSV gave none (Asked).
Task<DataReady> dataReady(ControlSession& c);

// The login's first steps, the same for both jobs: the greeting answered
// (AUTH TLS first with FTPS), USER, PASS (or in at once), PBSZ and PROT
// with FTPS, FEAT when transfers are proven, CWD, and PWD. True when the
// session's step was one of them or it cannot go on; false for the job's
// own steps from 4 on.
Task<bool> loginOpening(ControlSession& c);

// Why a session failed, told in the job's status label (after hour) and
// error log: taken over for silence, flooded with replies, TLS refused,
// the connection lost after the login, an unknown host, a refused login.
// Anything else is otherTimeout's to tell when it can (true), else a
// timeout.
void reportFailure(ControlSession& c, platform::Label& status, const std::string& hour,
                   const std::function<void(const std::string&)>& logError,
                   const std::function<bool()>& otherTimeout);

// The reply-code rule of the steps before the files (login, directory,
// listing) for the final reply to answered: a refusal fails the session,
// a completion moves the step on. Whether the rule applied.
bool stepReplyRule(ControlSession& c, const std::string& code);

}  // namespace corvantel
