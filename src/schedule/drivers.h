#pragma once
// The session drivers, the watchdogs and the one-second counters.

#include "app/task.h"

namespace corvantel {
class App;
struct DownloadSession;

// One session from preparation to wind-down. Returns once it has wound down.
Task<> runDownloadSession(DownloadSession& d);
Task<> runUploadSession(App& app);

void downloadWatchdogTick(DownloadSession& d);
void uploadWatchdogTick(App& app);

}  // namespace corvantel
