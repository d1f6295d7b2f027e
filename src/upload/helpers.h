#pragma once
// More connections for the upload job (--parallel N), as for the download
// job (see download/helpers.h): N-1 further sessions log in one after
// another and send from the same list of local files as the first; one the
// server does not let in ends quietly, one that is lost ends alone and its
// file in flight goes back to the list once, then fails.

#include "app/task.h"

namespace corvantel {
struct UploadSession;

// Opens the further connections of this run (none with one connection).
void startUploadHelpers(UploadSession& first);

// The first session is ending: the further connections take no more files,
// and this waits until each has ended. Files their lost connections left,
// that no connection took again, fail then.
Task<> endUploadHelpers(UploadSession& first);

}  // namespace corvantel
