#pragma once
// The download job over SFTP: the login, the listing with attributes, and
// each chosen file read into its partial file and judged, with the same
// records, verdicts and options as over FTP.

#include "app/task.h"

namespace corvantel {
struct DownloadSession;

// The session's work from the login to the last file; the session's
// driver judges and reports what it leaves (failed, lost, taken over).
Task<> sftpDownloadRun(DownloadSession& d);
// Takes files from the job's listing (those lost connections gave back
// first) and fetches each, until none is left or the session ends: the
// first session's files and those of the further connections.
Task<> sftpTakeFiles(DownloadSession& d);

}  // namespace corvantel
