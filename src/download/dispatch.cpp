#include "download/dispatch.h"

#include "app/app_state.h"
#include "download/session.h"
#include "app/dialogue.h"
#include "download/commands.h"
#include "download/data_connection.h"
#include "download/records.h"
#include "download/retrieval.h"
#include "download/selection.h"
#include "app/waits.h"

namespace corvantel {

using platform::Endpoint;

void installDownloadSessionHandlers(DownloadSession& d) {
    installControlHandlers(d);
    installDownloadDataHandlers(d);
}

void installDownloadHandlers(App& app) {
    auto& w = app.w;
    auto sessions = std::make_unique<DownloadSessions>(app);
    sessions->all.push_back(std::make_unique<DownloadSession>(app, *w.ftpclient1, *w.ftpclient2, *w.Timerf, *w.Timer3));
    DownloadSession& d = (*sessions)[0];
    app.downloadSessions = std::move(sessions);
    app.loadDownloadRecords = [&app] { loadDownloadedNames(app); };
    app.discardDownloadInFlight = [&app] {
        auto& sessions = downloadSessions(app);
        for (std::size_t k = 0; k < sessions.all.size(); ++k) {
            if (sessions[k].helper) {
                sessions[k].control.close();
                sessions[k].data.close();
            }
            // Over SFTP the connection ends at once, whatever it waits on.
            if (sessions[k].sftp) sessions[k].sftp->close();
            discardPartialDownload(sessions[k]);
        }
    };
    app.downloadingNow = [&app](const std::string& name) {
        if (!app.s.downloadRunning) return false;
        auto& sessions = downloadSessions(app);
        for (std::size_t k = 0; k < sessions.all.size(); ++k)
            if (sessions[k].downloadVerdictPending && sessions[k].downloadTarget == name) return true;
        return false;
    };
    installDownloadSessionHandlers(d);
}

Task<> downloadHandleReply(DownloadSession& d) {
    App& app = d.app;
    const std::string code = replyCode(d.downloadReply);
    // A reply moves the dialogue only when it answers the command that the
    // current step sent (or is the preliminary reply of the RETR that step
    // 16 waits for). Replies that answer nothing, or answer a command an
    // earlier step gave up on, move nothing.
    const auto answer = d.ledger.match(d.downloadReply);
    if (!answer || !answer->latest) {
        if (app.trace) app.trace("download: reply answers no pending step");
        co_return;
    }
    if (!answer->final && !(d.downloadStep == 16 && answer->command.rfind("RETR ", 0) == 0)) co_return;
    d.answered = answer->command;
    if (!stepReplyRule(d, code) && d.downloadStep == 12 && d.downloadNextDue &&
        answer->command.rfind("RETR ", 0) == 0 && code[0] != '2') {
        // The server ended the current file's transfer with anything but a
        // positive completion reply.
        d.downloadFileSpoiled = true;
    }
    co_await d.strand.turn();
    if (d.downloadReply.empty()) co_return;
    // A session taken over by the watchdog or the retry step is only wound
    // down: its replies move nothing on any more.
    if (d.takeover != Takeover::None) co_return;
    const int step = d.downloadStep;
    if (step >= 0 && step <= 7) {
        co_await downloadLoginStep(d);
    } else if ((step >= 8 && step <= 11) || step == 17) {
        co_await downloadListingStep(d);
    } else if (step >= 12 && step <= 16) {
        const bool next = co_await selectNextDownload(d);
        if (next)
            co_await retrievalStep(d);
        else
            co_await finishListing(d);
    }
}

Task<> finishListing(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    co_await sessionTimedWait(d, [&] {
        return d.downloadWaitSeconds >= 9 || (s.quickWaits && (!d.downloadVerdictPending || downloadFileProvablyDone(d)));
    });
    // Taken over: nothing is judged on what has come so far.
    if (sessionEnding(d)) co_return;
    if (d.downloadFileGood && d.downloadNextDue) {
        const bool passed = co_await judgeAndRecordDownload(d);
        (void)passed;
    }
    d.downloadStep = 17;
    d.data.close();
    discardPartialDownload(d);
}

}  // namespace corvantel
