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
    auto& c = d.control;
    c.onDataArrival = [&d](std::int64_t) { d.strand.spawn(downloadReplyDispatch(d)); };
    c.onError = [&d](int n, const std::string&) { downloadControlError(d, n); };
    // The control connection is secure: the login goes on with USER.
    c.onTlsReady = [&d] {
        auto& s = d.app.s;
        if (!s.downloadRunning || d.tlsPhase != TlsPhase::Handshake) return;
        d.tlsPhase = TlsPhase::Secure;
        d.strand.spawn(downloadLoginStep(d));
    };
    // The server closed the control connection: the session cannot go on.
    // A clean close (a server restarting, say) is the same fault as a
    // reset, with the same retries.
    c.onClose = [&d] { downloadControlError(d, platform::neterr::ConnectionReset); };
    installDownloadDataHandlers(d);
}

void installDownloadHandlers(App& app) {
    auto& w = app.w;
    auto sessions = std::make_unique<DownloadSessions>();
    sessions->all.push_back(std::make_unique<DownloadSession>(app, *w.ftpclient1, *w.ftpclient2, *w.Timerf, *w.Timer3));
    DownloadSession& d = *sessions->all.front();
    app.downloadSessions = std::move(sessions);
    app.loadDownloadRecords = [&app] { loadDownloadedNames(app); };
    app.discardDownloadInFlight = [&app] {
        for (auto& session : downloadSessions(app).all) {
            if (session->helper) {
                session->control.close();
                session->data.close();
            }
            discardPartialDownload(*session);
        }
    };
    app.downloadingNow = [&app](const std::string& name) {
        if (!app.s.downloadRunning) return false;
        for (auto& session : static_cast<DownloadSessions&>(*app.downloadSessions).all)
            if (session->downloadVerdictPending && session->downloadTarget == name) return true;
        return false;
    };
    installDownloadSessionHandlers(d);
}

static Dialogue downloadDialogue(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    return {d.label.c_str(),     d.control, d.assembler, d.ledger, d.dispatching,
            d.flooded,   d.downloadFailed,  s.downloadRunning,   d.lostLater, d.downloadReply,
            d.type};
}

bool sendDownloadCommand(DownloadSession& d, const std::string& text) {
    App& app = d.app; return sendCommand(app, downloadDialogue(d), text); }

Task<> downloadReplyDispatch(DownloadSession& d) {
    App& app = d.app;
    d.downloadReplySeen = true;
    co_await dispatchReplies(
        app, downloadDialogue(d), [&d] { return downloadHandleReply(d); },
        [&d](int n) { downloadControlError(d, n); });
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
    // A listing refused: the data connection opened for it (passive mode)
    // will carry nothing, and nothing waits for it to end.
    if (d.downloadStep == 7 && isTransferCommand(d.answered) && (code[0] == '4' || code[0] == '5'))
        d.data.close();
    // An answer to EPSV or PASV is judged by the data setup (the step's own
    // handling below), never by these rules: a refused EPSV moves no step on.
    if (d.downloadStep < 12 && !answeredBySetup(d.answered, code)) {
        if (code == "425" || code == "530") {
            if (code == "425" && d.downloadSocketError == 0) d.downloadSocketError = 1;
            d.downloadFailed = true;
        } else if (code == "226" || code == "257" || code == "550" || code == "450" ||
                   (isTransferCommand(d.answered) && code[0] == '2')) {
            // 450 is what many servers answer to a listing with no match; a
            // listing ends with any positive completion reply (226, or 250
            // as z/OS-style servers send).
            ++d.downloadStep;
        } else if ((d.downloadStep == 3 && d.answered == "PWD") ||
                   (d.downloadStep == 7 && isTransferCommand(d.answered) && (code[0] == '4' || code[0] == '5'))) {
            // Any answer to PWD ends that step, and any refusal of the
            // listing ends the listing as "550" does: the session never
            // waits for a reply that will not come.
            ++d.downloadStep;
        }
    } else if (d.downloadStep == 12 && d.downloadNextDue && answer->command.rfind("RETR ", 0) == 0 &&
               code[0] != '2') {
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

void downloadControlError(DownloadSession& d, int n) {
    App& app = d.app;
    auto& s = app.s;
    // An error that arrives when no download session runs ends nothing and
    // leaves nothing behind.
    if (!s.downloadRunning) return;
    // A login the server refused stays a refused login, whatever it does
    // with the connection afterwards; and once no file is left to ask for,
    // losing the connection (by a close or a reset alike) costs nothing:
    // the last file is judged on what it proved.
    if ((d.downloadFailed && d.downloadSocketError == 0 && !d.controlLost) || d.downloadOver) return;
    // In the file phase with every command answered (the server closed
    // right behind a transfer's final reply, say), nothing is lost yet: the
    // files are judged on what they proved, and the session fails only if
    // it needs the connection again (the next command cannot be sent).
    if (d.downloadStep >= 12) {
        if (d.ledger.idle()) return;
        // Replies read before the loss wait their turn: they may answer
        // what is pending. The dispatcher decides once it has read them.
        if (d.dispatching && !d.assembler.empty()) {
            d.lostLater = n;
            return;
        }
    }
    // Every error on the control connection ends the session at once, also
    // those outside the usual network range (an unusable address, say).
    d.downloadSocketError = n > 0 ? n : platform::neterr::NetworkDown;
    d.downloadFailed = true;
    if (n > 1000 && n < 12000 && !s.sessionAborting && d.downloadStep == 12) downloadErrorRetry(d);
}

}  // namespace corvantel
