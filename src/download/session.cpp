#include "download/session.h"

#include "app/waits.h"
#include "download/dispatch.h"

namespace corvantel {

void DownloadSessions::poll() {
    // A session may wait for another (the first for the others to end):
    // polled again while any went on.
    for (bool again = true; again;) {
        again = false;
        for (std::size_t i = 0; i < all.size(); ++i) again = all[i]->strand.poll() || again;
    }
}

DownloadSessions& downloadSessions(App& app) { return static_cast<DownloadSessions&>(*app.downloadSessions); }

DownloadSession& downloadSession(App& app) { return *static_cast<DownloadSessions&>(*app.downloadSessions).all.front(); }

const DownloadSession& downloadSession(const App& app) {
    return *static_cast<const DownloadSessions&>(*app.downloadSessions).all.front();
}

ControlJob downloadControlJob(DownloadSession& d) {
    return ControlJob{d.control,
                      d.downloadAssembler,
                      d.downloadLedger,
                      d.downloadDispatching,
                      d.downloadIdleTicks,
                      d.downloadSecondsTicked,
                      [&d](const std::string& t) { return sendDownloadCommand(d, t); },
                      [&d](std::function<bool()> p, bool reset) { return downloadTimedWait(d, std::move(p), reset); },
                      [&d](const std::string& t) {
                          if (d.app.trace) d.app.trace(d.label + " <- " + t);
                      },
                      d.app.checksumPatience};
}

DataJob downloadDataJob(DownloadSession& d) {
    App& app = d.app;
    return {d.control,
            d.data,
            d.downloadEpsvRefused,
            d.downloadPassivePort,
            d.downloadWaitSeconds,
            [&d](std::function<bool()> p) { return downloadTimedWait(d, std::move(p)); },
            app.s.downloadTls && d.downloadTlsPhase == TlsPhase::Ready,
            dataTlsSettings(app, app.w.Text1.text()),
            [&d](const std::string& c) {
                if (!sendDownloadCommand(d, c)) d.downloadFailed = d.downloadControlLost = true;
            },
            [&d] { return d.downloadFailed || downloadSessionEnding(d); }};
}

TlsJob downloadTlsJob(DownloadSession& d) {
    return {"download",          d.app.s.downloadTls,        d.downloadTlsPhase,
            d.downloadTlsProblem, d.control,                  d.downloadAssembler,
            d.app.w.Text1.text(), [&d](const std::string& c) { return sendDownloadCommand(d, c); }};
}

void resetDownloadDialogue(DownloadSession& d) {
    d.downloadStep = 0;
    d.downloadTarget = "notdone";
    d.downloadOver = false;
    d.downloadFailed = d.downloadDataIsFile = d.stepCommandSent = d.downloadFileGood = false;
    d.downloadSocketError = 0;
    d.downloadLastPassed = false;
    d.downloadControlLost = false;
    d.downloadLostLater = 0;
    d.downloadAssembler.clear();
    d.downloadLedger.reset();
    d.downloadVerdictPending = false;
    d.downloadListFallback = false;
    d.downloadEpsvRefused = false;
    d.downloadType.clear();
    d.downloadPassivePort = -1;
    d.downloadTlsPhase = TlsPhase::Off;
    d.downloadTlsProblem.clear();
    d.downloadProof = {};
    d.downloadRestUsed = false;
}

bool downloadSessionEnding(const DownloadSession& d) {
    return d.downloadTakeover != Takeover::None || d.downloadFlooded || d.app.s.shuttingDown;
}

Task<> downloadTimedWait(DownloadSession& d, std::function<bool()> pred, bool resetCounter) {
    return timedWait(d.strand, d.downloadWaitSeconds, d.downloadSecondsUsers, d.seconds, std::move(pred), resetCounter,
                     [&d] { return downloadSessionEnding(d); });
}

Task<> downloadEntryPause(DownloadSession& d) {
    if (d.app.s.quickWaits) co_return;
    co_await downloadTimedWait(d, [&d] { return d.downloadWaitSeconds >= 9; });
}

bool downloadDataClosed(const DownloadSession& d) { return connectionOver(d.data); }

bool downloadFileProvablyDone(const DownloadSession& d) {
    return downloadDataClosed(d) && (d.downloadExpectedSize < 0 || d.downloadBytes == d.downloadExpectedSize);
}

void downloadErrorRetry(DownloadSession& d) {
    // A further connection that fails ends alone; the job's retries are the
    // first session's.
    if (d.helper) return;
    if (d.app.downloadErrorRetryHook) d.app.downloadErrorRetryHook();
}

}  // namespace corvantel
