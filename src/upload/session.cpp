#include "upload/session.h"

#include "app/waits.h"
#include "upload/dispatch.h"

namespace corvantel {

void UploadSessions::poll() {
    // As the download job's: polled again while any session went on.
    for (bool again = true; again;) {
        again = false;
        for (std::size_t i = 0; i < all.size(); ++i) again = all[i]->strand.poll() || again;
    }
}

UploadSessions& uploadSessions(App& app) { return static_cast<UploadSessions&>(*app.uploadSessions); }

void resetUploadDialogue(UploadSession& u) {
    u.uploadStep = 0;
    u.uploadFailed = u.uploadTransferPhase = u.uploadPwdSent = false;
    u.uploadSocketError = 0;
    u.uploadControlLost = false;
    u.uploadLostLater = 0;
    u.uploadVerdictPending = false;
    u.uploadAssembler.clear();
    u.uploadLedger.reset();
    u.uploadEpsvRefused = false;
    u.uploadType.clear();
    u.uploadPassivePort = -1;
    u.uploadTlsPhase = TlsPhase::Off;
    u.uploadTlsProblem.clear();
    u.uploadStoreCommand.clear();
    u.uploadProof = {};
}

UploadSession& uploadSession(App& app) { return *static_cast<UploadSessions&>(*app.uploadSessions).all.front(); }

const UploadSession& uploadSession(const App& app) {
    return *static_cast<const UploadSessions&>(*app.uploadSessions).all.front();
}

ControlJob uploadControlJob(UploadSession& u) {
    return ControlJob{u.control,
                      u.uploadAssembler,
                      u.uploadLedger,
                      u.uploadDispatching,
                      u.uploadIdleTicks,
                      u.uploadSecondsTicked,
                      [&u](const std::string& t) { return sendUploadCommand(u, t); },
                      [&u](std::function<bool()> p, bool reset) { return uploadTimedWait(u, std::move(p), reset); },
                      [&u](const std::string& t) {
                          if (u.app.trace) u.app.trace(u.label + " <- " + t);
                      },
                      u.app.checksumPatience};
}

DataJob uploadDataJob(UploadSession& u) {
    App& app = u.app;
    return {u.control,
            u.data,
            u.uploadEpsvRefused,
            u.uploadPassivePort,
            u.uploadWaitSeconds,
            [&u](std::function<bool()> p) { return uploadTimedWait(u, std::move(p)); },
            app.s.uploadTls && u.uploadTlsPhase == TlsPhase::Ready,
            dataTlsSettings(app, app.w.Text3.text()),
            [&u](const std::string& c) {
                if (!sendUploadCommand(u, c)) u.uploadFailed = u.uploadControlLost = true;
            },
            [&u] { return u.uploadFailed || uploadSessionEnding(u); }};
}

TlsJob uploadTlsJob(UploadSession& u) {
    return {"upload",        u.app.s.uploadTls, u.uploadTlsPhase,      u.uploadTlsProblem,
            u.control,       u.uploadAssembler, u.app.w.Text3.text(), [&u](const std::string& c) {
                return sendUploadCommand(u, c);
            }};
}

bool uploadSessionEnding(const UploadSession& u) {
    return u.uploadTakeover != Takeover::None || u.uploadFlooded || u.app.s.shuttingDown;
}

Task<> uploadTimedWait(UploadSession& u, std::function<bool()> pred, bool resetCounter) {
    return timedWait(u.strand, u.uploadWaitSeconds, u.uploadSecondsUsers, u.seconds, std::move(pred), resetCounter,
                     [&u] { return uploadSessionEnding(u); });
}

bool uploadDataClosed(const UploadSession& u) { return connectionOver(u.data); }

void uploadErrorRetry(UploadSession& u, std::int64_t fileIndex) {
    // A further connection that fails ends alone (see the download's).
    if (u.helper) return;
    if (u.app.uploadErrorRetryHook) u.app.uploadErrorRetryHook(fileIndex);
}

}  // namespace corvantel
