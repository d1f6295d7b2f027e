#include "download/session.h"

#include "app/waits.h"
#include "download/dispatch.h"

namespace corvantel {

void DownloadSessions::poll() {
    // A session may wait for another (the first for the others to end):
    // polled again while any went on.
    for (bool again = true; again;) {
        again = false;
        for (std::size_t i = 0; i < all.size(); ++i) again = all[i]->strand.poll() || again;
    }
}

DownloadSessions& downloadSessions(App& app) { return static_cast<DownloadSessions&>(*app.downloadSessions); }

DownloadSession& downloadSession(App& app) { return *static_cast<DownloadSessions&>(*app.downloadSessions).all.front(); }

const DownloadSession& downloadSession(const App& app) {
    return *static_cast<const DownloadSessions&>(*app.downloadSessions).all.front();
}

bool DownloadSession::send(const std::string& text) { return sendDownloadCommand(*this, text); }

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

void downloadErrorRetry(DownloadSession& d) {
    // A further connection that fails ends alone; the job's retries are the
    // first session's.
    if (d.helper) return;
    if (d.app.downloadErrorRetryHook) d.app.downloadErrorRetryHook();
}

}  // namespace corvantel
