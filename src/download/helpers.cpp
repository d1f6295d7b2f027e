// What a download connection does as one of the further connections
// --parallel opens (their life is app/connections.h's): they fetch from the
// first session's listing.

#include <string>

#include "app/app_state.h"
#include "app/connections.h"
#include "download/dispatch.h"
#include "download/records.h"
#include "download/retrieval.h"
#include "download/session.h"

namespace corvantel {

using platform::Endpoint;

std::string DownloadSession::portField() const { return app.w.Text9.text(); }

void DownloadSession::installHandlers() { installDownloadSessionHandlers(*this); }

void DownloadSession::watchdogFired() {
    downloadOver = true;
    ControlSession::watchdogFired();
}

void DownloadSession::freshConnection() {
    resetDownloadDialogue(*this);
    downloadNextDue = true;
    downloadReplySeen = true;
}

Task<> DownloadSession::windDown(bool gone, Requeue& requeue) {
    auto& s = app.s;
    // The last file it proved is deleted on the server, as the first
    // session does with its own.
    if (!gone && s.deleteAfterDownload && downloadLastPassed &&
        (downloadExpectedSize <= 0 || downloadExpectedSize == downloadBytes)) {
        downloadReplySeen = false;
        downloadLastPassed = false;
        if (send("DELE " + downloadFileName)) {
            co_await sessionTimedWait(*this, [this] {
                return downloadReplySeen || control.state() != Endpoint::Connected || downloadWaitSeconds >= 10 ||
                       app.s.shuttingDown;
            });
        }
        if (s.shuttingDown) co_return;
    }
    // Its file in flight goes back to the queue once (another connection
    // takes it), then fails.
    if (downloadVerdictPending) {
        if (gone && requeue.giveBack(downloadFileName)) {
            downloadVerdictPending = false;
            if (app.trace) app.trace(label + ": lost; " + downloadFileName + " goes back to the queue");
        } else {
            downloadFileGood = false;
            recordDownloadResult(*this, "fail");
        }
    }
}

void DownloadSession::closeFile() { discardPartialDownload(*this); }

void DownloadSession::failLeftover(const std::string& name) {
    // The first session's own last file is kept as it was.
    const std::string own = downloadFileName;
    const std::int64_t expected = downloadExpectedSize;
    const bool good = downloadFileGood, lastPassed = downloadLastPassed, pending = downloadVerdictPending;
    downloadFileName = name;
    downloadExpectedSize = -1;
    downloadFileGood = false;
    recordDownloadResult(*this, "fail");
    downloadFileName = own;
    downloadExpectedSize = expected;
    downloadFileGood = good;
    downloadLastPassed = lastPassed;
    downloadVerdictPending = pending;
}

}  // namespace corvantel
