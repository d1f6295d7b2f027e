#pragma once
// What every connection of either job does alike, one copy for both: where
// its endpoints point, the further connections' own endpoints and timers,
// their one-second count and watchdog, and the first session's wait for
// the others.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/task.h"
#include "platform/endpoint.h"
#include "platform/timer.h"

namespace corvantel {
class App;
class Strand;

// Points a connection at the host and port fields' values: the control
// endpoint, and the data endpoint (listening on any interface for now in
// active mode; the login narrows it to the server's).
void aimConnection(App& app, platform::Endpoint& control, platform::Endpoint& data, const std::string& host,
                   const std::string& port);

// A further connection's endpoints and timers, kept for the life of the
// program by its job.
struct ConnectionParts {
    platform::Endpoint& control;
    platform::Endpoint& data;
    platform::Timer& seconds;
    platform::Timer& watchdog;
};
ConnectionParts makeConnectionParts(App& app, std::vector<std::unique_ptr<platform::Endpoint>>& endpoints,
                                    std::vector<std::unique_ptr<platform::Timer>>& timers);

// A further connection's timers: the one-second count of its waits (and
// its ticks, never reset), and its watchdog, which calls silent() once the
// connection has shown no activity for its whole bound.
struct ConnectionCounters {
    std::int64_t& waitSeconds;
    std::int64_t& secondsTicked;
    std::int64_t& idleTicks;
};
void installConnectionTimers(App& app, ConnectionParts parts, ConnectionCounters counters,
                             std::function<void()> silent);

// The first session waits on its strand until none of the others is busy
// (or the program shuts down).
Task<> awaitOtherConnections(App& app, Strand& first, std::function<bool()> anyBusy);

}  // namespace corvantel
