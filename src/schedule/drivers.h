#pragma once
#include <functional>
// The session drivers, the watchdogs and the one-second counters.

namespace corvantel {
class App;

// One session from preparation to wind-down. Returns once it has wound down.
void runDownloadSession(App& app);
void runUploadSession(App& app);

void downloadWatchdogTick(App& app);
void uploadWatchdogTick(App& app);

// Timed waits of the sessions: reset the job's seconds counter, switch its
// one-second timer on, wait until pred holds, switch the timer off.
// resetCounter false keeps the counter as it stands.
void downloadTimedWait(App& app, const std::function<bool()>& pred, bool resetCounter = true);
void uploadTimedWait(App& app, const std::function<bool()>& pred, bool resetCounter = true);

}  // namespace corvantel
