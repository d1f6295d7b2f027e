#pragma once
// The upload control connection: reading replies, the code check, the step
// dispatch and the error event.

#include <string>

#include "app/task.h"

namespace corvantel {
class App;

void installUploadHandlers(App& app);
Task<> uploadReplyDispatch(App& app);
Task<> uploadHandleReply(App& app);
void uploadControlError(App& app, int number);
bool sendUploadCommand(App& app, const std::string& text);

}  // namespace corvantel
