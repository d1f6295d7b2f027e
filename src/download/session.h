#pragma once
// One download connection: its control and data endpoints, its timers, its
// steps and their waits, the dialogue with the server and the file it is
// fetching. The job (AppState's download fields) holds what the sessions
// share: the listing, the names taken and recorded.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/data_setup.h"
#include "app/ftps.h"
#include "app/strand.h"
#include "app/verify.h"

namespace corvantel {

struct DownloadSession {
    DownloadSession(App& app, platform::Endpoint& control, platform::Endpoint& data, platform::Timer& seconds,
                    platform::Timer& watchdog)
        : app(app), control(control), data(data), seconds(seconds), watchdog(watchdog), strand(app.loop) {}
    DownloadSession(const DownloadSession&) = delete;
    DownloadSession& operator=(const DownloadSession&) = delete;

    App& app;
    platform::Endpoint& control;
    platform::Endpoint& data;
    // The one-second count of the session's timed waits, and its watchdog.
    platform::Timer& seconds;
    platform::Timer& watchdog;
    // The file being written.
    platform::files::WriteFile file;

    // The watchdog's count of silent ticks, and what took the session over.
    std::int64_t downloadIdleTicks = 0;
    Takeover downloadTakeover = Takeover::None;
    // Timed waits active on the one-second timer (it runs while any does),
    // and its ticks, never reset nor capped: a question's patience is
    // counted on these.
    int downloadSecondsUsers = 0;
    std::int64_t downloadSecondsTicked = 0;
    // The server flooded the control connection with replies: the session
    // is being ended (its waits are over) and fails.
    bool downloadFlooded = false;
    // The last judged file passed (the driver's closing DELE needs it).
    bool downloadLastPassed = false;

    // One of the more connections --parallel opens beside the job's first:
    // it logs in and takes files, the first session lists them.
    bool helper = false;
    // How the trace names this connection ("download", "download#2", ...).
    std::string label = "download";
    // A file a lost connection left, taken from the queue by this session
    // and not started yet: given back if this session ends first.
    std::string requeuedTaken;

