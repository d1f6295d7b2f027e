#pragma once
// The upload job's commands from the greeting until it is ready to store.

#include <string>

#include "app/data_setup.h"
#include "app/task.h"

namespace corvantel {
class App;
struct UploadSession;

Task<> uploadLoginStep(UploadSession& u);
Task<> uploadListingStep(UploadSession& u);
// Passive mode: whether the data connection opened for the next store is
// still up (always true in active mode).
bool uploadPassiveReady(UploadSession& u);

}  // namespace corvantel
