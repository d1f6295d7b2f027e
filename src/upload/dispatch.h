#pragma once
// The upload control connection: reading replies, the code check, the step
// dispatch and the error event.

#include <string>

#include "app/task.h"

namespace corvantel {
class App;
struct UploadSession;

void installUploadHandlers(App& app);
// The handlers of one session's endpoints.
void installUploadSessionHandlers(UploadSession& u);
Task<> uploadHandleReply(UploadSession& u);

}  // namespace corvantel
