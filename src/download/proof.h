#pragma once
// Proven downloads (options, off by default): the questions asked about a
// file before its RETR (is it settled, how big is it, is a kept partial
// file to be resumed) and after its transfer (does the server's SIZE and
// checksum match the local copy).

#include <cstdint>
#include <string>

#include "app/task.h"

namespace corvantel {
class App;
struct DownloadSession;

// Whether any proof option asks the server questions.
bool downloadProofWanted(const App& app);

// Before RETR of the chosen file. False when the file is to be left for a
// later run (it is not settled). It may open a kept partial file of the
// file to fetch only its rest (REST was accepted).
Task<bool> prepareDownload(DownloadSession& d);

// With settled files only: whether the file's size on the server changed
// while it was fetched (it is then left for a later run, whatever came).
Task<bool> downloadGrewMeanwhile(DownloadSession& d);

// Settled files only, for a file whose server time lies ahead of the
// listing (the time proves nothing then): whether its size and time have
// stayed the same for the settle interval since first seen.
bool settledAhead(DownloadSession& d, std::int64_t serverTime);

// The kept partial file of the chosen file, opened to be written on when
// it is a beginning of the server's copy: the same size and time as when it
// was kept (timeProves: that time can tell the copy), and shorter. Its
// length (0: nothing to resume; any other kept part is removed).
std::int64_t openKeptPart(DownloadSession& d, std::int64_t serverTime, bool timeProves);

// What a kept partial file's name says of the server's copy it is a
// beginning of (its size, and its time or none), so that it is resumed only
// against that same copy.
std::string partIdentity(std::int64_t size, std::int64_t time);

// Starts the checksum of the local copy (with a resumed file, over the part
// kept) when the server is to be asked for one.
void startDownloadDigest(DownloadSession& d);

enum class DownloadProof { Pass, Fail, Leave };
// After a transfer that passed the usual checks, before the local copy
// takes its name: Leave when the file changed while it was fetched (it is
// then left for a later run).
Task<DownloadProof> proveDownload(DownloadSession& d);

}  // namespace corvantel
