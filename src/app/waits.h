#pragma once
// The timed waits of a session, one copy for both jobs.
//
// A timed wait resets the session's seconds counter, switches its
// one-second timer on, waits on the session's strand until its condition
// holds, and switches the timer off. Every wait of a session also ends once
// that session is taken over (by a watchdog or the error-retry step) or the
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
class Strand;

// A timed wait on strand, counting on counter (the timer's ticks add to
// it; users counts the waits that keep the timer running). reset false
// keeps the counter as it stands. It also ends once ending() holds.
Task<> timedWait(Strand& strand, std::int64_t& counter, int& users, platform::Timer& timer, std::function<bool()> pred,
                 bool reset, std::function<bool()> ending);

// Quick waits (an option, off by default): a wait ends as soon as what it
// waits for has provably happened, instead of running its full length.
// Whether a connection is over (neither open nor closing).
bool connectionOver(const platform::Endpoint& e);

}  // namespace corvantel
