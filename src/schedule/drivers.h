#pragma once
// The session drivers, the watchdogs and the one-second counters.

namespace corvantel {
class App;

// One session from preparation to wind-down. Returns once it has wound down.
void runDownloadSession(App& app);
void runUploadSession(App& app);

void downloadWatchdogTick(App& app);
void uploadWatchdogTick(App& app);

}  // namespace corvantel
