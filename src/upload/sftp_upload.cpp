#include "upload/sftp_upload.h"

#include <algorithm>

#include "app/app_state.h"
#include "app/ftp_reply.h"
#include "app/sftp_job.h"
#include "app/text.h"
#include "upload/proof.h"
#include "upload/sending.h"
#include "upload/session.h"
#include "upload/temp_name.h"
#include "upload/transfer_log.h"

namespace corvantel {

using platform::SftpStatus;

namespace {

// Each write carries at most this much of the file.
constexpr std::size_t pieceBytes = 256 * 1024;

// Why the file failed, for its verdict; false.
bool failBecause(UploadSession& u, std::string cause) {
    if (u.failCause.empty()) u.failCause = std::move(cause);
    return false;
}

// Before the current file's close: the file this connection sends next,
// claimed and opened here so that its open can go out with the close. That
// open creates or truncates it on the server, so only a file that is sent
// next is taken: one worth sending, settled, not being downloaded, that
// opens. Anything else (a file given back, one to resume, one the loop
// must judge) is left to the loop. The path it is written to; empty: none.
std::string claimNext(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    auto& job = uploadSessions(app);
    if (!job.requeue.names.empty() || job.requeue.stop || (s.uploadTempName && uploadsResumable(app))) return {};
    while (job.uploadFileIndex < job.uploadFileCount() &&
           !worthSending(app, job.uploadFiles[static_cast<std::size_t>(job.uploadFileIndex)]))
        ++job.uploadFileIndex;
    if (job.uploadFileIndex >= job.uploadFileCount()) return {};
    const std::string name = job.uploadFiles[static_cast<std::size_t>(job.uploadFileIndex)];
    if (beingDownloaded(app, name) || !uploadSettled(app, name) || !fitsInCommand(name)) return {};
    if (!u.uploadSftpNextFile.open(app.workFile(name))) return {};
    ++job.uploadFileIndex;
    // Given back if this connection ends before it starts.
    u.requeuedTaken = u.uploadSftpNext = name;
    u.uploadSftpNextTarget = uploadRemoteName(app, name);
    const std::string path = sftpPath(app.w.Text6.text(), u.uploadSftpNextTarget);
    return s.uploadTempName ? path + s.uploadTempSuffix : path;
}

// Writes the open local file to path, from uploadResumeFrom on (the bytes
// before it are the server's already). True when every byte was taken and
// the server closed the file well; told gets the size the server told for
// the file at its close (-1: none).
Task<bool> writeWhole(UploadSession& u, const std::string& path, std::int64_t& told) {
    App& app = u.app;
    auto& w = app.w;
    const std::int64_t from = u.uploadResumeFrom;
    while (u.uploadBytesRead < from) {
        const std::string skipped = u.file.read(static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(pieceBytes), from - u.uploadBytesRead)));
        if (skipped.empty()) co_return failBecause(u, "local file changed while it was sent");
        u.uploadBytesRead += static_cast<std::int64_t>(skipped.size());
    }
    const SftpCall open = [&](auto& c, auto done) { c.openWrite(path, from, done); };
    const std::string openText = "open-write " + path;
    auto r = co_await sftpCall(u, open, openText);
    if (!sftpStillUp(u, r)) co_return false;
    if (r->status != SftpStatus::Ok)
        co_return failBecause(u, r->status == SftpStatus::PermissionDenied ? "write refused" : "store refused");
    bool whole = true;
    std::string piece;
    const SftpCall write = [&](auto& c, auto done) { c.write(piece, done); };
    while (u.uploadBytesRead < u.uploadFileLength) {
        piece = u.file.read(pieceBytes);
        if (piece.empty() || u.file.failed()) {
            // The file shrank or could not be read: it cannot pass.
            whole = failBecause(u, "local file changed while it was sent");
            break;
        }
        u.uploadBytesRead += static_cast<std::int64_t>(piece.size());
        const std::string writeText = "write " + path;
        r = co_await sftpCall(u, write, writeText);
        if (!sftpStillUp(u, r)) co_return false;
        if (r->status != SftpStatus::Ok) {
            whole = failBecause(u, "write refused");
            break;
        }
        u.uploadBytesSent = u.uploadBytesRead;
        w.fText6b.setText(std::to_string(u.uploadBytesSent));
        w.Text14.setText(std::to_string(u.uploadBytesSent * 100 / u.uploadFileLength) + " %");
    }
    const std::string ahead = whole ? claimNext(u) : std::string();
    const SftpCall closing = [&](auto& c, auto done) {
        c.openWriteAhead(ahead);
        c.closeFile(done);
    };
    const std::string closingText = "close " + path;
    r = co_await sftpCall(u, closing, closingText);
    if (!sftpStillUp(u, r)) co_return false;
    if (r->status != SftpStatus::Ok) whole = failBecause(u, "store not confirmed by the server");
    told = r->attributes.size;
    co_return whole;
}

