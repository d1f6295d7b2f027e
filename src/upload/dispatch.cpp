#include "upload/dispatch.h"

#include <cctype>

#include "app/app_state.h"
#include "schedule/retry.h"
#include "upload/commands.h"
#include "upload/sending.h"

namespace corvantel {

using platform::Endpoint;

void installUploadHandlers(App& app) {
    auto& c = *app.w.ftpclient1a;
    c.onDataArrival = [&app](std::int64_t) { uploadReplyDispatch(app); };
    c.onError = [&app](int n, const std::string&) { uploadControlError(app, n); };
    installUploadDataHandlers(app);
}

bool sendUploadCommand(App& app, const std::string& text) {
    auto& c = *app.w.ftpclient1a;
    if (c.state() != Endpoint::Connected) return false;
    if (app.trace) app.trace(std::string("upload -> ") + text);
    if (!c.sendData(text + "\r\n")) return false;
    auto& unanswered = app.s.uploadUnanswered;
    unanswered.push_back(text);
    if (unanswered.size() > 64) unanswered.pop_front();  // a server that answers nothing
    return true;
}

void uploadReplyDispatch(App& app) {
    auto& s = app.s;
    auto& c = *app.w.ftpclient1a;
    if (s.shuttingDown) return;
    if (c.state() != Endpoint::Connected) return;
    s.uploadAssembler.feed(c.getData());
    // One reply at a time, in order; see the download dispatcher.
    if (s.uploadDispatching) return;
    s.uploadDispatching = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{s.uploadDispatching};
    while (auto reply = s.uploadAssembler.next()) {
        if (s.shuttingDown) break;
        s.uploadReply = *reply;
        if (app.trace) app.trace(std::string("upload <- ") + *reply);
        uploadHandleReply(app);
    }
}

void uploadHandleReply(App& app) {
    auto& s = app.s;
    const std::string code = replyCode(s.uploadReply);
    if (s.uploadStep < 12) {
        if (code == "530" || code == "425") {
            if (code == "425" && s.uploadSocketError == 0) s.uploadSocketError = 1;
            s.uploadFailed = true;
        } else if (code == "226" || code == "257" || code == "550" || code == "450") {
            ++s.uploadStep;
        }
    }
    // Match a final reply with the command it answers; a store's answer is
    // the verdict of its file.
    const bool hasCode = code.size() == 3 && std::isdigit(static_cast<unsigned char>(code[0]));
    if (hasCode && code[0] != '1') {
        std::string answered;
        if (!s.uploadUnanswered.empty()) {
            answered = s.uploadUnanswered.front();
            s.uploadUnanswered.pop_front();
        }
        if (answered.rfind("STOR ", 0) == 0)
            uploadStoreReply(app, answered, code);
        else if (s.uploadVerdictPending && (code == "226" || code == "250"))
            // A server that never answered an abandoned store puts the
            // matching out by one; "transfer complete" while a file waits
            // for its verdict can only be that file's.
            uploadStoreReply(app, s.uploadStoreCommand, code);
    }
    app.loop.yield();
    if (s.uploadReply.empty()) return;
    if (s.uploadTakeover != Takeover::None) return;
    const int step = s.uploadStep;
    if (step >= 0 && step <= 7)
        uploadLoginStep(app);
    else if (step >= 8 && step <= 11)
        uploadListingStep(app);
    else if (step == 22)
        beginFileSend(app);
    else if (step >= 12)
        uploadNextFile(app);
}

void uploadControlError(App& app, int n) {
    auto& s = app.s;
    if (n >= 10050 && n <= 11003) {
        s.uploadSocketError = n;
        s.uploadFailed = true;
    } else {
        s.uploadSocketError = 0;
    }
    if (n > 1000 && n < 12000 && !s.sessionAborting && s.uploadStep >= 22) uploadErrorRetry(app, s.uploadFileIndex);
}

}  // namespace corvantel
