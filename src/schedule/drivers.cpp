#include "schedule/drivers.h"

#include <algorithm>

#include "app/app_state.h"
#include "app/connections.h"
#include "app/text.h"
#include "app/waits.h"
#include "download/dispatch.h"
#include "download/records.h"
#include "download/retrieval.h"
#include "download/session.h"
#include "schedule/retry.h"
#include "upload/dispatch.h"
#include "upload/sending.h"
#include "upload/session.h"
#include "upload/temp_name.h"
#include "upload/transfer_log.h"

namespace corvantel {

using platform::Endpoint;

namespace {

void lockFields(App& app, std::initializer_list<platform::TextBox*> fields, bool locked) {
    for (auto* f : fields) f->setEnabled(!locked);
    app.w.ai_type.setEnabled(!locked);
}


}  // namespace

Task<> runDownloadSession(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    auto& w = app.w;
    d.flooded = false;
    // A file the last session started and left to this one to judge.
    if (d.downloadVerdictPending) {
        if (std::none_of(downloadSessions(app).downloadOwed.begin(), downloadSessions(app).downloadOwed.end(),
                         [&](const auto& o) { return o.first == d.downloadFileName; }))
            downloadSessions(app).downloadOwed.emplace_back(d.downloadFileName, d.downloadExpectedSize);
    }
    d.downloadReplySeen = true;
    s.downloadRunning = true;
    d.downloadNextDue = true;
    d.downloadIdleTicks = 0;
    lockFields(app, {&w.Text1, &w.fText3, &w.fText4, &w.Text2, &w.Text7, &w.Text9}, true);
    d.watchdog.setEnabled(false);
    w.Timer4->setEnabled(false);
    d.control.close();
    d.data.close();
    // With quick waits the pause ends once both endpoints are closed.
    co_await sessionTimedWait(d, [&] {
        return d.downloadWaitSeconds >= 9 ||
               (s.quickWaits && d.control.state() == Endpoint::Closed && d.data.state() == Endpoint::Closed);
    });
    co_await d.strand.until([&] {
        return d.control.state() == Endpoint::Closed && d.data.state() == Endpoint::Closed;
    });
    if (s.shuttingDown) co_return;
    d.transport = &d.chooseTransport();
    d.downloadIdleTicks = 0;
    d.watchdog.setEnabled(true);
    w.Timer4->setEnabled(false);
    downloadSessions(app).downloadNameCursor = s.downloadStartCursor;
    downloadSessions(app).listEntryIndex = s.downloadStartIndex;
    downloadSessions(app).downloadResumeOff = false;
    downloadSessions(app).downloadPartsRead = false;
    downloadSessions(app).downloadKeptParts.clear();
    downloadSessions(app).downloadClocksNoted = false;
    downloadSessions(app).downloadSessionNames.clear();
    downloadSessions(app).requeue.newSession();
    resetDownloadDialogue(d);
    ++s.sessionsBegun;
    d.downloadTarget = "notdone";
    d.downloadOver = false;
    co_await d.transport->start(d);
    co_await endFurtherConnections(downloadSessions(app));
    logUnsafeSummary(app);
    if (s.shuttingDown) co_return;
    d.downloadTarget = "notdone";
    d.downloadOver = false;
    d.watchdog.setEnabled(false);

    bool deleteSent = false;
    if (!d.downloadFailed && d.downloadSocketError <= 0) {
        ++s.completedDownloadSessions;
        // The last file is deleted on the server only when it passed: its
        // whole content is on disk and the server ended its transfer well.
        if (s.deleteAfterDownload && !s.sessionAborting && d.downloadLastPassed &&
            (d.downloadExpectedSize == -1 || d.downloadExpectedSize == 0 ||
             d.downloadExpectedSize == d.downloadBytes)) {
            d.downloadReplySeen = false;
            deleteSent = d.send("DELE " + d.downloadFileName);
            d.downloadLastPassed = false;
        }
    } else {
        ++s.failedSessions;
        const std::string hh = s.downloadHour + s.downloadAmPm;
        reportFailure(
            d, w.Label11, hh, [&app](const std::string& e) { appendDownloadError(app, e); },
            [&] {
                // A file's transfer failed with no retries to come.
                if (!(numericValue(w.Text11.text()) == 0 && d.downloadStep == 12)) return false;
                w.Timer1->setEnabled(true);
                w.Check1.setChecked(true);
                w.Label11.setCaption(hh + " Transfer Failed");
                d.downloadFileGood = false;
                // Only a file still without its verdict fails here; one
                // already judged keeps its line.
                if (d.downloadVerdictPending) recordDownloadResult(d, "fail");
                return true;
            });
    }

    // Wind-down. A DELE just sent is given a bounded time for its answer.
    if (deleteSent) {
        co_await sessionTimedWait(d, [&] {
            return d.downloadReplySeen || d.control.state() != Endpoint::Connected ||
                   d.downloadWaitSeconds >= 10 || s.shuttingDown;
        });
    }
    if (s.shuttingDown) co_return;
    // A file started in this session and never judged (its transfer's final
    // reply never came, say) fails here, so that every file started gets its
    // line; one that a take-over will fetch again gets it then.
    if (d.downloadVerdictPending && d.takeover == Takeover::None) {
        d.downloadFileGood = false;
        recordDownloadResult(d, "fail");
    }
    d.transport->close(d);
    discardPartialDownload(d);
    d.watchdog.setEnabled(false);
    s.sessionAborting = false;
    w.setCaption(idleCaption);
    w.Label18.setCaption("Last Download on " + lastRunDateText(app.now()));
    lockFields(app, {&w.Text1, &w.fText3, &w.fText4, &w.Text2, &w.Text7, &w.Text9}, false);
    s.downloadRunning = false;
}

Task<> runUploadSession(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    auto& w = app.w;
    u.flooded = false;
    s.uploadRunning = true;
    lockFields(app, {&w.Text3, &w.Text4, &w.Text5, &w.Text6, &w.Text8, &w.Text10}, true);
    u.watchdog.setEnabled(false);
    w.Timer3->setEnabled(false);
    u.control.close();
    u.data.close();
    co_await sessionTimedWait(u, [&] {
        return u.uploadWaitSeconds >= 9 ||
               (s.quickWaits && u.control.state() == Endpoint::Closed && u.data.state() == Endpoint::Closed);
    });
    co_await u.strand.until([&] {
        return u.control.state() == Endpoint::Closed && u.data.state() == Endpoint::Closed;
    });
    if (s.shuttingDown) co_return;
    u.transport = &u.chooseTransport();
    u.uploadIdleTicks = 0;
    u.watchdog.setEnabled(true);
    w.Timer3->setEnabled(false);
    downloadSessions(app).downloadNameCursor = 1;
    downloadSessions(app).listEntryIndex = 0;
    uploadSessions(app).uploadFileIndex = s.uploadStartIndex;
    uploadSessions(app).uploadClocksNoted = false;
    uploadSessions(app).uploadRenameNoted = false;
    uploadSessions(app).uploadTempKeptRead = false;
    uploadSessions(app).requeue.newSession();
    resetUploadDialogue(u);
    ++s.sessionsBegun;
    co_await u.transport->start(u);
    if (s.shuttingDown) co_return;
    s.sessionAborting = false;

    const std::string hh = s.uploadHour + s.uploadAmPm;
    if (u.uploadFailed || u.uploadSocketError > 0) {
        ++s.failedSessions;
        reportFailure(u, w.Label12, hh, [&app](const std::string& e) { appendUploadError(app, e); },
                      [] { return false; });
    } else {
        u.uploadStep = 18;
        if (!u.helper) startFurtherConnections(uploadSessions(app));
        co_await u.transport->takeFiles(u);
        // With more connections the list may end while this one still
        // sends: it is over once it is back between files.
        co_await u.strand.until([&] {
            return (uploadSessions(app).uploadFileIndex > uploadSessions(app).uploadFileCount() && !u.uploadVerdictPending &&
                    (s.parallelConnections <= 1 || u.uploadStep == 18)) ||
                   u.uploadSocketError != 0 || u.uploadFailed || u.takeover != Takeover::None ||
                   s.shuttingDown;
        });
        co_await endFurtherConnections(uploadSessions(app));
        if (s.shuttingDown) co_return;
        if (u.uploadSocketError > 0) {
            ++s.failedSessions;
            if (numericValue(w.Text12.text()) == 0 && u.uploadStep >= 22) {
                w.Timer2->setEnabled(true);
                w.Check2.setChecked(true);
                w.Label12.setCaption(hh + " Transfer Failed");
                // The file in flight, if any, fails below; a file that has
                // its verdict already is not logged twice.
            } else {
                appendUploadError(app, "Timeout Error");
            }
        } else if (u.uploadFailed) {
            ++s.failedSessions;
            if (u.flooded) {
                w.Label12.setCaption(hh + "Timeout");
                appendUploadError(app, floodText);
            } else if (!u.tlsProblem.empty()) {
                // A data connection's TLS peer was not the server's.
                w.Label12.setCaption(hh + " Login Failed");
                appendUploadError(app, u.tlsProblem);
            } else if (u.controlLost) {
                // The server went away while files were being sent.
                w.Label12.setCaption(hh + "Timeout");
                appendUploadError(app, "Timeout Error");
            }
        } else {
            ++s.completedUploadSessions;
        }
    }

    // A file still waiting for the server's confirmation never got it.
    failPendingUpload(u);
    co_await u.transport->finish(u);
    u.watchdog.setEnabled(false);
    u.transport->close(u);
    u.data.close();
    u.file.close();
    w.setCaption(idleCaption);
    w.Label19.setCaption("Last Upload on " + lastRunDateText(app.now()));
    lockFields(app, {&w.Text3, &w.Text4, &w.Text5, &w.Text6, &w.Text8, &w.Text10}, false);
    s.uploadRunning = false;
}

void downloadWatchdogTick(DownloadSession& d) {
    auto& s = d.app.s;
    if (d.downloadIdleTicks > 9 && !s.sessionAborting) {
        d.watchdog.setEnabled(false);
        d.downloadIdleTicks = 0;
        s.sessionAborting = true;
        d.downloadTarget = "done";
        d.downloadOver = true;
        d.downloadFailed = true;
        d.takeover = Takeover::Watchdog;
        ++s.watchdogTakeovers;
    }
    if (d.downloadIdleTicks > 1000) d.downloadIdleTicks = 0;
    ++d.downloadIdleTicks;
}

void uploadWatchdogTick(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    if (u.uploadIdleTicks > 9 && !s.sessionAborting) {
        u.watchdog.setEnabled(false);
        u.uploadIdleTicks = 0;
        s.sessionAborting = true;
        uploadSessions(app).uploadFileIndex = uploadSessions(app).uploadFileCount() + 1;
        // A login that never reaches the sending is ended too.
        if (u.uploadStep < 12) u.uploadFailed = true;
        u.takeover = Takeover::Watchdog;
        ++s.watchdogTakeovers;
    }
    if (u.uploadIdleTicks > 1000) u.uploadIdleTicks = 0;
    ++u.uploadIdleTicks;
}

}  // namespace corvantel