    // The dialogue.
    int downloadStep = 0;
    std::string downloadReply;
    bool downloadFailed = false;
    std::int32_t downloadSocketError = 0;
    bool downloadReplySeen = false;
    std::string downloadTarget = "notdone";
    // The download work is over (no file left, a refused login, or the
    // session taken over). Kept apart from downloadTarget, which holds the
    // names a server lists: a file called "done" ends nothing.
    bool downloadOver = false;
    std::int64_t downloadWaitSeconds = 0;
    std::string downloadPortArgument;
    bool downloadDataIsFile = false;
    bool stepCommandSent = false;
    std::string downloadFileName;
    bool downloadNextDue = true;
    // A file was started (its RETR sent) and has no verdict yet.
    bool downloadVerdictPending = false;
    // LIST mode: the listing with the pattern brought nothing, so the plain
    // listing was asked for and the pattern is applied here.
    bool downloadListFallback = false;
    // The size the current transfer's preliminary reply stated, and the
    // size its bytes must come to (-1: none to check; -2: none stated while
    // "File Size Exists" asks for one). In ASCII type the stated size is the
    // one on the server's disk and only shown.
    std::int64_t downloadExpectedSize = -1;
    std::int64_t downloadStatedSize = -1;
    bool downloadFileGood = false;
    std::string downloadDataBuffer;
    // A data connection was accepted since the listener was last reset.
    bool downloadDataAccepted = false;
    // The current download cannot pass whatever its size: its local file
    // could not be created or written, its data connection was broken, or
    // the server ended its transfer with a 4xx or 5xx reply.
    bool downloadFileSpoiled = false;
    // Bytes received of the current file (shown in fText6).
    std::int64_t downloadBytes = 0;
    // A reply is being handled on the control connection; replies that come
    // meanwhile wait their turn instead of nesting.
    bool downloadDispatching = false;
    bool downloadListingWait = false;
    // A command after the login found the control connection gone.
    bool downloadControlLost = false;
    // The control connection was lost while read replies still waited to
    // be handled (its error number): judged once they have been.
    int downloadLostLater = 0;
    // The local name of the current download (with its date stamp), and the
    // file its bytes go to until it has passed.
    std::string downloadLocalName;
    std::string downloadPartPath;
    ReplyAssembler downloadAssembler;
    CommandLedger downloadLedger;
    // The command that the reply being handled answers.
    std::string downloadAnswered;
    // The server refused EPSV in this session: PASV from then on.
    bool downloadEpsvRefused = false;
    // The transfer type last asked for in this session (quick waits send
    // TYPE only when it changes).
    std::string downloadType;
    // The port of the last passive-mode answer (-1: none usable).
    std::int32_t downloadPassivePort = -1;
    TlsPhase downloadTlsPhase = TlsPhase::Off;
    std::string downloadTlsProblem;
    // Proven transfers: what this session has learnt of its server.
    ProofSession downloadProof;
    // The current file: its size on the server before RETR (-1: unknown),
    // the bytes a kept partial file already held (the transfer resumed
    // there), and the checksum of its local copy as its bytes pass.
    std::int64_t downloadServerSize = -1;
    std::int64_t downloadResumeAt = 0;
    platform::Digest downloadDigest;
    // A resume's REST was sent since the last "REST 0".
    bool downloadRestUsed = false;
    // Its local copy is known not to be a beginning of the server's copy
    // (its checksum differed): it is never kept to be resumed.
    bool downloadPartialBad = false;
    // Why the file being judged failed, when the judging knows better than
    // the session's state ("checksum mismatch", ...); empty otherwise. Set
    // for the one verdict it explains.
    std::string downloadFailCause;
    // The current file's time on the server (MDTM, -1: unknown), and
    // whether its transfer provably began where REST asked (its preliminary
    // reply stated exactly the rest).
    std::int64_t downloadServerTime = -1;
    bool downloadRestProven = false;

    // The session's steps and their waits: last, so that steps still waiting
    // are dropped before anything they use.
    Strand strand;
};

// The download job's sessions.
class DownloadSessions : public JobSessions {
public:
    void poll() override;
    // The endpoints and timers of the more connections (the first session
    // uses the window's).
    std::vector<std::unique_ptr<platform::Endpoint>> endpoints;
    std::vector<std::unique_ptr<platform::Timer>> timers;
    std::vector<std::unique_ptr<DownloadSession>> all;
};
DownloadSessions& downloadSessions(App& app);

// A new dialogue: the session's state as a fresh connection has it.
void resetDownloadDialogue(DownloadSession& d);

// The job's session (the first connection's).
DownloadSession& downloadSession(App& app);
const DownloadSession& downloadSession(const App& app);

// The shared plumbing's views of a session.
ControlJob downloadControlJob(DownloadSession& d);
DataJob downloadDataJob(DownloadSession& d);
TlsJob downloadTlsJob(DownloadSession& d);

// The session's timed waits (see app/waits.h).
Task<> downloadTimedWait(DownloadSession& d, std::function<bool()> pred, bool resetCounter = true);
// Whether the session is being ended (taken over, flooded with replies,
// or shut down): its waits are over and its handlers only wind down.
bool downloadSessionEnding(const DownloadSession& d);
// LIST mode: the pause for each matching entry of the listing (none with
// quick waits).
Task<> downloadEntryPause(DownloadSession& d);
// Quick waits: whether the data connection is over (none is open), and
// whether the file is provably done (that, and every byte announced has
// come, or no size was announced).
bool downloadDataClosed(const DownloadSession& d);
bool downloadFileProvablyDone(const DownloadSession& d);
// The error-retry step, as the scheduler installs it.
void downloadErrorRetry(DownloadSession& d);

}  // namespace corvantel
