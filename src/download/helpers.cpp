#include "download/helpers.h"

#include <memory>
#include <string>

#include "app/app_state.h"
#include "app/text.h"
#include "download/dispatch.h"
#include "download/records.h"
#include "download/retrieval.h"
#include "download/session.h"

namespace corvantel {

using platform::Endpoint;

namespace {

void watchdogTick(DownloadSession& h) {
    if (h.downloadIdleTicks > 9) {
        // Silent for the watchdog's whole bound: this connection alone ends.
        h.watchdog.setEnabled(false);
        h.downloadIdleTicks = 0;
        h.downloadOver = true;
        h.downloadFailed = true;
        h.downloadTakeover = Takeover::Watchdog;
        ++h.app.s.watchdogTakeovers;
        return;
    }
    if (h.downloadIdleTicks > 1000) h.downloadIdleTicks = 0;
    ++h.downloadIdleTicks;
}

// The kth session (0 is the first), made with its own endpoints and timers
// the first time it is wanted.
DownloadSession& sessionAt(App& app, std::size_t k) {
    auto& sessions = downloadSessions(app);
    while (sessions.all.size() <= k) {
        auto control = app.plat.makeEndpoint();
        auto data = app.plat.makeEndpoint();
        auto seconds = app.plat.makeTimer();
        auto watchdog = app.plat.makeTimer();
        auto h = std::make_unique<DownloadSession>(app, *control, *data, *seconds, *watchdog);
        h->helper = true;
        h->label = "download#" + std::to_string(sessions.all.size() + 1);
        sessions.endpoints.push_back(std::move(control));
        sessions.endpoints.push_back(std::move(data));
        sessions.timers.push_back(std::move(seconds));
        sessions.timers.push_back(std::move(watchdog));
        DownloadSession& made = *h;
        sessions.all.push_back(std::move(h));
        installDownloadSessionHandlers(made);
        made.seconds.setInterval(1000);
        made.seconds.onTick = [&made] {
            if (made.downloadWaitSeconds < 10) ++made.downloadWaitSeconds;
            ++made.downloadSecondsTicked;
        };
        made.watchdog.setInterval(20000);
        made.watchdog.onTick = [&made] { watchdogTick(made); };
    }
    return *sessions.all[k];
}

std::int32_t portOf(const std::string& text) {
    std::int64_t v = wholeValue(text);
    return (v < 0 || v > 65535) ? 0 : static_cast<std::int32_t>(v);
}

void trace(App& app, std::size_t k, const std::string& what) {
    if (app.trace) app.trace("download#" + std::to_string(k + 1) + ": " + what);
}

Task<> runHelper(DownloadSession& h, std::size_t k) {
    App& app = h.app;
    auto& s = app.s;
    auto& w = app.w;
    h.downloadFlooded = false;
    h.downloadTakeover = Takeover::None;
    h.control.close();
    h.data.close();
    h.control.setRemoteHost(w.Text1.text());
    h.control.setRemotePort(portOf(w.Text9.text()));
    h.control.setLocalPort(0);
    h.data.setRemoteHost(w.Text1.text());
    h.data.setRemotePort(portOf(w.Text9.text()));
    h.data.setLocalPort(0);
    h.data.setLocalHost("");
    if (!s.passiveMode) h.data.listen();
    resetDownloadDialogue(h);
    h.downloadNextDue = true;
    h.downloadReplySeen = true;
    h.downloadIdleTicks = 0;
    h.watchdog.setEnabled(true);
    trace(app, k, "opening");
    h.control.connect();
    auto ended = [&] {
        return h.downloadOver || h.downloadSocketError != 0 || h.downloadFailed ||
               h.downloadTakeover != Takeover::None || s.shuttingDown;
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
    } else if (k + 1 < static_cast<std::size_t>(s.parallelConnections) && !s.downloadHelpersStop) {
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
        if (sendDownloadCommand(h, "DELE " + h.downloadFileName)) {
            co_await downloadTimedWait(h, [&] {
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
    h.downloadTakeover = Takeover::None;
}

}  // namespace

void startDownloadHelpers(DownloadSession& first) {
    App& app = first.app;
    if (first.helper || app.s.parallelConnections <= 1) return;
    DownloadSession& h = sessionAt(app, 1);
    h.strand.spawn(runHelper(h, 1));
}

Task<> endDownloadHelpers(DownloadSession& first) {
    App& app = first.app;
    auto& s = app.s;
    s.downloadHelpersStop = true;
    auto& all = downloadSessions(app).all;
    co_await first.strand.until([&] {
        if (s.shuttingDown) return true;
        for (auto& h : all)
            if (h->helper && h->strand.busy()) return false;
        return true;
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
    const bool good = first.downloadFileGood, lastPassed = first.downloadLastPassed;
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
}

}  // namespace corvantel
