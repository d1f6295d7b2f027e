#pragma once
// The upload job over SFTP: the login, then each local file written to the
// server (under a temporary name and renamed into place when asked) and
// proven by the size the server reports, with the same records, verdicts
// and options as over FTP.

#include "app/task.h"

namespace corvantel {
struct UploadSession;

// Connects and logs in; false when the session failed (its driver reports
// why).
Task<bool> sftpUploadLogin(UploadSession& u);
// Sends the files of the work directory, one after another.
Task<> sftpUploadFiles(UploadSession& u);

}  // namespace corvantel
