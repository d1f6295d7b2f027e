#include "upload/helpers.h"

#include <memory>
#include <string>

#include "app/app_state.h"
#include "app/text.h"
#include "upload/dispatch.h"
#include "upload/sending.h"
#include "upload/session.h"
#include "upload/transfer_log.h"

namespace corvantel {

using platform::Endpoint;

namespace {

void watchdogTick(UploadSession& h) {
    if (h.uploadIdleTicks > 9) {
        // Silent for the watchdog's whole bound: this connection alone ends.
        h.watchdog.setEnabled(false);
        h.uploadIdleTicks = 0;
        h.uploadFailed = true;
        h.uploadTakeover = Takeover::Watchdog;
        ++h.app.s.watchdogTakeovers;
        return;
    }
    if (h.uploadIdleTicks > 1000) h.uploadIdleTicks = 0;
    ++h.uploadIdleTicks;
}

UploadSession& sessionAt(App& app, std::size_t k) {
    auto& sessions = uploadSessions(app);
    while (sessions.all.size() <= k) {
        auto control = app.plat.makeEndpoint();
        auto data = app.plat.makeEndpoint();
        auto seconds = app.plat.makeTimer();
        auto watchdog = app.plat.makeTimer();
        auto h = std::make_unique<UploadSession>(app, *control, *data, *seconds, *watchdog);
        h->helper = true;
        h->label = "upload#" + std::to_string(sessions.all.size() + 1);
        sessions.endpoints.push_back(std::move(control));
        sessions.endpoints.push_back(std::move(data));
        sessions.timers.push_back(std::move(seconds));
        sessions.timers.push_back(std::move(watchdog));
        UploadSession& made = *h;
        sessions.all.push_back(std::move(h));
        installUploadSessionHandlers(made);
        made.seconds.setInterval(1000);
        made.seconds.onTick = [&made] {
            if (made.uploadWaitSeconds < 10) ++made.uploadWaitSeconds;
            ++made.uploadSecondsTicked;
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
    if (app.trace) app.trace("upload#" + std::to_string(k + 1) + ": " + what);
}

Task<> runHelper(UploadSession& h, std::size_t k) {
    App& app = h.app;
    auto& s = app.s;
    auto& w = app.w;
    h.uploadFlooded = false;
    h.uploadTakeover = Takeover::None;
    h.control.close();
    h.data.close();
    h.control.setRemoteHost(w.Text3.text());
    h.control.setRemotePort(portOf(w.Text10.text()));
    h.control.setLocalPort(0);
    h.data.setRemoteHost(w.Text3.text());
    h.data.setRemotePort(portOf(w.Text10.text()));
    h.data.setLocalPort(0);
    h.data.setLocalHost("");
    if (!s.passiveMode) h.data.listen();
    resetUploadDialogue(h);
    h.uploadFileStarted = false;
    h.uploadVerdictGiven = false;
    h.uploadIdleTicks = 0;
    h.watchdog.setEnabled(true);
    trace(app, k, "opening");
    h.control.connect();
    auto lost = [&] {
        return h.uploadSocketError != 0 || h.uploadFailed || h.uploadTakeover != Takeover::None || s.shuttingDown;
    };
    // Logins are spaced out: the next connection opens once this one is in
    // (or has failed).
    co_await h.strand.until([&] { return h.uploadStep >= 12 || lost(); });
    if (s.shuttingDown) co_return;
    if (h.uploadStep < 12 || lost()) {
        trace(app, k, "not logged in; the run goes on with " + std::to_string(k) + " connection(s)");
    } else {
        if (k + 1 < static_cast<std::size_t>(s.parallelConnections) && !s.uploadHelpersStop) {
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
    const bool gone = h.uploadSocketError != 0 || h.uploadFailed || h.uploadTakeover != Takeover::None;
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
    h.uploadTakeover = Takeover::None;
}

}  // namespace

void startUploadHelpers(UploadSession& first) {
    App& app = first.app;
    if (first.helper || app.s.parallelConnections <= 1) return;
    UploadSession& h = sessionAt(app, 1);
    h.strand.spawn(runHelper(h, 1));
}

Task<> endUploadHelpers(UploadSession& first) {
    App& app = first.app;
    auto& s = app.s;
    s.uploadHelpersStop = true;
    auto& all = uploadSessions(app).all;
    co_await first.strand.until([&] {
        if (s.shuttingDown) return true;
        for (auto& h : all)
            if (h->helper && h->strand.busy()) return false;
        return true;
    });
    if (s.shuttingDown || s.uploadRequeued.empty()) co_return;
    // Files left by lost connections that no connection took again fail;
    // the first session's own file is kept as it was.
    const std::string name = first.uploadFileName;
    const std::int64_t length = first.uploadFileLength;
    const bool started = first.uploadFileStarted, given = first.uploadVerdictGiven;
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
}

}  // namespace corvantel
