#include "download/dispatch.h"

#include "app/app_state.h"
#include "download/commands.h"
#include "download/data_connection.h"
#include "download/records.h"
#include "download/retrieval.h"
#include "download/selection.h"
#include "schedule/drivers.h"
#include "schedule/retry.h"

namespace corvantel {

using platform::Endpoint;

void installDownloadHandlers(App& app) {
    auto& c = *app.w.ftpclient1;
    c.onDataArrival = [&app](std::int64_t) { downloadReplyDispatch(app); };
    c.onError = [&app](int n, const std::string&) { downloadControlError(app, n); };
    installDownloadDataHandlers(app);
}

bool sendDownloadCommand(App& app, const std::string& text) {
    auto& c = *app.w.ftpclient1;
    if (c.state() != Endpoint::Connected) return false;
    if (app.trace) app.trace(std::string("download -> ") + text);
    return c.sendData(text + "\r\n");
}

void downloadReplyDispatch(App& app) {
    auto& s = app.s;
    auto& c = *app.w.ftpclient1;
    s.downloadReplySeen = true;
    if (s.shuttingDown) return;
    // An arrival on a connection that is no longer up is not waited on.
    if (c.state() != Endpoint::Connected) return;
    s.downloadAssembler.feed(c.getData());
    // Replies are handled one at a time, in order. One that comes while an
    // earlier one is still being handled (its handling may wait) is taken up
    // by the outer loop afterwards, so the nesting never grows with the
    // number of replies.
    if (s.downloadDispatching) return;
    s.downloadDispatching = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{s.downloadDispatching};
    while (auto reply = s.downloadAssembler.next()) {
        if (s.shuttingDown) break;
        s.downloadReply = *reply;
        if (app.trace) app.trace(std::string("download <- ") + *reply);
        downloadHandleReply(app);
    }
}

void downloadHandleReply(App& app) {
    auto& s = app.s;
    const std::string code = replyCode(s.downloadReply);
    if (s.downloadStep < 12) {
        if (code == "425" || code == "530") {
            if (code == "425" && s.downloadSocketError == 0) s.downloadSocketError = 1;
            s.downloadFailed = true;
        } else if (code == "226" || code == "257" || code == "550" || code == "450") {
            // 450 is what many servers answer to a listing with no match.
            ++s.downloadStep;
        }
    } else if (s.downloadStep == 12 && s.downloadNextDue && !code.empty() &&
               (code[0] == '4' || code[0] == '5')) {
        // The server ended the current file's transfer with an error.
        s.downloadFileSpoiled = true;
    }
    app.loop.yield();
    if (s.downloadReply.empty()) return;
    // A session taken over by the watchdog or the retry step is only wound
    // down: its replies move nothing on any more.
    if (s.downloadTakeover != Takeover::None) return;
    const int step = s.downloadStep;
    if (step >= 0 && step <= 7) {
        downloadLoginStep(app);
    } else if ((step >= 8 && step <= 11) || step == 17) {
        downloadListingStep(app);
    } else if (step >= 12 && step <= 16) {
        if (selectNextDownload(app))
            retrievalStep(app);
        else
            finishListing(app);
    }
}

void finishListing(App& app) {
    auto& s = app.s;
    downloadTimedWait(app, [&] { return s.downloadWaitSeconds >= 9; });
    if (s.downloadFileGood && s.downloadNextDue) {
        bool pass = judgeDownloadedFile(app);
        if (!pass) s.downloadFileGood = false;
        recordDownloadResult(app, pass ? "pass" : "fail");
    }
    s.downloadStep = 17;
    app.w.ftpclient2->close();
    discardPartialDownload(app);
}

void downloadControlError(App& app, int n) {
    auto& s = app.s;
    if (n >= 10050 && n <= 11003) {
        s.downloadSocketError = n;
        s.downloadFailed = true;
    } else {
        s.downloadSocketError = 0;
    }
    if (n > 1000 && n < 12000 && !s.sessionAborting && s.downloadStep == 12) downloadErrorRetry(app);
}

}  // namespace corvantel
