#pragma once
// Uploads under a temporary name (an option, off by default): a file is
// stored as its name plus a suffix and renamed into place (RNFR/RNTO) only
// once it is proven, so that the server's copy under the file's own name is
// only ever a whole one, the old one or the new. Whatever goes wrong, the
// temporary copy is deleted where the server allows it; with resume, one
// that was cut is kept (and its local file's size and time recorded) so that
// the next attempt sends only the rest.

#include <string>

#include "app/task.h"

namespace corvantel {
class App;

// The error-log line, once a job run, of a server that renames nothing.
inline constexpr const char* renameRefusedText =
    "Rename Refused: the server refuses to rename files (RNFR); uploads under a temporary name cannot be put in "
    "place on it";
struct UploadSession;

// The store command of the chosen file under its temporary name, sent by
// the caller: the temporary copy left by an earlier attempt is deleted
// first, or, with resume, continued (REST then STOR where the server offers
// REST STREAM, otherwise APPE) when it is the cut copy of the local file as
// it stands.
Task<> prepareTempStore(UploadSession& u);
// The copy is proven: its rename into place. An existing file of the name
// that the server will not rename over is deleted first (the error log
// says so). False when the file is not in place; its cause is set.
Task<bool> putInPlace(UploadSession& u);
// The current file failed after its temporary copy's store went out: the
// copy is kept to be resumed (cut is true, with resume, in binary; append:
// by APPE) or put on the job's list of copies to delete.
void leaveTemp(UploadSession& u, bool cut, bool append = false);
// The current file's temporary copy, when the job's list has it: deleted.
Task<> clearOwnTemp(UploadSession& u);
// Deletes the temporary copies on the job's list, while the connection
// is free for it.
Task<> clearLeftovers(UploadSession& u);

// The record of cut copies kept to be resumed, for transports that store
// at an offset themselves (SFTP). Whether uploads are resumed at all; a
// cut copy of the chosen file recorded under temp; and the one recorded
// under temp taken off the record: true when it was cut from the local
// file as it stands now (the same size and time).
bool uploadsResumable(const App& app);
void keepCutCopy(UploadSession& u, const std::string& temp);
bool takeCutCopy(UploadSession& u, const std::string& temp);

}  // namespace corvantel
