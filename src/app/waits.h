#pragma once
// What the two jobs need from the scheduler above them, reached through this
// small interface so that no include runs back up: the timed waits of a
// session and the error-retry step (installed by the scheduler).
//
// A timed wait resets the job's seconds counter, switches its one-second
// timer on, waits on the job's strand until its condition holds, and
// switches the timer off. Every wait of a session also ends once that
// session is taken over (by a watchdog or the error-retry step) or the
// program shuts down, so a server that keeps a wait going cannot hold the
// program.

#include <cstdint>
#include <functional>

#include "app/task.h"

namespace corvantel::platform {
class Endpoint;
class Timer;
}  // namespace corvantel::platform

namespace corvantel {
class App;
class Strand;

// A timed wait on strand, counting on counter (the timer's ticks add to
// it; users counts the waits that keep the timer running). reset false
// keeps the counter as it stands. It also ends once ending() holds.
Task<> timedWait(Strand& strand, std::int64_t& counter, int& users, platform::Timer& timer, std::function<bool()> pred,
                 bool reset, std::function<bool()> ending);

// resetCounter false keeps the counter as it stands.
Task<> uploadTimedWait(App& app, std::function<bool()> pred, bool resetCounter = true);

// Whether the job's session is being ended (taken over, flooded with
// replies, or shut down): its waits are over and its handlers only wind
// down.
bool uploadSessionEnding(const App& app);


// Quick waits (an option, off by default): a wait ends as soon as what it
// waits for has provably happened, instead of running its full length.
// Whether the download's data connection is over (none is open).
bool connectionOver(const platform::Endpoint& e);
bool uploadDataClosed(const App& app);

// The error-retry steps, as the scheduler installs them.
void uploadErrorRetry(App& app, std::int64_t fileIndex);

}  // namespace corvantel
