#pragma once
#include <string>

#include "app/task.h"
// The download control connection: reading replies, the reply-code rule, the
// step dispatch, the end of the file list and the error event.

namespace corvantel {
class App;
struct DownloadSession;

// Installs the handlers of ftpclient1 and ftpclient2.
void installDownloadHandlers(App& app);
// The handlers of one session's endpoints.
void installDownloadSessionHandlers(DownloadSession& d);

// Each arrival on ftpclient1.
Task<> downloadReplyDispatch(DownloadSession& d);
// Handles one whole reply (already in downloadReply).
Task<> downloadHandleReply(DownloadSession& d);
Task<> finishListing(DownloadSession& d);
void downloadControlError(DownloadSession& d, int number);

// Sends a command with CR LF on ftpclient1; false (and nothing sent) when the
// control connection is not connected.
bool sendDownloadCommand(DownloadSession& d, const std::string& text);

}  // namespace corvantel
