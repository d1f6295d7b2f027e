#include "app/connections.h"

#include "app/app_state.h"
#include "app/strand.h"
#include "app/text.h"

namespace corvantel {

namespace {

std::int32_t portOf(const std::string& text) {
    std::int64_t v = wholeValue(text);
    return (v < 0 || v > 65535) ? 0 : static_cast<std::int32_t>(v);
}

}  // namespace

void aimConnection(App& app, platform::Endpoint& control, platform::Endpoint& data, const std::string& host,
                   const std::string& port) {
    control.setRemoteHost(host);
    control.setRemotePort(portOf(port));
    control.setLocalPort(0);
    data.setRemoteHost(host);
    data.setRemotePort(portOf(port));
    data.setLocalPort(0);
    data.setLocalHost("");
    if (!app.s.passiveMode) data.listen();
}

bool Requeue::giveBack(const std::string& name) {
    if (once.contains(name)) return false;
    once.add(name);
    names.push_back(name);
    return true;
}

void SessionGroup::poll() {
    for (bool again = true; again;) {
        again = false;
        for (std::size_t i = 0; i < all.size(); ++i) again = all[i]->strand.poll() || again;
    }
}

ControlSession& SessionGroup::at(std::size_t k) {
    while (all.size() <= k) {
        endpoints_.push_back(app_.plat.makeEndpoint());
        endpoints_.push_back(app_.plat.makeEndpoint());
        timers_.push_back(app_.plat.makeTimer());
        timers_.push_back(app_.plat.makeTimer());
        const std::size_t e = endpoints_.size(), t = timers_.size();
        platform::Timer& seconds = *timers_[t - 2];
        platform::Timer& watchdog = *timers_[t - 1];
        auto made = make(*endpoints_[e - 2], *endpoints_[e - 1], seconds, watchdog);
        ControlSession& h = *made;
        h.helper = true;
        h.label = std::string(h.job()) + "#" + std::to_string(all.size() + 1);
        all.push_back(std::move(made));
        h.installHandlers();
        seconds.setInterval(1000);
        seconds.onTick = [&h] {
            if (h.waitSeconds < 10) ++h.waitSeconds;
            ++h.secondsTicked;
        };
        watchdog.setInterval(20000);
        watchdog.onTick = [&h, &app = app_] {
            if (h.idleTicks > 9) {
                // Silent for the watchdog's whole bound: this connection
                // alone ends.
                h.watchdog.setEnabled(false);
                h.idleTicks = 0;
                h.watchdogFired();
                ++app.s.watchdogTakeovers;
                return;
            }
            if (h.idleTicks > 1000) h.idleTicks = 0;
            ++h.idleTicks;
        };
    }
    return *all[k];
}

namespace {

void trace(ControlSession& h, const std::string& what) {
    if (h.app.trace) h.app.trace(h.label + ": " + what);
}

Task<> runFurther(SessionGroup& group, std::size_t k);

// Opens the connection after the kth, while more are wanted and the first
// session goes on.
void spawnNext(SessionGroup& group, std::size_t k) {
    if (k + 1 < static_cast<std::size_t>(group.first().app.s.parallelConnections) && !group.requeue.stop &&
        connectionUp(group.first()))
        group.at(k + 1).strand.spawn(runFurther(group, k + 1));
}

// The life of the kth connection (1 is the first further one).
Task<> runFurther(SessionGroup& group, std::size_t k) {
    ControlSession& h = group.at(k);
    App& app = h.app;
    auto& s = app.s;
    h.flooded = false;
    h.takeover = Takeover::None;
    h.control.close();
    h.data.close();
    // The first session's transport: an option changed since it began
    // counts from the job's next session.
    const Transport& via = *group.first().transport;
    h.transport = &via;
    h.freshConnection();
    h.idleTicks = 0;
    h.watchdog.setEnabled(true);
    trace(h, "opening");
    // Logins are spaced out over FTP: the next connection opens once this
    // one is in (or has failed). Over SFTP, whose logins take several round
    // trips each, the further connections open all at once; one the server
    // does not let in ends quietly as below.
    if (via.opensTogether()) spawnNext(group, k);
    const bool in = co_await via.join(h);
    if (s.shuttingDown) co_return;
    if (!in || connectionGone(h)) {
        // Not in: the server limits connections (or has a fault of its own,
        // which the first session meets and reports): this run goes on with
        // the connections open.
        trace(h, "not logged in; the run goes on with " + std::to_string(k) + " connection(s)");
        // A refused server key is no connection limit: the job's error log
        // says so and the run counts as failed, whichever connection met it.
        if (h.hostKeyRefused) {
            h.logError(h.transportProblem);
            ++s.failedSessions;
        }
    } else {
        // (Only while the first session's connection is up: once it is gone
        // that session is ending.)
        if (!via.opensTogether()) spawnNext(group, k);
        co_await via.takeFiles(h);
        if (s.shuttingDown) co_return;
    }
    const bool gone = connectionGone(h);
    co_await h.windDown(gone, group.requeue);
    if (s.shuttingDown) co_return;
    if (!h.requeuedTaken.empty()) group.requeue.names.push_back(std::move(h.requeuedTaken));
    h.requeuedTaken.clear();
    trace(h, std::string(gone ? "lost" : "done") + " at step " + std::to_string(h.step));
    h.watchdog.setEnabled(false);
    via.close(h);
    h.closeFile();
    h.data.close();
    h.takeover = Takeover::None;
}

}  // namespace

bool connectionUp(const ControlSession& c) { return c.transport && c.transport->up(c); }

bool connectionGone(const ControlSession& c) {
    return c.socketError != 0 || c.failed || c.takeover != Takeover::None;
}

void startFurtherConnections(SessionGroup& group) {
    ControlSession& first = group.first();
    if (first.app.s.parallelConnections <= 1 || !connectionUp(first)) return;
    group.at(1).strand.spawn(runFurther(group, 1));
}

Task<> endFurtherConnections(SessionGroup& group) {
    ControlSession& first = group.first();
    App& app = first.app;
    group.requeue.stop = true;
    co_await first.strand.until([&] {
        if (app.s.shuttingDown) return true;
        for (auto& h : group.all)
            if (h->helper && h->strand.busy()) return false;
        return true;
    });
    if (app.s.shuttingDown) co_return;
    // One the first session took and could not start is left too.
    if (!first.requeuedTaken.empty()) group.requeue.names.push_back(std::move(first.requeuedTaken));
    first.requeuedTaken.clear();
    // Files left by lost connections that no connection took again fail.
    while (!group.requeue.names.empty()) {
        const std::string name = group.requeue.names.front();
        group.requeue.names.pop_front();
        first.failLeftover(name);
    }
}

}  // namespace corvantel
