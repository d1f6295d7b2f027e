#pragma once
// The upload job's commands from the greeting until it is ready to store.

#include <string>

#include "app/data_setup.h"
#include "app/task.h"

namespace corvantel {
class App;

Task<> uploadLoginStep(App& app);
Task<> uploadListingStep(App& app);
// Closes the data endpoint and (in active mode) listens again.
void reopenUploadListener(App& app);
// The data connection setup of the upload job; see download/commands.h.
void sendUploadDataSetup(App& app);
Task<DataReady> uploadDataReady(App& app);
// Passive mode: whether the data connection opened for the next store is
// still up (always true in active mode).
bool uploadPassiveReady(App& app);

}  // namespace corvantel
