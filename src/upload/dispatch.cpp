#include "upload/dispatch.h"

#include <cctype>

#include "app/app_state.h"
#include "app/dialogue.h"
#include "app/waits.h"
#include "upload/commands.h"
#include "upload/sending.h"
#include "upload/session.h"
#include "upload/temp_name.h"
#include "upload/transfer_log.h"

namespace corvantel {

using platform::Endpoint;

void installUploadSessionHandlers(UploadSession& u) {
    installControlHandlers(u);
    installUploadDataHandlers(u);
}

void installUploadHandlers(App& app) {
    auto& w = app.w;
    auto sessions = std::make_unique<UploadSessions>(app);
    sessions->all.push_back(std::make_unique<UploadSession>(app, *w.ftpclient1a, *w.ftpclient3, *w.Timerg, *w.Timer4));
    UploadSession& u = (*sessions)[0];
    app.uploadSessions = std::move(sessions);
    app.loadUploadRecords = [&app] { loadUploadedNames(app); };
    app.closeUploadInFlight = [&app] {
        auto& sessions = uploadSessions(app);
        for (std::size_t k = 0; k < sessions.all.size(); ++k) {
            if (sessions[k].helper) {
                sessions[k].control.close();
                sessions[k].data.close();
            }
            sessions[k].file.close();
            // A copy cut by the shutdown is one to resume (with resume).
            leaveTemp(sessions[k], true);
            // Over SFTP the connection ends at once, whatever it waits on.
            if (sessions[k].sftp) sessions[k].sftp->close();
            if (!sessions[k].uploadSftpWriting.empty() && sessions[k].uploadBytesSent > 0 && uploadsResumable(app))
                keepCutCopy(sessions[k], sessions[k].uploadSftpWriting);
        }
    };
    app.uploadingNow = [&app](const std::string& name) {
        if (!app.s.uploadRunning) return false;
        auto& sessions = uploadSessions(app);
        for (std::size_t k = 0; k < sessions.all.size(); ++k)
            if (sessions[k].uploadFileStarted && sessions[k].uploadFileName == name) return true;
        return false;
    };
    installUploadSessionHandlers(u);
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
    // (APPE continues a cut temporary copy.)
    const bool store = answer->command.rfind("STOR ", 0) == 0 || answer->command.rfind("APPE ", 0) == 0;
    if (answer->final && store) co_await uploadStoreReply(u, answer->command, code);
    // Only the reply to the command that the current step sent moves the
    // dialogue on: the next file's commands go out once the server has given
    // its final answer to the current file's store (or the file has failed).
    // A preliminary reply moves it only where the step waits for the store to
    // begin.
    if (!answer->latest) co_return;
    if (!answer->final && !(u.uploadStep == 22 && store)) co_return;
    u.answered = answer->command;
    stepReplyRule(u, code);
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

}  // namespace corvantel
