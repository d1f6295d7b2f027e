#include "upload/helpers.h"

#include <memory>
#include <string>

#include "app/app_state.h"
#include "app/connections.h"
#include "upload/dispatch.h"
#include "upload/sending.h"
#include "upload/session.h"
#include "upload/transfer_log.h"

namespace corvantel {

using platform::Endpoint;

namespace {

UploadSession& sessionAt(App& app, std::size_t k) {
    auto& sessions = uploadSessions(app);
    while (sessions.all.size() <= k) {
        const ConnectionParts parts = makeConnectionParts(app, sessions.endpoints, sessions.timers);
        auto made = std::make_unique<UploadSession>(app, parts.control, parts.data, parts.seconds, parts.watchdog);
        UploadSession& h = *made;
        h.helper = true;
        h.label = "upload#" + std::to_string(sessions.all.size() + 1);
        sessions.all.push_back(std::move(made));
        installUploadSessionHandlers(h);
        installConnectionTimers(app, parts, {h.uploadWaitSeconds, h.secondsTicked, h.uploadIdleTicks}, [&h] {
            h.uploadFailed = true;
            h.takeover = Takeover::Watchdog;
        });
    }
    return *sessions.all[k];
}

void trace(App& app, std::size_t k, const std::string& what) {
    if (app.trace) app.trace("upload#" + std::to_string(k + 1) + ": " + what);
}

Task<> runHelper(UploadSession& h, std::size_t k) {
    App& app = h.app;
    auto& s = app.s;
    auto& w = app.w;
    h.flooded = false;
    h.takeover = Takeover::None;
    h.control.close();
    h.data.close();
    aimConnection(app, h.control, h.data, w.Text3.text(), w.Text10.text());
    resetUploadDialogue(h);
    h.uploadFileStarted = false;
    h.uploadVerdictGiven = false;
    h.uploadIdleTicks = 0;
    h.watchdog.setEnabled(true);
    trace(app, k, "opening");
    h.control.connect();
    auto lost = [&] {
        return h.uploadSocketError != 0 || h.uploadFailed || h.takeover != Takeover::None || s.shuttingDown;
    };
    // Logins are spaced out: the next connection opens once this one is in
    // (or has failed).
    co_await h.strand.until([&] { return h.uploadStep >= 12 || lost(); });
    if (s.shuttingDown) co_return;
    if (h.uploadStep < 12 || lost()) {
        trace(app, k, "not logged in; the run goes on with " + std::to_string(k) + " connection(s)");
    } else {
        if (k + 1 < static_cast<std::size_t>(s.parallelConnections) && !s.uploadHelpersStop &&
            uploadSession(app).control.state() == Endpoint::Connected) {
            // (Only while the first session's connection is up.)
            UploadSession& next = sessionAt(app, k + 1);
            next.strand.spawn(runHelper(next, k + 1));
        }
        h.uploadStep = 18;
        co_await uploadNextFile(h);
        // Over once back between files with nothing left (or told to stop).
        co_await h.strand.until([&] {
            return ((s.uploadFileIndex > w.File2.count() || s.uploadHelpersStop) && !h.uploadVerdictPending &&
                    h.uploadStep == 18) ||
                   lost();
        });
        if (s.shuttingDown) co_return;
    }
    const bool gone = h.uploadSocketError != 0 || h.uploadFailed || h.takeover != Takeover::None;
    // Its file in flight (sent in part, no verdict) goes back to the list
    // once, then fails; one waiting for the server's confirmation fails.
    if (gone && h.uploadFileStarted && !h.uploadVerdictGiven && !h.uploadVerdictPending &&
        !s.uploadRequeuedOnce.contains(h.uploadFileName)) {
        s.uploadRequeuedOnce.add(h.uploadFileName);
        s.uploadRequeued.push_back(h.uploadFileName);
        h.uploadFileStarted = false;
        trace(app, k, "lost; " + h.uploadFileName + " goes back to the list");
    }
    failPendingUpload(h);
    trace(app, k, std::string(gone ? "lost" : "done") + " at step " + std::to_string(h.uploadStep));
    h.watchdog.setEnabled(false);
    h.control.close();
    h.data.close();
    h.file.close();
    h.takeover = Takeover::None;
}

}  // namespace

void startUploadHelpers(UploadSession& first) {
    App& app = first.app;
    if (first.helper || app.s.parallelConnections <= 1 || first.control.state() != Endpoint::Connected) return;
    UploadSession& h = sessionAt(app, 1);
    h.strand.spawn(runHelper(h, 1));
}

Task<> endUploadHelpers(UploadSession& first) {
    App& app = first.app;
    auto& s = app.s;
    s.uploadHelpersStop = true;
    auto& all = uploadSessions(app).all;
    co_await awaitOtherConnections(app, first.strand, [&all] {
        for (auto& h : all)
            if (h->helper && h->strand.busy()) return true;
        return false;
    });
    if (s.shuttingDown || s.uploadRequeued.empty()) co_return;
    // Files left by lost connections that no connection took again fail;
    // the first session's own file is kept as it was.
    const std::string name = first.uploadFileName;
    const std::int64_t length = first.uploadFileLength;
    const bool started = first.uploadFileStarted, given = first.uploadVerdictGiven;
    const bool pending = first.uploadVerdictPending;
    while (!s.uploadRequeued.empty()) {
        first.uploadFileName = s.uploadRequeued.front();
        s.uploadRequeued.pop_front();
        first.uploadFileLength = 0;
        logUploadResult(first, "fail");
    }
    first.uploadFileName = name;
    first.uploadFileLength = length;
    first.uploadFileStarted = started;
    first.uploadVerdictGiven = given;
    first.uploadVerdictPending = pending;
}

}  // namespace corvantel
