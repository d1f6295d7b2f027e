#include "app/waits.h"

#include "app/app_state.h"

namespace corvantel {

namespace {

Task<> timedWait(App& app, Strand& strand, std::int64_t& counter, int& users, platform::Timer& timer,
                 std::function<bool()> pred, bool reset, bool (*ending)(const App&)) {
    if (reset) counter = 0;
    // Timed waits share the one-second timer by count, so an inner wait
    // never stops the count of an outer one.
    if (users++ == 0) timer.setEnabled(true);
    struct Release {
        int& users;
        platform::Timer& timer;
        ~Release() {
            if (--users == 0) timer.setEnabled(false);
        }
    } release{users, timer};
    co_await strand.until([&] { return pred() || ending(app); });
}

}  // namespace

bool downloadSessionEnding(const App& app) {
    return app.s.downloadTakeover != Takeover::None || app.s.downloadFlooded || app.s.shuttingDown;
}

bool uploadSessionEnding(const App& app) {
    return app.s.uploadTakeover != Takeover::None || app.s.uploadFlooded || app.s.shuttingDown;
}

Task<> downloadTimedWait(App& app, std::function<bool()> pred, bool resetCounter) {
    return timedWait(app, app.downloadStrand, app.s.downloadWaitSeconds, app.s.downloadSecondsUsers, *app.w.Timerf,
                     std::move(pred), resetCounter, downloadSessionEnding);
}

Task<> uploadTimedWait(App& app, std::function<bool()> pred, bool resetCounter) {
    return timedWait(app, app.uploadStrand, app.s.uploadWaitSeconds, app.s.uploadSecondsUsers, *app.w.Timerg,
                     std::move(pred), resetCounter, uploadSessionEnding);
}

Task<> downloadEntryPause(App& app) {
    if (app.s.quickWaits) co_return;
    co_await downloadTimedWait(app, [&app] { return app.s.downloadWaitSeconds >= 9; });
}

static bool noConnection(const platform::Endpoint& e) {
    return e.state() != platform::Endpoint::Connected && e.state() != platform::Endpoint::Closing;
}

bool downloadDataClosed(const App& app) { return noConnection(*app.w.ftpclient2); }
bool uploadDataClosed(const App& app) { return noConnection(*app.w.ftpclient3); }

bool downloadFileProvablyDone(const App& app) {
    const auto& s = app.s;
    return downloadDataClosed(app) && (s.downloadExpectedSize < 0 || s.downloadBytes == s.downloadExpectedSize);
}

void downloadErrorRetry(App& app) {
    if (app.downloadErrorRetryHook) app.downloadErrorRetryHook();
}

void uploadErrorRetry(App& app, std::int64_t fileIndex) {
    if (app.uploadErrorRetryHook) app.uploadErrorRetryHook(fileIndex);
}

}  // namespace corvantel
