#include "download/helpers.h"

#include <memory>
#include <string>

#include "app/app_state.h"
#include "app/connections.h"
#include "download/dispatch.h"
#include "download/records.h"
#include "download/retrieval.h"
#include "download/session.h"

namespace corvantel {

using platform::Endpoint;

namespace {

// The kth session (0 is the first), made with its own endpoints and timers
// the first time it is wanted.
DownloadSession& sessionAt(App& app, std::size_t k) {
    auto& sessions = downloadSessions(app);
    while (sessions.all.size() <= k) {
        const ConnectionParts parts = makeConnectionParts(app, sessions.endpoints, sessions.timers);
        auto made = std::make_unique<DownloadSession>(app, parts.control, parts.data, parts.seconds, parts.watchdog);
        DownloadSession& h = *made;
        h.helper = true;
        h.label = "download#" + std::to_string(sessions.all.size() + 1);
        sessions.all.push_back(std::move(made));
        installDownloadSessionHandlers(h);
        installConnectionTimers(app, parts, {h.downloadWaitSeconds, h.secondsTicked, h.downloadIdleTicks}, [&h] {
            h.downloadOver = true;
            h.downloadFailed = true;
            h.takeover = Takeover::Watchdog;
        });
    }
    return *sessions.all[k];
}

void trace(App& app, std::size_t k, const std::string& what) {
    if (app.trace) app.trace("download#" + std::to_string(k + 1) + ": " + what);
}

Task<> runHelper(DownloadSession& h, std::size_t k) {
    App& app = h.app;
    auto& s = app.s;
    auto& w = app.w;
    h.flooded = false;
    h.takeover = Takeover::None;
    h.control.close();
    h.data.close();
    aimConnection(app, h.control, h.data, w.Text1.text(), w.Text9.text());
    resetDownloadDialogue(h);
    h.downloadNextDue = true;
    h.downloadReplySeen = true;
    h.downloadIdleTicks = 0;
    h.watchdog.setEnabled(true);
    trace(app, k, "opening");
    h.control.connect();
    auto ended = [&] {
        return h.downloadOver || h.downloadSocketError != 0 || h.downloadFailed ||
               h.takeover != Takeover::None || s.shuttingDown;
    };
    // Logins are spaced out: the next connection opens once this one is in
    // (or has failed).
    co_await h.strand.until([&] { return h.downloadStep >= 12 || ended(); });
    if (s.shuttingDown) co_return;
    if (h.downloadStep < 12) {
        // Not in: the server limits connections (or has a fault of its own,
        // which the first session meets and reports): this run goes on with
        // the connections open.
        trace(app, k, "not logged in; the run goes on with " + std::to_string(k) + " connection(s)");
    } else if (k + 1 < static_cast<std::size_t>(s.parallelConnections) && !s.downloadHelpersStop &&
               downloadSession(app).control.state() == Endpoint::Connected) {
        // (Only while the first session's connection is up: once it is gone
        // that session is ending.)
        DownloadSession& next = sessionAt(app, k + 1);
        next.strand.spawn(runHelper(next, k + 1));
    }
    co_await h.strand.until(ended);
    if (s.shuttingDown) co_return;
    const bool lost = h.downloadFailed || h.downloadSocketError != 0;
    // The last file it proved is deleted on the server, as the first
    // session does with its own.
    if (!lost && s.deleteAfterDownload && h.downloadLastPassed &&
        (h.downloadExpectedSize <= 0 || h.downloadExpectedSize == h.downloadBytes)) {
        h.downloadReplySeen = false;
        h.downloadLastPassed = false;
        if (h.send("DELE " + h.downloadFileName)) {
            co_await sessionTimedWait(h, [&] {
                return h.downloadReplySeen || h.control.state() != Endpoint::Connected ||
                       h.downloadWaitSeconds >= 10 || s.shuttingDown;
            });
        }
        if (s.shuttingDown) co_return;
    }
    // Its file in flight goes back to the queue once (another connection
    // takes it), then fails.
    if (h.downloadVerdictPending) {
        if (lost && !s.downloadRequeuedOnce.contains(h.downloadFileName)) {
            s.downloadRequeuedOnce.add(h.downloadFileName);
            s.downloadRequeued.push_back(h.downloadFileName);
            h.downloadVerdictPending = false;
            trace(app, k, "lost; " + h.downloadFileName + " goes back to the queue");
        } else {
            h.downloadFileGood = false;
            recordDownloadResult(h, "fail");
        }
    }
    if (!h.requeuedTaken.empty()) s.downloadRequeued.push_back(std::move(h.requeuedTaken));
    h.requeuedTaken.clear();
    if (lost) trace(app, k, "ended");
    h.watchdog.setEnabled(false);
    h.control.close();
    discardPartialDownload(h);
    h.data.close();
    h.takeover = Takeover::None;
}

}  // namespace

void startDownloadHelpers(DownloadSession& first) {
    App& app = first.app;
    if (first.helper || app.s.parallelConnections <= 1 || first.control.state() != Endpoint::Connected) return;
    DownloadSession& h = sessionAt(app, 1);
    h.strand.spawn(runHelper(h, 1));
}

Task<> endDownloadHelpers(DownloadSession& first) {
    App& app = first.app;
    auto& s = app.s;
    s.downloadHelpersStop = true;
    auto& all = downloadSessions(app).all;
    co_await awaitOtherConnections(app, first.strand, [&all] {
        for (auto& h : all)
            if (h->helper && h->strand.busy()) return true;
        return false;
    });
    if (s.shuttingDown) co_return;
    // One the first session took and could not start is left too.
    if (!first.requeuedTaken.empty()) s.downloadRequeued.push_back(std::move(first.requeuedTaken));
    first.requeuedTaken.clear();
    if (s.downloadRequeued.empty()) co_return;
    // Files left by lost connections that no connection took again fail;
    // the first session's own last file is kept as it was.
    const std::string name = first.downloadFileName;
    const std::int64_t expected = first.downloadExpectedSize;
    const bool good = first.downloadFileGood, lastPassed = first.downloadLastPassed,
               pending = first.downloadVerdictPending;
    while (!s.downloadRequeued.empty()) {
        first.downloadFileName = s.downloadRequeued.front();
        s.downloadRequeued.pop_front();
        first.downloadExpectedSize = -1;
        first.downloadFileGood = false;
        recordDownloadResult(first, "fail");
    }
    first.downloadFileName = name;
    first.downloadExpectedSize = expected;
    first.downloadFileGood = good;
    first.downloadLastPassed = lastPassed;
    first.downloadVerdictPending = pending;
}

}  // namespace corvantel
