#pragma once
#include <string>

#include "app/task.h"
// The download control connection: reading replies, the reply-code rule, the
// step dispatch, the end of the file list and the error event.

namespace corvantel {
class App;

// Installs the handlers of ftpclient1 and ftpclient2.
void installDownloadHandlers(App& app);

// Each arrival on ftpclient1.
Task<> downloadReplyDispatch(App& app);
// Handles one whole reply (already in downloadReply).
Task<> downloadHandleReply(App& app);
Task<> finishListing(App& app);
void downloadControlError(App& app, int number);

// Sends a command with CR LF on ftpclient1; false (and nothing sent) when the
// control connection is not connected.
bool sendDownloadCommand(App& app, const std::string& text);

}  // namespace corvantel
