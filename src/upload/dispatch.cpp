#include "upload/dispatch.h"

#include <cctype>

#include "app/app_state.h"
#include "app/dialogue.h"
#include "app/waits.h"
#include "upload/commands.h"
#include "upload/sending.h"
#include "upload/transfer_log.h"

namespace corvantel {

using platform::Endpoint;

void installUploadHandlers(App& app) {
    auto& c = *app.w.ftpclient1a;
    c.onDataArrival = [&app](std::int64_t) { app.uploadStrand.spawn(uploadReplyDispatch(app)); };
    c.onError = [&app](int n, const std::string&) { uploadControlError(app, n); };
    app.sendUploadHook = [&app](const std::string& text) { return sendUploadCommand(app, text); };
    app.loadUploadRecords = [&app] { loadUploadedNames(app); };
    c.onTlsReady = [&app] {
        auto& s = app.s;
        if (!s.uploadRunning || s.uploadTlsPhase != TlsPhase::Handshake) return;
        s.uploadTlsPhase = TlsPhase::Secure;
        app.uploadStrand.spawn(uploadLoginStep(app));
    };
    // The server closed the control connection: the session is over, as
    // after a reset (with the same retries).
    c.onClose = [&app] {
        if (!app.s.uploadRunning) return;
        uploadControlError(app, platform::neterr::ConnectionReset);
    };
    installUploadDataHandlers(app);
}

static Dialogue uploadDialogue(App& app) {
    auto& s = app.s;
    return {"upload",        *app.w.ftpclient1a, s.uploadAssembler, s.uploadLedger, s.uploadDispatching,
            s.uploadFlooded, s.uploadFailed,     s.uploadRunning,   s.uploadLostLater, s.uploadReply,
            s.uploadType};
}

bool sendUploadCommand(App& app, const std::string& text) { return sendCommand(app, uploadDialogue(app), text); }

Task<> uploadReplyDispatch(App& app) {
    return dispatchReplies(
        app, uploadDialogue(app), [&app] { return uploadHandleReply(app); },
        [&app](int n) { uploadControlError(app, n); });
}

Task<> uploadHandleReply(App& app) {
    auto& s = app.s;
    const std::string code = replyCode(s.uploadReply);
    const auto answer = s.uploadLedger.match(s.uploadReply);
    if (!answer) {
        // "Transfer complete" while a file waits for its verdict can only be
        // that file's, even when a server that never answered an abandoned
        // store has put the matching out.
        if (s.uploadVerdictPending && code == "226") co_await uploadStoreReply(app, s.uploadStoreCommand, code);
        if (app.trace) app.trace("upload: reply answers no command");
        co_return;
    }
    if (answer->final && answer->command.rfind("STOR ", 0) == 0) co_await uploadStoreReply(app, answer->command, code);
    // Only the reply to the command that the current step sent moves the
    // dialogue on: the next file's commands go out once the server has given
    // its final answer to the current file's store (or the file has failed).
    // A preliminary reply moves it only where the step waits for the store to
    // begin.
    if (!answer->latest) co_return;
    if (!answer->final && !(s.uploadStep == 22 && answer->command.rfind("STOR ", 0) == 0)) co_return;
    s.uploadAnswered = answer->command;
    // A listing refused: the data connection opened for it (passive mode)
    // will carry nothing, and nothing waits for it to end.
    if (s.uploadStep == 7 && isTransferCommand(s.uploadAnswered) && (code[0] == '4' || code[0] == '5'))
        app.w.ftpclient3->close();
    // An answer to EPSV or PASV is judged by the data setup (see the
    // download dialogue).
    if (s.uploadStep < 12 && !answeredBySetup(s.uploadAnswered, code)) {
        if (code == "530" || code == "425") {
            if (code == "425" && s.uploadSocketError == 0) s.uploadSocketError = 1;
            s.uploadFailed = true;
        } else if (code == "226" || code == "257" || code == "550" || code == "450" ||
                   (isTransferCommand(s.uploadAnswered) && code[0] == '2')) {
            ++s.uploadStep;
        } else if ((s.uploadStep == 3 && s.uploadAnswered == "PWD") ||
                   (s.uploadStep == 7 && isTransferCommand(s.uploadAnswered) && (code[0] == '4' || code[0] == '5'))) {
            // See the download dialogue: no step waits for a reply that will
            // not come.
            ++s.uploadStep;
        }
    }
    co_await app.uploadStrand.turn();
    if (s.uploadReply.empty()) co_return;
    if (s.uploadTakeover != Takeover::None) co_return;
    const int step = s.uploadStep;
    if (step >= 0 && step <= 7)
        co_await uploadLoginStep(app);
    else if (step >= 8 && step <= 11)
        co_await uploadListingStep(app);
    else if (step == 22)
        co_await beginFileSend(app);
    else if (step >= 12)
        co_await uploadNextFile(app);
}

void uploadControlError(App& app, int n) {
    auto& s = app.s;
    // An error that arrives when no upload session runs ends nothing and
    // leaves nothing behind.
    if (!s.uploadRunning) return;
    // A refused login stays a refused login (see the download dialogue).
    if (s.uploadFailed && s.uploadSocketError == 0 && !s.uploadControlLost) return;
    // In the file phase with every command answered, nothing is lost yet
    // (see the download dialogue): the session fails only if it needs the
    // connection again.
    if (s.uploadStep >= 12) {
        if (s.uploadLedger.idle()) return;
        if (s.uploadDispatching && !s.uploadAssembler.empty()) {
            s.uploadLostLater = n;
            return;
        }
    }
    // Every error on the control connection ends the session at once, also
    // those outside the usual network range (an unusable address, say):
    // the dialogue cannot go on without its connection.
    s.uploadSocketError = n > 0 ? n : platform::neterr::NetworkDown;
    s.uploadFailed = true;
    if (n > 1000 && n < 12000 && !s.sessionAborting && s.uploadStep >= 22) uploadErrorRetry(app, s.uploadFileIndex);
}

}  // namespace corvantel
