#include "upload/dispatch.h"

#include <cctype>

#include "app/app_state.h"
#include "upload/session.h"
#include "app/dialogue.h"
#include "app/waits.h"
#include "upload/commands.h"
#include "upload/sending.h"
#include "upload/transfer_log.h"

namespace corvantel {

using platform::Endpoint;

void installUploadSessionHandlers(UploadSession& u) {
    auto& c = u.control;
    c.onDataArrival = [&u](std::int64_t) { u.strand.spawn(uploadReplyDispatch(u)); };
    c.onError = [&u](int n, const std::string&) { uploadControlError(u, n); };
    c.onTlsReady = [&u] {
        auto& s = u.app.s;
        if (!s.uploadRunning || u.tlsPhase != TlsPhase::Handshake) return;
        u.tlsPhase = TlsPhase::Secure;
        u.strand.spawn(uploadLoginStep(u));
    };
    // The server closed the control connection: the session is over, as
    // after a reset (with the same retries).
    c.onClose = [&u] {
        if (!u.app.s.uploadRunning) return;
        uploadControlError(u, platform::neterr::ConnectionReset);
    };
    installUploadDataHandlers(u);
}

void installUploadHandlers(App& app) {
    auto& w = app.w;
    auto sessions = std::make_unique<UploadSessions>();
    sessions->all.push_back(std::make_unique<UploadSession>(app, *w.ftpclient1a, *w.ftpclient3, *w.Timerg, *w.Timer4));
    UploadSession& u = *sessions->all.front();
    app.uploadSessions = std::move(sessions);
    app.loadUploadRecords = [&app] { loadUploadedNames(app); };
    app.closeUploadInFlight = [&app] {
        for (auto& session : uploadSessions(app).all) {
            if (session->helper) {
                session->control.close();
                session->data.close();
            }
            session->file.close();
        }
    };
    app.uploadingNow = [&app](const std::string& name) {
        if (!app.s.uploadRunning) return false;
        for (auto& session : static_cast<UploadSessions&>(*app.uploadSessions).all)
            if (session->uploadFileStarted && session->uploadFileName == name) return true;
        return false;
    };
    installUploadSessionHandlers(u);
}

static Dialogue uploadDialogue(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    return {u.label.c_str(), u.control, u.assembler, u.ledger, u.dispatching,
            u.flooded, u.uploadFailed,     s.uploadRunning,   u.lostLater, u.uploadReply,
            u.type};
}

bool sendUploadCommand(UploadSession& u, const std::string& text) {
    App& app = u.app; return sendCommand(app, uploadDialogue(u), text); }

Task<> uploadReplyDispatch(UploadSession& u) {
    App& app = u.app;
    return dispatchReplies(
        app, uploadDialogue(u), [&u] { return uploadHandleReply(u); },
        [&u](int n) { uploadControlError(u, n); });
}

Task<> uploadHandleReply(UploadSession& u) {
    App& app = u.app;
    const std::string code = replyCode(u.uploadReply);
    const auto answer = u.ledger.match(u.uploadReply);
    if (!answer) {
        // "Transfer complete" while a file waits for its verdict can only be
        // that file's, even when a server that never answered an abandoned
        // store has put the matching out.
        if (u.uploadVerdictPending && code == "226") co_await uploadStoreReply(u, u.uploadStoreCommand, code);
        if (app.trace) app.trace("upload: reply answers no command");
        co_return;
    }
    if (answer->final && answer->command.rfind("STOR ", 0) == 0) co_await uploadStoreReply(u, answer->command, code);
    // Only the reply to the command that the current step sent moves the
    // dialogue on: the next file's commands go out once the server has given
    // its final answer to the current file's store (or the file has failed).
    // A preliminary reply moves it only where the step waits for the store to
    // begin.
    if (!answer->latest) co_return;
    if (!answer->final && !(u.uploadStep == 22 && answer->command.rfind("STOR ", 0) == 0)) co_return;
    u.answered = answer->command;
    // A listing refused: the data connection opened for it (passive mode)
    // will carry nothing, and nothing waits for it to end.
    if (u.uploadStep == 7 && isTransferCommand(u.answered) && (code[0] == '4' || code[0] == '5'))
        u.data.close();
    // An answer to EPSV or PASV is judged by the data setup (see the
    // download dialogue).
    if (u.uploadStep < 12 && !answeredBySetup(u.answered, code)) {
        if (code == "530" || code == "425") {
            if (code == "425" && u.uploadSocketError == 0) u.uploadSocketError = 1;
            u.uploadFailed = true;
        } else if (code == "226" || code == "257" || code == "550" || code == "450" ||
                   (isTransferCommand(u.answered) && code[0] == '2')) {
            ++u.uploadStep;
        } else if ((u.uploadStep == 3 && u.answered == "PWD") ||
                   (u.uploadStep == 7 && isTransferCommand(u.answered) && (code[0] == '4' || code[0] == '5'))) {
            // See the download dialogue: no step waits for a reply that will
            // not come.
            ++u.uploadStep;
        }
    }
    co_await u.strand.turn();
    if (u.uploadReply.empty()) co_return;
    if (u.takeover != Takeover::None) co_return;
    const int step = u.uploadStep;
    if (step >= 0 && step <= 7)
        co_await uploadLoginStep(u);
    else if (step >= 8 && step <= 11)
        co_await uploadListingStep(u);
    else if (step == 22)
        co_await beginFileSend(u);
    else if (step >= 12)
        co_await uploadNextFile(u);
}

void uploadControlError(UploadSession& u, int n) {
    App& app = u.app;
    auto& s = app.s;
    // An error that arrives when no upload session runs ends nothing and
    // leaves nothing behind.
    if (!s.uploadRunning) return;
    // A refused login stays a refused login (see the download dialogue).
    if (u.uploadFailed && u.uploadSocketError == 0 && !u.controlLost) return;
    // In the file phase with every command answered, nothing is lost yet
    // (see the download dialogue): the session fails only if it needs the
    // connection again.
    if (u.uploadStep >= 12) {
        if (u.ledger.idle()) return;
        if (u.dispatching && !u.assembler.empty()) {
            u.lostLater = n;
            return;
        }
    }
    // Every error on the control connection ends the session at once, also
    // those outside the usual network range (an unusable address, say):
    // the dialogue cannot go on without its connection.
    u.uploadSocketError = n > 0 ? n : platform::neterr::NetworkDown;
    u.uploadFailed = true;
    if (n > 1000 && n < 12000 && !s.sessionAborting && u.uploadStep >= 22) uploadErrorRetry(u, s.uploadFileIndex);
}

}  // namespace corvantel
