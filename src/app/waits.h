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

namespace corvantel {
class App;

// resetCounter false keeps the counter as it stands.
Task<> downloadTimedWait(App& app, std::function<bool()> pred, bool resetCounter = true);
Task<> uploadTimedWait(App& app, std::function<bool()> pred, bool resetCounter = true);

// Whether the job's session is being ended (taken over, flooded with
// replies, or shut down): its waits are over and its handlers only wind
// down.
bool downloadSessionEnding(const App& app);
bool uploadSessionEnding(const App& app);

// LIST mode: the pause for each matching entry of the listing (none with
// quick waits).
Task<> downloadEntryPause(App& app);

// Quick waits (an option, off by default): a wait ends as soon as what it
// waits for has provably happened, instead of running its full length.
// Whether the download's data connection is over (none is open).
bool downloadDataClosed(const App& app);
bool uploadDataClosed(const App& app);
// The quiet wait after a file: the data connection is over and every byte
// announced has come (or no size was announced).
bool downloadFileProvablyDone(const App& app);

// The error-retry steps, as the scheduler installs them.
void downloadErrorRetry(App& app);
void uploadErrorRetry(App& app, std::int64_t fileIndex);

}  // namespace corvantel