// After the write: the local file still stands as it was sent, and the
// server reports the whole size for the copy: the size it told at the close
// (after every write), else asked now.
Task<bool> proveWritten(UploadSession& u, const std::string& path, std::int64_t told) {
    const auto now = platform::files::stamp(u.app.workFile(u.uploadFileName));
    if (!now || !(*now == u.uploadOpenStamp)) co_return failBecause(u, "local file changed while it was sent");
    if (told < 0) {
        const SftpCall stat = [&](auto& c, auto done) { c.stat(path, done); };
        const std::string statText = "stat " + path;
        const auto r = co_await sftpCall(u, stat, statText);
        if (!sftpStillUp(u, r)) co_return false;
        if (r->status != SftpStatus::Ok) co_return failBecause(u, "size not confirmed by the server");
        told = r->attributes.size;
    }
    if (told != u.uploadFileLength)
        co_return failBecause(u, "size differs on the server: " + std::to_string(told) + " bytes stored, " +
                                     std::to_string(u.uploadFileLength) + " sent");
    co_return true;
}

// A copy the server should not keep (a failed temporary copy): removed,
// whatever the answer.
Task<> removeCopy(UploadSession& u, const std::string& path) {
    const SftpCall removal = [&](auto& c, auto done) { c.remove(path, done); };
    const std::string removalText = "remove " + path;
    const auto r = co_await sftpCall(u, removal, removalText);
    sftpStillUp(u, r);
}

// A temporary copy the connection could not remove: on the job's list, for
// the next login (at most 100 are kept).
void leaveCopy(UploadSession& u, const std::string& path) {
    auto& left = uploadSessions(u.app).uploadSftpTempLeft;
    if (std::find(left.begin(), left.end(), path) == left.end() && left.size() < 100) left.push_back(path);
}

// target: the file's name on the server, when it was chosen before (empty:
// chosen now).
Task<> send(UploadSession& u, const std::string& target) {
    App& app = u.app;
    auto& s = app.s;
    auto& w = app.w;
    const std::string folder = w.Text6.text();
    u.uploadStep = 22;
    beginUploadFile(u);
    w.Text14.setVisible(true);
    u.uploadBytesRead = 0;
    // (Claimed before the last close: named then.)
    if (!target.empty()) u.uploadTarget = target;
    const std::string path = sftpPath(folder, u.uploadTarget);
    // Under a temporary name, put in place once proven: the name never
    // holds a part of the file.
    const std::string written = s.uploadTempName ? path + s.uploadTempSuffix : path;
    // With resume, a copy cut from the file as it stands is continued from
    // the size the server holds.
    if (s.uploadTempName && uploadsResumable(app) && takeCutCopy(u, written)) {
        const SftpCall stat = [&](auto& c, auto done) { c.stat(written, done); };
        const std::string statText = "stat " + written;
        const auto r = co_await sftpCall(u, stat, statText);
        if (!sftpStillUp(u, r)) co_return;
        if (r->status == SftpStatus::Ok && r->attributes.regular && r->attributes.size > 0 &&
            r->attributes.size < u.uploadFileLength)
            u.uploadResumeFrom = r->attributes.size;
    }
    if (s.uploadTempName) u.uploadSftpWriting = written;
    std::int64_t told = -1;
    bool pass = co_await writeWhole(u, written, told);
    u.uploadSftpWriting.clear();
    // A temporary copy a lost connection cut is kept to be resumed, or
    // else removed at the next login.
    if (s.uploadTempName && (u.failed || sessionEnding(u))) {
        if (uploadsResumable(app) && u.uploadBytesSent > 0)
            keepCutCopy(u, written);
        else
            leaveCopy(u, written);
    }
    if (u.failed || sessionEnding(u)) co_return;
    if (pass) pass = co_await proveWritten(u, written, told);
    if (u.failed || sessionEnding(u)) co_return;
    if (pass && s.uploadTempName) {
        // posix-rename@openssh.com where offered: an older copy is replaced
        // in one step.
        const SftpCall rename = [&](auto& c, auto done) { c.rename(written, path, done); };
        const std::string renameText = "rename " + written + " " + path;
        const auto r = co_await sftpCall(u, rename, renameText);
        if (!sftpStillUp(u, r)) co_return;
        if (r->status != SftpStatus::Ok) pass = failBecause(u, "rename refused");
    }
    if (!pass && s.uploadTempName) co_await removeCopy(u, written);
    if (s.uploadTempName && (u.failed || sessionEnding(u))) leaveCopy(u, written);
    if (u.failed || sessionEnding(u)) co_return;
    u.file.close();
    recordUploadJudged(u, pass);
    u.uploadFileStarted = false;
    u.uploadStep = 18;
}

}  // namespace

