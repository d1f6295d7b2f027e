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

ConnectionParts makeConnectionParts(App& app, std::vector<std::unique_ptr<platform::Endpoint>>& endpoints,
                                    std::vector<std::unique_ptr<platform::Timer>>& timers) {
    endpoints.push_back(app.plat.makeEndpoint());
    endpoints.push_back(app.plat.makeEndpoint());
    timers.push_back(app.plat.makeTimer());
    timers.push_back(app.plat.makeTimer());
    const std::size_t e = endpoints.size(), t = timers.size();
    return {*endpoints[e - 2], *endpoints[e - 1], *timers[t - 2], *timers[t - 1]};
}

void installConnectionTimers(App& app, ConnectionParts parts, ConnectionCounters counters,
                             std::function<void()> silent) {
    parts.seconds.setInterval(1000);
    parts.seconds.onTick = [counters] {
        if (counters.waitSeconds < 10) ++counters.waitSeconds;
        ++counters.secondsTicked;
    };
    parts.watchdog.setInterval(20000);
    parts.watchdog.onTick = [&app, &watchdog = parts.watchdog, counters, silent = std::move(silent)] {
        if (counters.idleTicks > 9) {
            // Silent for the watchdog's whole bound: this connection alone
            // ends.
            watchdog.setEnabled(false);
            counters.idleTicks = 0;
            silent();
            ++app.s.watchdogTakeovers;
            return;
        }
        if (counters.idleTicks > 1000) counters.idleTicks = 0;
        ++counters.idleTicks;
    };
}

Task<> awaitOtherConnections(App& app, Strand& first, std::function<bool()> anyBusy) {
    co_await first.until([&] { return app.s.shuttingDown || !anyBusy(); });
}

}  // namespace corvantel
