#include "download/dispatch.h"

#include "app/app_state.h"
#include "app/dialogue.h"
#include "download/commands.h"
#include "download/data_connection.h"
#include "download/records.h"
#include "download/retrieval.h"
#include "download/selection.h"
#include "app/waits.h"

namespace corvantel {

using platform::Endpoint;

void installDownloadHandlers(App& app) {
    auto& c = *app.w.ftpclient1;
    c.onDataArrival = [&app](std::int64_t) { app.downloadStrand.spawn(downloadReplyDispatch(app)); };
    c.onError = [&app](int n, const std::string&) { downloadControlError(app, n); };
    app.sendDownloadHook = [&app](const std::string& text) { return sendDownloadCommand(app, text); };
    app.loadDownloadRecords = [&app] { loadDownloadedNames(app); };
    app.discardDownloadInFlight = [&app] { discardPartialDownload(app); };
    // The control connection is secure: the login goes on with USER.
    c.onTlsReady = [&app] {
        auto& s = app.s;
        if (!s.downloadRunning || s.downloadTlsPhase != TlsPhase::Handshake) return;
        s.downloadTlsPhase = TlsPhase::Secure;
        app.downloadStrand.spawn(downloadLoginStep(app));
    };
    // The server closed the control connection: the session cannot go on.
    // A clean close (a server restarting, say) is the same fault as a
    // reset, with the same retries.
    c.onClose = [&app] { downloadControlError(app, platform::neterr::ConnectionReset); };
    installDownloadDataHandlers(app);
}

static Dialogue downloadDialogue(App& app) {
    auto& s = app.s;
    return {"download",          *app.w.ftpclient1, s.downloadAssembler, s.downloadLedger, s.downloadDispatching,
            s.downloadFlooded,   s.downloadFailed,  s.downloadRunning,   s.downloadLostLater, s.downloadReply,
            s.downloadType};
}

bool sendDownloadCommand(App& app, const std::string& text) { return sendCommand(app, downloadDialogue(app), text); }

Task<> downloadReplyDispatch(App& app) {
    app.s.downloadReplySeen = true;
    co_await dispatchReplies(
        app, downloadDialogue(app), [&app] { return downloadHandleReply(app); },
        [&app](int n) { downloadControlError(app, n); });
}

Task<> downloadHandleReply(App& app) {
    auto& s = app.s;
    const std::string code = replyCode(s.downloadReply);
    // A reply moves the dialogue only when it answers the command that the
    // current step sent (or is the preliminary reply of the RETR that step
    // 16 waits for). Replies that answer nothing, or answer a command an
    // earlier step gave up on, move nothing.
    const auto answer = s.downloadLedger.match(s.downloadReply);
    if (!answer || !answer->latest) {
        if (app.trace) app.trace("download: reply answers no pending step");
        co_return;
    }
    if (!answer->final && !(s.downloadStep == 16 && answer->command.rfind("RETR ", 0) == 0)) co_return;
    s.downloadAnswered = answer->command;
    // A listing refused: the data connection opened for it (passive mode)
    // will carry nothing, and nothing waits for it to end.
    if (s.downloadStep == 7 && isTransferCommand(s.downloadAnswered) && (code[0] == '4' || code[0] == '5'))
        app.w.ftpclient2->close();
    // An answer to EPSV or PASV is judged by the data setup (the step's own
    // handling below), never by these rules: a refused EPSV moves no step on.
    if (s.downloadStep < 12 && !answeredBySetup(s.downloadAnswered, code)) {
        if (code == "425" || code == "530") {
            if (code == "425" && s.downloadSocketError == 0) s.downloadSocketError = 1;
            s.downloadFailed = true;
        } else if (code == "226" || code == "257" || code == "550" || code == "450" ||
                   (isTransferCommand(s.downloadAnswered) && code[0] == '2')) {
            // 450 is what many servers answer to a listing with no match; a
            // listing ends with any positive completion reply (226, or 250
            // as z/OS-style servers send).
            ++s.downloadStep;
        } else if ((s.downloadStep == 3 && s.downloadAnswered == "PWD") ||
                   (s.downloadStep == 7 && isTransferCommand(s.downloadAnswered) && (code[0] == '4' || code[0] == '5'))) {
            // Any answer to PWD ends that step, and any refusal of the
            // listing ends the listing as "550" does: the session never
            // waits for a reply that will not come.
            ++s.downloadStep;
        }
    } else if (s.downloadStep == 12 && s.downloadNextDue && answer->command.rfind("RETR ", 0) == 0 &&
               code[0] != '2') {
        // The server ended the current file's transfer with anything but a
        // positive completion reply.
        s.downloadFileSpoiled = true;
    }
    co_await app.downloadStrand.turn();
    if (s.downloadReply.empty()) co_return;
    // A session taken over by the watchdog or the retry step is only wound
    // down: its replies move nothing on any more.
    if (s.downloadTakeover != Takeover::None) co_return;
    const int step = s.downloadStep;
    if (step >= 0 && step <= 7) {
        co_await downloadLoginStep(app);
    } else if ((step >= 8 && step <= 11) || step == 17) {
        co_await downloadListingStep(app);
    } else if (step >= 12 && step <= 16) {
        const bool next = co_await selectNextDownload(app);
        if (next)
            co_await retrievalStep(app);
        else
            co_await finishListing(app);
    }
}

Task<> finishListing(App& app) {
    auto& s = app.s;
    co_await downloadTimedWait(app, [&] {
        return s.downloadWaitSeconds >= 9 || (s.quickWaits && (!s.downloadVerdictPending || downloadFileProvablyDone(app)));
    });
    // Taken over: nothing is judged on what has come so far.
    if (downloadSessionEnding(app)) co_return;
    if (s.downloadFileGood && s.downloadNextDue) {
        const bool passed = co_await judgeAndRecordDownload(app);
        (void)passed;
    }
    s.downloadStep = 17;
    app.w.ftpclient2->close();
    discardPartialDownload(app);
}

void downloadControlError(App& app, int n) {
    auto& s = app.s;
    // An error that arrives when no download session runs ends nothing and
    // leaves nothing behind.
    if (!s.downloadRunning) return;
    // A login the server refused stays a refused login, whatever it does
    // with the connection afterwards; and once no file is left to ask for,
    // losing the connection (by a close or a reset alike) costs nothing:
    // the last file is judged on what it proved.
    if ((s.downloadFailed && s.downloadSocketError == 0 && !s.downloadControlLost) || s.downloadOver) return;
    // In the file phase with every command answered (the server closed
    // right behind a transfer's final reply, say), nothing is lost yet: the
    // files are judged on what they proved, and the session fails only if
    // it needs the connection again (the next command cannot be sent).
    if (s.downloadStep >= 12) {
        if (s.downloadLedger.idle()) return;
        // Replies read before the loss wait their turn: they may answer
        // what is pending. The dispatcher decides once it has read them.
        if (s.downloadDispatching && !s.downloadAssembler.empty()) {
            s.downloadLostLater = n;
            return;
        }
    }
    // Every error on the control connection ends the session at once, also
    // those outside the usual network range (an unusable address, say).
    s.downloadSocketError = n > 0 ? n : platform::neterr::NetworkDown;
    s.downloadFailed = true;
    if (n > 1000 && n < 12000 && !s.sessionAborting && s.downloadStep == 12) downloadErrorRetry(app);
}

}  // namespace corvantel
