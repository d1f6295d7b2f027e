#pragma once
// The upload control connection: reading replies, the code check, the step
// dispatch and the error event.

#include <string>

namespace corvantel {
class App;

void installUploadHandlers(App& app);
void uploadReplyDispatch(App& app);
void uploadHandleReply(App& app);
void uploadControlError(App& app, int number);
bool sendUploadCommand(App& app, const std::string& text);

}  // namespace corvantel
