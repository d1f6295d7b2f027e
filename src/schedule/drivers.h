#pragma once
// The session drivers, the watchdogs and the one-second counters.

#include "app/task.h"

namespace corvantel {
class App;
struct DownloadSession;
struct UploadSession;

// One session from preparation to wind-down. Returns once it has wound down.
Task<> runDownloadSession(DownloadSession& d);
Task<> runUploadSession(UploadSession& u);

void downloadWatchdogTick(DownloadSession& d);
void uploadWatchdogTick(UploadSession& u);

}  // namespace corvantel
