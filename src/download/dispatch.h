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

// Handles one whole reply (already in downloadReply).
Task<> downloadHandleReply(DownloadSession& d);
Task<> finishListing(DownloadSession& d);

}  // namespace corvantel
