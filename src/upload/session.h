#pragma once
// One upload connection: its control and data endpoints, its timers, its
// steps and their waits, the dialogue with the server and the file it is
// sending. The job (AppState's upload fields) holds what the sessions
// share: the local files to send and the names recorded.

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

struct UploadSession {
    UploadSession(App& app, platform::Endpoint& control, platform::Endpoint& data, platform::Timer& seconds,
                  platform::Timer& watchdog)
        : app(app), control(control), data(data), seconds(seconds), watchdog(watchdog), strand(app.loop) {}
    UploadSession(const UploadSession&) = delete;
    UploadSession& operator=(const UploadSession&) = delete;

    App& app;
    platform::Endpoint& control;
    platform::Endpoint& data;
    // The one-second count of the session's timed waits, and its watchdog.
    platform::Timer& seconds;
    platform::Timer& watchdog;
    // The local file being sent.
    platform::files::ReadFile file;

    // The watchdog's count of silent ticks, and what took the session over.
    std::int64_t uploadIdleTicks = 0;
    Takeover uploadTakeover = Takeover::None;
    // Timed waits active on the one-second timer, and its ticks (see the
    // download session).
    int uploadSecondsUsers = 0;
    std::int64_t uploadSecondsTicked = 0;
    // The server flooded the control connection with replies: the session
    // is being ended (its waits are over) and fails.
    bool uploadFlooded = false;

    // One of the more connections --parallel opens beside the job's first
    // (see the download session), and how the trace names this connection.
    bool helper = false;
    std::string label = "upload";

    // The dialogue.
    int uploadStep = 0;
    std::string uploadReply;
    bool uploadFailed = false;
    std::int32_t uploadSocketError = 0;
    bool uploadPwdSent = false;
    std::string uploadPortArgument;
    bool uploadTransferPhase = false;
    std::string uploadFileName;
    std::int64_t uploadFileLength = 0;
    std::string uploadReadBuffer;
    std::string uploadSendPiece;
    std::int64_t uploadWaitSeconds = 0;
    std::string uploadDataBuffer;
    // Bytes of the current file read from disk and counted as sent so far.
    std::int64_t uploadBytesRead = 0;
    std::int64_t uploadBytesSent = 0;
    bool uploadEndOfFile = false;
    // A file was started (its STOR sent) and has no verdict yet.
    bool uploadFileStarted = false;
    // A file whose last piece went out and whose verdict waits for the
    // server's reply that ends its transfer.
    bool uploadVerdictPending = false;
    // A verdict has been logged for the current file.
    bool uploadVerdictGiven = false;
    bool uploadDispatching = false;
    bool uploadListingWait = false;
    bool uploadControlLost = false;
    int uploadLostLater = 0;
    std::string uploadPendingName;
    std::int64_t uploadPendingLength = 0;
    ReplyAssembler uploadAssembler;
    CommandLedger uploadLedger;
    std::string uploadAnswered;
    bool uploadEpsvRefused = false;
    std::string uploadType;
    std::int32_t uploadPassivePort = -1;
    TlsPhase uploadTlsPhase = TlsPhase::Off;
    std::string uploadTlsProblem;
    // Files whose commands have begun in this run of the program.
    std::int64_t uploadFileStarts = 0;
    // The store command of the file being sent.
    std::string uploadStoreCommand;
    // Proven transfers (see the download session): what the session has
    // learnt of its server, the checksum of the file being sent as it is
    // read, and the file's size and time when it was opened.
    ProofSession uploadProof;
    platform::Digest uploadDigest;
    platform::files::Stamp uploadOpenStamp;
    // Why the file being judged failed, as downloadFailCause.
    std::string uploadFailCause;
    // The server refused the transfer type before the file being started.
    bool uploadTypeRefused = false;

    // The session's steps and their waits: last, so that steps still waiting
    // are dropped before anything they use.
    Strand strand;
};

// The upload job's sessions.
class UploadSessions : public JobSessions {
public:
    void poll() override;
    // The endpoints and timers of the more connections (the first session
    // uses the window's).
    std::vector<std::unique_ptr<platform::Endpoint>> endpoints;
    std::vector<std::unique_ptr<platform::Timer>> timers;
    std::vector<std::unique_ptr<UploadSession>> all;
};
UploadSessions& uploadSessions(App& app);

// A new dialogue: the session's state as a fresh connection has it.
void resetUploadDialogue(UploadSession& u);

// The job's session (the first connection's).
UploadSession& uploadSession(App& app);
const UploadSession& uploadSession(const App& app);

// The shared plumbing's views of a session.
ControlJob uploadControlJob(UploadSession& u);
DataJob uploadDataJob(UploadSession& u);
TlsJob uploadTlsJob(UploadSession& u);

// The session's timed waits (see app/waits.h).
Task<> uploadTimedWait(UploadSession& u, std::function<bool()> pred, bool resetCounter = true);
// Whether the session is being ended (taken over, flooded with replies,
// or shut down): its waits are over and its handlers only wind down.
bool uploadSessionEnding(const UploadSession& u);
// Quick waits: whether the data connection is over (none is open).
bool uploadDataClosed(const UploadSession& u);
// The error-retry step, as the scheduler installs it.
void uploadErrorRetry(UploadSession& u, std::int64_t fileIndex);

}  // namespace corvantel
