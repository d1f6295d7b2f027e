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

// Whether a listed local file is one to send: not a download still being
// written, nor (with the duplicate check on) a name sent before.
bool worthSending(App& app, const std::string& name);
// Whether the download job is fetching that name now (it is not sent
// half-written).
bool beingDownloaded(App& app, const std::string& name);
// Opens the chosen file (uploadFileName) for reading: false, with the cause
// for its verdict, when it has vanished, cannot be read, is a link or not a
// regular file, or its name cannot go into a command.
bool openChosen(UploadSession& u);
// The name a local file is stored under now (with the date stamp when
// asked for).
std::string uploadRemoteName(App& app, const std::string& local);
// The chosen, opened file begins over either transport: its proof, its
// caption and counters, no verdict yet, and the name it is stored under.
void beginUploadFile(UploadSession& u);

}  // namespace corvantel
