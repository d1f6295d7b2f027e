#include "app/waits.h"

#include "app/app_state.h"

namespace corvantel {

Task<> timedWait(Strand& strand, std::int64_t& counter, int& users, platform::Timer& timer, std::function<bool()> pred,
                 bool reset, std::function<bool()> ending) {
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
    co_await strand.until([&] { return pred() || ending(); });
}

bool uploadSessionEnding(const App& app) {
    return app.s.uploadTakeover != Takeover::None || app.s.uploadFlooded || app.s.shuttingDown;
}

Task<> uploadTimedWait(App& app, std::function<bool()> pred, bool resetCounter) {
    return timedWait(app.uploadStrand, app.s.uploadWaitSeconds, app.s.uploadSecondsUsers, *app.w.Timerg,
                     std::move(pred), resetCounter, [&app] { return uploadSessionEnding(app); });
}

bool connectionOver(const platform::Endpoint& e) {
    return e.state() != platform::Endpoint::Connected && e.state() != platform::Endpoint::Closing;
}

bool uploadDataClosed(const App& app) { return connectionOver(*app.w.ftpclient3); }

void uploadErrorRetry(App& app, std::int64_t fileIndex) {
    if (app.uploadErrorRetryHook) app.uploadErrorRetryHook(fileIndex);
}

}  // namespace corvantel
