#pragma once
// Fetching the chosen files: TYPE, PORT, REST 0, RETR, the local file, the
// announced size, the judgement and the delete on the server.

#include <cstdint>
#include <string>

#include "app/partial_names.h"
#include "app/task.h"

namespace corvantel {
class App;
struct DownloadSession;

Task<> retrievalStep(DownloadSession& d);
// The size announced in a RETR reply: the number after the first "(", -1
// when there is none (-2 with the "File Size Exists" option on). A number too
// large for 64 bits is kept at the largest value, so such a file fails.
std::int64_t sizeFromRetrReply(const std::string& reply, bool fileSizeCheck);
// Judges the file just fetched: it passes when its size is unknown or equals
// the announced size, and nothing spoiled it; its content is flushed to disk
// first.
enum class Judged { Pass, Fail, Left };
Task<Judged> judgeDownloadedFile(DownloadSession& d);
// Judges the file and writes its verdict (none for a file left for a later
// run); true when it passed.
Task<bool> judgeAndRecordDownload(DownloadSession& d);
// Whether the file fetched is written whole (on disk, when it is to be
// deleted on the server).
bool downloadWritten(DownloadSession& d);
// The end of every judgement: a file left for a later run (leave) is
// discarded; a pass is renamed into place, or fails when it cannot be.
Judged concludeDownload(DownloadSession& d, bool pass, bool leave);
// Writes a judged file's verdict over either transport (none for a file
// left for a later run, which no longer counts as owed); true when it
// passed.
bool recordJudged(DownloadSession& d, Judged j);
// The local name of a remote file (with the date stamp when wanted).
std::string downloadLocalName(App& app, const std::string& remote);

// Closes and removes the partial file of a download that did not pass.
void discardPartialDownload(DownloadSession& d);
// The chosen file (downloadTarget, with what the server told of it) begins
// over either transport: its caption and counters, its verdict pending,
// and the partial file its bytes go to: a kept part opened to resume it,
// else a new one created exclusively (named with the server's size and
// time when parts are kept to be resumed).
void beginDownloadFile(DownloadSession& d);

}  // namespace corvantel
