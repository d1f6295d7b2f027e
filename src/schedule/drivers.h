#pragma once
// The session drivers, the watchdogs and the one-second counters.

#include "app/task.h"

namespace corvantel {
class App;

// One session from preparation to wind-down. Returns once it has wound down.
Task<> runDownloadSession(App& app);
Task<> runUploadSession(App& app);

void downloadWatchdogTick(App& app);
void uploadWatchdogTick(App& app);

}  // namespace corvantel
