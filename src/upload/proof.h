#pragma once
// Proven uploads (options, off by default): files still being written are
// left for a later run, and a stored file passes only when the server's
// SIZE and checksum match the file sent. A file that changed while it was
// sent never passes (so it is never deleted), whatever the options.

#include <string>

#include "app/task.h"

namespace corvantel {
class App;
struct UploadSession;

bool uploadProofWanted(const App& app);
// The local listing has been read: each file's size then, for the settle
// check.
void noteListedSizes(App& app);
// Whether the chosen file is settled: modified long enough ago, and of the
// size it had at the listing.
bool uploadSettled(App& app, const std::string& name);
// The chosen file was opened: its size and time then, and the checksum of
// what is read from it.
void startUploadProof(UploadSession& u);
// The store of the file succeeded: whether the file still stands as it was
// sent and, when verifying, the server's copy matches it.
Task<bool> proveUpload(UploadSession& u);

}  // namespace corvantel
