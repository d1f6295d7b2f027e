#pragma once
// More connections for the download job (--parallel N): beside the job's
// first session, which logs in, lists and fetches, N-1 further sessions log
// in one after another and fetch from the same queue of listed files.
//
// A further connection the server refuses (a connection limit: a 421 at the
// greeting, a login refused after the first went through) ends quietly, and
// no more are opened in that run: the run goes on with those open. One that
// is lost, or silent past its own watchdog, ends alone; its file in flight
// goes back to the queue once, for another connection to take, then fails.

#include "app/task.h"

namespace corvantel {
struct DownloadSession;

// Opens the further connections of this run (none with one connection).
void startDownloadHelpers(DownloadSession& first);

// The first session is ending: the further connections take no more files,
// and this waits until each has ended. Files their lost connections left,
// that no connection took again, fail then.
Task<> endDownloadHelpers(DownloadSession& first);

}  // namespace corvantel
