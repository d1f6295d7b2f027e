#pragma once
// Arming and disarming both jobs, the minute clocks that start sessions at
// their hour, and the rule that moves a schedule on by one hour.

#include <string>

#include "app/task.h"

namespace corvantel {
class App;

// Installs the handlers of Check1/Check2, Timer1..Timer4, Timerf and Timerg.
void installScheduleHandlers(App& app);

// Each change of Check1 / Check2.
void downloadArmChanged(App& app);
void uploadArmChanged(App& app);

// Each expiry of Timer1 / Timer2.
void downloadMinuteTick(App& app);
void uploadMinuteTick(App& app);

// Moves a schedule on by one hour from hour h and half a.
void advanceHour(std::string& hour, std::string& half, const std::string& h, const std::string& a);

// Starts a session of the job now, through the same steps as the minute
// clock when the hour has come (without the hour test). Returns after the
// session and every retry it led to have ended.
// Runs the job now, once no session runs, and returns when it has ended.
void startDownloadNow(App& app);
void startUploadNow(App& app);

// Runs one session and then every retry that a watchdog or the error-retry
// step asked for while it ran.
Task<> runDownloadJob(App& app);
Task<> runUploadJob(App& app);

}  // namespace corvantel
