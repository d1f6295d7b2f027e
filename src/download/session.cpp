#include "download/session.h"

#include "app/waits.h"
#include "download/commands.h"
#include "download/dispatch.h"
#include "download/proof.h"

namespace corvantel {

DownloadSessions& downloadSessions(App& app) { return static_cast<DownloadSessions&>(*app.downloadSessions); }

DownloadSession& downloadSession(App& app) { return downloadSessions(app)[0]; }

const DownloadSession& downloadSession(const App& app) {
    return static_cast<const DownloadSession&>(*static_cast<const DownloadSessions&>(*app.downloadSessions).all.front());
}

const bool& DownloadSession::running() const { return app.s.downloadRunning; }
Task<> DownloadSession::handleReply() { return downloadHandleReply(*this); }
Task<> DownloadSession::loginStep() { return downloadLoginStep(*this); }
bool DownloadSession::proofWanted() const { return downloadProofWanted(app); }
void DownloadSession::repliesCame() { downloadReplySeen = true; }
bool DownloadSession::workOver() const { return downloadOver; }
bool DownloadSession::moving() const { return downloadStep == 12; }
void DownloadSession::errorRetry() {
    if (app.downloadErrorRetryHook) app.downloadErrorRetryHook();
}

void resetDownloadDialogue(DownloadSession& d) {
    resetControlDialogue(d);
    d.downloadTarget = "notdone";
    d.downloadOver = false;
    d.downloadDataIsFile = d.downloadFileGood = false;
    d.downloadLastPassed = false;
    d.downloadVerdictPending = false;
    d.downloadListFallback = false;
    d.downloadRestUsed = false;
}

Task<> downloadEntryPause(DownloadSession& d) {
    if (d.app.s.quickWaits) co_return;
    co_await sessionTimedWait(d, [&d] { return d.downloadWaitSeconds >= 9; });
}

bool downloadFileProvablyDone(const DownloadSession& d) {
    return dataClosed(d) && (d.downloadExpectedSize < 0 || d.downloadBytes == d.downloadExpectedSize);
}

}  // namespace corvantel