Task<bool> sftpUploadLogin(UploadSession& u) {
    const bool in = co_await sftpLogin(u);
    if (in) u.uploadStep = 12;
    co_return in;
}

Task<> sftpUploadFiles(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    auto& w = app.w;
    auto& job = uploadSessions(app);
    u.uploadStep = 18;
    // The files to send are taken at the start of a job run, by its first
    // connection (a retry goes on in the same list); File2 shows them.
    if (job.uploadFileIndex == 0 && !u.helper) {
        job.uploadFiles = platform::files::listFiles(s.workPath, w.Text8.text());
        w.File2.show(s.workPath, w.Text8.text(), job.uploadFiles);
        noteListedSizes(app);
    }
    // A file claimed ahead by a session that ended went back to the queue.
    u.uploadSftpNextFile.close();
    u.uploadSftpNext.clear();
    // Temporary copies lost connections left go first.
    while (!job.uploadSftpTempLeft.empty()) {
        const std::string path = job.uploadSftpTempLeft.front();
        job.uploadSftpTempLeft.erase(job.uploadSftpTempLeft.begin());
        co_await removeCopy(u, path);
        if (u.failed || sessionEnding(u)) {
            leaveCopy(u, path);
            co_return;
        }
    }
    for (;;) {
        if (u.failed || sessionEnding(u)) co_return;
        // The file claimed and opened before the last close (its open went
        // out with that close).
        if (!u.uploadSftpNext.empty()) {
            u.uploadFileName = std::exchange(u.uploadSftpNext, std::string());
            u.requeuedTaken.clear();
            u.file.close();
            u.file.swap(u.uploadSftpNextFile);
            u.uploadFileLength = u.file.size();
            u.failCause.clear();
            const std::string target = std::exchange(u.uploadSftpNextTarget, std::string());
            co_await send(u, target);
            continue;
        }
        // A file a lost connection gave back comes first (it was worth
        // sending when it was taken).
        if (!job.requeue.names.empty()) {
            u.uploadFileName = job.requeue.names.front();
            job.requeue.names.pop_front();
        } else if ((u.helper && job.requeue.stop) || job.uploadFileIndex >= job.uploadFileCount()) {
            break;
        } else {
            u.uploadFileName = job.uploadFiles[static_cast<std::size_t>(job.uploadFileIndex++)];
            if (!worthSending(app, u.uploadFileName)) continue;
        }
        // A file still being written, or fetched by the download job now,
        // is left for a later run without a verdict.
        if (beingDownloaded(app, u.uploadFileName) || !uploadSettled(app, u.uploadFileName)) continue;
        if (!openChosen(u)) {
            u.uploadFileLength = std::max<std::int64_t>(u.uploadFileLength, 0);
            u.uploadVerdictGiven = false;
            logUploadResult(u, "fail");
            u.failCause.clear();
            continue;
        }
        const std::string chosenNow;
        co_await send(u, chosenNow);
    }
    if (job.uploadFileIndex >= job.uploadFileCount()) job.uploadFileIndex = job.uploadFileCount() + 1;
}

}  // namespace corvantel
