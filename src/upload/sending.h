#pragma once
// Sending the local files: the file loop, the per-file commands, the pieces
// of 2000 bytes chained on send completion, and the verdicts.

#include <cstdint>
#include <string>

#include "app/task.h"

namespace corvantel {
class App;
struct UploadSession;

Task<> uploadNextFile(UploadSession& u);
Task<> uploadFileStep(UploadSession& u);
Task<> beginFileSend(UploadSession& u);
// The server's final answer to a store command gives its file's verdict:
// a 2xx reply once the whole file has gone out passes it; any other answer
// fails it (and stops its sending).
Task<> uploadStoreReply(UploadSession& u, std::string storeCommand, std::string code);
// A file still waiting for its confirmation when the session ends fails.
void failPendingUpload(UploadSession& u);
void installUploadDataHandlers(UploadSession& u);

}  // namespace corvantel
