#include "upload/sending.h"

#include <algorithm>

#include "app/app_state.h"
#include "app/partial_names.h"
#include "app/text.h"
#include "app/waits.h"
#include "upload/commands.h"
#include "upload/dispatch.h"
#include "upload/proof.h"
#include "upload/session.h"
#include "upload/temp_name.h"
#include "upload/transfer_log.h"

namespace corvantel {

using platform::Endpoint;
namespace fmt = platform::fmt;
namespace files = platform::files;

// What each send hands the data connection. The server sees one stream
// whatever the piece; large pieces keep the calls (and the CPU time) of a
// big upload few. The Bytes Sent display follows the bytes the socket took.
static constexpr std::size_t recordBytes = 256 * 1024;

// Sends without a connected check: a send on a closed connection sends
// nothing and is noted as a failure of the session.
static void sendOrFail(UploadSession& u, const std::string& text) {
    if (!u.send(text)) u.uploadFailed = u.controlLost = true;
}

// Whether a listed file is one to send: a download still being written is
// not, nor (with the duplicate check on) a name sent before.
bool worthSending(App& app, const std::string& name) {
    auto& s = app.s;
    return !isPartialDownload(name) && !(s.uploadDupeCheck && uploadSessions(app).uploadedNames.contains(name));
}

// A file the download job is fetching now is not sent half-written.
bool beingDownloaded(App& app, const std::string& name) {
    return app.downloadingNow && app.downloadingNow(name);
}

// Moves on to the next entry worth sending, from uploadFileIndex on: its name
// becomes uploadFileName and the index passes it. False when none is left.
static bool takeNextWorthSending(UploadSession& u) {
    App& app = u.app;
    while (uploadSessions(app).uploadFileIndex < uploadSessions(app).uploadFileCount()) {
        const std::string name = uploadSessions(app).uploadFiles[static_cast<std::size_t>(uploadSessions(app).uploadFileIndex++)];
        if (worthSending(app, name)) {
            u.uploadFileName = name;
            return true;
        }
    }
    return false;
}

Task<> uploadNextFile(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    auto& w = app.w;
    if (uploadSessions(app).uploadFileIndex == 0) {
        // The files to send are taken now; File2 shows them.
        uploadSessions(app).uploadFiles = platform::files::listFiles(s.workPath, w.Text8.text());
        w.File2.show(s.workPath, w.Text8.text(), uploadSessions(app).uploadFiles);
        noteListedSizes(app);
    }
    bool started = false;
    // Events handled in the yields below may finish the file being sent, or
    // start the next one from a nested call: a file started meanwhile by
    // another call is not started a second time from here.
    const std::int64_t starts = u.uploadFileStarts;
    auto overtaken = [&] { return u.uploadFileStarts != starts; };
    if (u.uploadStep != 18) co_await u.strand.turn();
    if (overtaken()) co_return;
    // With more connections, a file a lost connection left is sent first.
    auto& requeue = uploadSessions(app).requeue;
    if (u.uploadStep == 18 && s.parallelConnections > 1 && !requeue.names.empty() && !requeue.stop) {
        u.uploadFileName = requeue.names.front();
        co_await uploadFileStep(u);
        co_return;
    }
    if (u.uploadStep == 18 && s.parallelConnections > 1) {
        // More connections: the entries at the head of the list that are not
        // worth sending are passed at once, with no turn of the loop between
        // looking and passing (another connection may move the head). The
        // file is claimed when its store goes out.
        while (uploadSessions(app).uploadFileIndex < uploadSessions(app).uploadFileCount() && !worthSending(app, uploadSessions(app).uploadFiles[static_cast<std::size_t>(uploadSessions(app).uploadFileIndex)]))
            ++uploadSessions(app).uploadFileIndex;
        if (uploadSessions(app).uploadFileIndex < uploadSessions(app).uploadFileCount() && !(u.helper && requeue.stop)) {
            u.uploadFileName = uploadSessions(app).uploadFiles[static_cast<std::size_t>(uploadSessions(app).uploadFileIndex)];
            co_await uploadFileStep(u);
            started = true;
        }
    } else if (u.uploadStep == 18) {
        while (uploadSessions(app).uploadFileIndex < uploadSessions(app).uploadFileCount() && !started) {
            u.uploadFileName = uploadSessions(app).uploadFiles[static_cast<std::size_t>(uploadSessions(app).uploadFileIndex)];
            co_await u.strand.turn();
            if (overtaken() || u.uploadStep != 18) co_return;
            // A download still being written is not a file to send.
            if (!worthSending(app, u.uploadFileName)) {
                ++uploadSessions(app).uploadFileIndex;
            } else {
                co_await uploadFileStep(u);
                started = true;
            }
            co_await u.strand.turn();
            if (!started && overtaken()) co_return;
        }
    } else {
        co_await uploadFileStep(u);
        started = true;
    }
    if (uploadSessions(app).uploadFileIndex == uploadSessions(app).uploadFileCount() && !started) ++uploadSessions(app).uploadFileIndex;
}

// Opens the chosen file for reading; false when it has vanished or cannot
// be read, when it is a link or anything but a regular file (whatever was
// put under the name since the listing), or when its name cannot go into a
// command (a CR, LF or NUL). Its length is the opened file's.
// A refusal leaves its cause for the file's "fail" verdict.
std::string uploadRemoteName(App& app, const std::string& local) {
    return app.w.ai_ustamp.checked() ? fmt::yyyymmdd(app.now()) + "_" + local : local;
}

void beginUploadFile(UploadSession& u) {
    App& app = u.app;
    auto& w = app.w;
    startUploadProof(u);
    u.uploadFileStarted = true;
    notify(app.events.fileStarted, JobKind::Upload, u.uploadFileName, std::int64_t{0});
    u.uploadVerdictGiven = false;
    w.setCaption(app.s.transferCaptionPrefix + fmt::hhmmssAmPm(app.now()) + " File: " + u.uploadFileName);
    w.fText6b.setText("0");
    u.uploadBytesSent = 0;
    u.uploadTarget = uploadRemoteName(app, u.uploadFileName);
    u.uploadResumeFrom = 0;
}

bool openChosen(UploadSession& u) {
    App& app = u.app;
    u.file.close();
    u.uploadFileLength = -1;
    u.failCause.clear();
    const std::string path = app.workFile(u.uploadFileName);
    if (!fitsInCommand(u.uploadFileName)) {
        u.failCause = "unsafe name";
        return false;
    }
    if (!u.file.open(path)) {
        u.failCause = files::isSymlink(path)        ? "local file is a symbolic link"
                            : files::exists(path) && files::length(path) < 0 ? "local file is not a regular file"
                                                                             : "local file missing or unreadable";
        return false;
    }
    u.uploadFileLength = u.file.size();
    return true;
}

static Task<> failAndGoOn(UploadSession& u) {
    leaveTemp(u, false);
    u.uploadStep = 18;
    u.file.close();
    u.uploadFileLength = std::max<std::int64_t>(u.uploadFileLength, 0);
    logUploadResult(u, "fail");
    u.failCause.clear();
    co_await uploadNextFile(u);
}

static Task<> storeStep(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    u.uploadStep = 22;
    if (s.parallelConnections > 1) {
        // More connections send from the same list: the file is claimed now,
        // the first left by a lost connection or else the head of the list
        // as it stands (another connection may have taken the one seen
        // before these commands).
        auto& requeue = uploadSessions(app).requeue;
        if (!requeue.names.empty()) {
            u.uploadFileName = requeue.names.front();
            requeue.names.pop_front();
        } else if (requeue.stop || !takeNextWorthSending(u)) {
            uploadSessions(app).uploadFileIndex = uploadSessions(app).uploadFileCount() + 1;
            u.uploadStep = 18;
            u.data.close();
            co_return;
        }
    } else {
        ++uploadSessions(app).uploadFileIndex;
    }
    // The file being downloaded is passed over, and a file that vanished or
    // cannot be read since the listing fails (one line); the next entry
    // worth sending is stored in its place, as the commands already sent
    // serve it too.
    // A file still being written (with settled files only) is passed over
    // the same way, without a verdict: a later run takes it.
    bool skip = beingDownloaded(app, u.uploadFileName) || !uploadSettled(app, u.uploadFileName);
    while (skip || !openChosen(u)) {
        if (!skip) {
            u.uploadFileLength = std::max<std::int64_t>(u.uploadFileLength, 0);
            u.uploadVerdictGiven = false;
            logUploadResult(u, "fail");
            u.failCause.clear();
        }
        u.uploadFileStarted = false;
        if (!takeNextWorthSending(u)) {
            ++uploadSessions(app).uploadFileIndex;
            // With more connections, this one is back between files.
            if (s.parallelConnections > 1) {
                u.uploadStep = 18;
                u.data.close();
            }
            co_return;
        }
        skip = beingDownloaded(app, u.uploadFileName) || !uploadSettled(app, u.uploadFileName);
    }
    beginUploadFile(u);
    u.uploadStoreCommand = "STOR " + u.uploadTarget;
    u.uploadTempTarget.clear();
    u.uploadTempStored = false;
    // Passive mode: the data connection opened after the server named its
    // port must be up before STOR; without one the file fails and the next
    // one starts.
    if (!uploadPassiveReady(u)) {
        co_await failAndGoOn(u);
        co_return;
    }
    // The transfer type refused: the server would store the file in the
    // other type, so it is not sent at all.
    if (u.uploadTypeRefused) {
        u.failCause = "transfer type refused";
        co_await failAndGoOn(u);
        co_return;
    }
    // Under a temporary name, renamed into place once proven.
    if (s.uploadTempName) co_await prepareTempStore(u);
    sendOrFail(u, u.uploadStoreCommand);
    u.uploadTempStored = !u.uploadTempTarget.empty();
}

Task<> uploadFileStep(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    auto& w = app.w;
    switch (u.uploadStep) {
        case 18: {
            ++u.uploadFileStarts;
            u.data.setRemotePort(static_cast<std::int32_t>(wholeValue(w.Text10.text()) & 0xffff));
            resetListener(u);
            u.uploadTransferPhase = true;
            u.uploadTypeRefused = false;
            // With quick waits the type goes out only when it changes, and
            // REST only to resume.
            if (s.quickWaits && u.type == s.transferType) {
                u.uploadStep = 20;
                sendDataSetup(u);
            } else {
                u.uploadStep = 19;
                sendOrFail(u, s.transferType);
            }
            break;
        }
        case 19:
            if (u.uploadReply.empty() || u.uploadReply[0] != '2') {
                u.uploadTypeRefused = true;
                u.type.clear();
            }
            u.uploadStep = 20;
            sendDataSetup(u);
            break;
        case 20: {
            const DataReady ready = co_await dataReady(u);
            if (ready == DataReady::Asked) break;
            // Passive mode: the data connection is opened at once (some
            // servers handle nothing more until it is there); without one
            // the store fails for want of it.
            if (ready == DataReady::No) u.passivePort = -1;
            u.uploadStep = 21;
            if (s.quickWaits) {
                co_await storeStep(u);
                break;
            }
            sendOrFail(u, "REST 0");
            break;
        }
        case 21:
            co_await storeStep(u);
            break;
        default:
            break;
    }
}

// Reads the next record of the file being sent.
static std::string readRecord(UploadSession& u) {
    std::string record = u.file.read(recordBytes);
    u.uploadBytesRead += static_cast<std::int64_t>(record.size());
    u.digest.update(record);
    if (record.size() < recordBytes || u.uploadBytesRead >= u.uploadFileLength || u.file.failed())
        u.uploadEndOfFile = true;
    return record;
}

// The last piece has gone out: the verdict waits for the server's reply.
static void awaitVerdict(UploadSession& u) {
    u.uploadVerdictPending = true;
    u.uploadPendingName = u.uploadFileName;
    u.uploadPendingLength = u.uploadFileLength;
}


Task<> beginFileSend(UploadSession& u) {
    App& app = u.app;
    auto& w = app.w;
    u.uploadStep = 23;
    if (!u.file.isOpen() && !openChosen(u)) {
        u.data.close();
        co_await failAndGoOn(u);
        co_return;
    }
    u.uploadBytesRead = 0;
    u.uploadEndOfFile = false;
    // A resumed upload sends the rest: the bytes the server holds are read
    // for the checksum only.
    while (u.uploadBytesRead < u.uploadResumeFrom) {
        const std::string skipped = u.file.read(static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(recordBytes), u.uploadResumeFrom - u.uploadBytesRead)));
        if (skipped.empty()) break;
        u.digest.update(skipped);
        u.uploadBytesRead += static_cast<std::int64_t>(skipped.size());
    }
    u.uploadBytesSent = u.uploadBytesRead;
    auto& l = u.data;
    // With FTPS the data connection must also be secure before data goes.
    const bool tls = dataJob(u).tls;
    co_await sessionTimedWait(u, [&] {
        return (l.state() == Endpoint::Connected && (!tls || l.secure())) || l.state() == Endpoint::Error ||
               u.uploadWaitSeconds >= 6;
    });
    if (u.uploadFileLength < 1) {
        w.Text14.setVisible(false);
        u.uploadStep = 18;
        u.file.close();
        if (l.state() == Endpoint::Connected && u.uploadBytesSent == 0) {
            awaitVerdict(u);
            l.close();
        } else {
            logUploadResult(u, "fail");
            co_await uploadNextFile(u);
        }
        co_return;
    }
    w.Text14.setVisible(true);
    std::string record = readRecord(u);
    if (l.state() == Endpoint::Connected && !record.empty()) {
        u.uploadSendPiece = record;
        l.sendData(u.uploadSendPiece);
    } else {
        co_await failAndGoOn(u);
    }
}

static void sendCompleted(UploadSession& u) {
    App& app = u.app;
    auto& w = app.w;
    // Every completed send is activity, the last piece of a file too.
    u.uploadIdleTicks = 0;
    if (u.uploadStep != 23 || !u.file.isOpen()) return;
    const std::int64_t sent = u.uploadBytesSent;
    if (u.uploadEndOfFile) {
        u.uploadStep = 18;
        u.file.close();
        if (sent == u.uploadFileLength) {
            awaitVerdict(u);
        } else {
            leaveTemp(u, true);
            logUploadResult(u, "fail");
        }
        u.data.close();
        if (uploadSessions(app).uploadFileIndex == uploadSessions(app).uploadFileCount()) ++uploadSessions(app).uploadFileIndex;
        return;
    }
    std::string record = readRecord(u);
    if (record.empty()) {
        // The file shrank or could not be read: it cannot pass.
        u.uploadStep = 18;
        u.file.close();
        leaveTemp(u, false);
        logUploadResult(u, "fail");
        u.data.close();
        if (uploadSessions(app).uploadFileIndex == uploadSessions(app).uploadFileCount()) ++uploadSessions(app).uploadFileIndex;
        return;
    }
    u.uploadSendPiece = record;
    if (u.uploadFileLength > 0)
        w.Text14.setText(std::to_string(static_cast<std::int64_t>(static_cast<double>(sent) * 100.0 /
                                                                   static_cast<double>(u.uploadFileLength))) +
                         " %");
    if (u.data.state() == Endpoint::Connected) u.data.sendData(u.uploadSendPiece);
    u.uploadIdleTicks = 0;
}

Task<> uploadStoreReply(UploadSession& u, std::string storeCommand, std::string code) {
    // An answer to the store of a file already judged (its data connection
    // never came, say) changes nothing.
    // (Its temporary copy, when it is to go, goes now that the server has
    // ended the store.)
    if (storeCommand != u.uploadStoreCommand) co_return;
    if (u.uploadVerdictGiven) {
        co_await clearOwnTemp(u);
        co_return;
    }
    if (u.uploadVerdictPending) {
        u.uploadVerdictPending = false;
        const std::string name = u.uploadFileName;
        const std::int64_t length = u.uploadFileLength;
        u.uploadFileName = u.uploadPendingName;
        u.uploadFileLength = u.uploadPendingLength;
        u.failCause.clear();
        bool proven = false;
        if (code[0] == '2') proven = co_await proveUpload(u);
        if (proven && u.uploadTempStored) {
            proven = co_await putInPlace(u);
        } else if (u.uploadTempStored) {
            // Refused or not proven: the copy goes (one the server cut
            // short with a transient error is kept to be resumed).
            leaveTemp(u, code[0] == '4');
            co_await clearOwnTemp(u);
        }
        recordUploadJudged(u, proven);
        u.uploadFileName = name;
        u.uploadFileLength = length;
        co_return;
    }
    if (!u.uploadFileStarted) co_return;
    // The server ended the store before the whole file went out: the file
    // fails, its sending stops and the loop goes on with the next one.
    u.file.close();
    u.data.close();
    // A server that refuses a STOR after REST on a copy it holds (one that
    // never stores over a file) keeps the copy: APPE continues it next time.
    const bool restRefused = code[0] == '5' && u.uploadResumeFrom > 0 && u.uploadStoreCommand.rfind("STOR ", 0) == 0 &&
                             u.uploadBytesSent <= u.uploadResumeFrom;
    leaveTemp(u, code[0] == '4' || restRefused, restRefused);
    logUploadResult(u, "fail");
    u.uploadStep = 18;
    co_await clearOwnTemp(u);
}

void failPendingUpload(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    // A file hit by the error that the retry step took over gets its line
    // from the retry's decision (or from its next try).
    // Whatever its verdict, a temporary copy left is cut short.
    leaveTemp(u, true);
    if (u.takeover == Takeover::ErrorRetry && s.uploadTakeoverHadFile && !u.uploadVerdictPending) {
        if (u.uploadFileStarted && !u.uploadVerdictGiven) {
            if (std::none_of(uploadSessions(app).uploadOwed.begin(), uploadSessions(app).uploadOwed.end(),
                             [&](const auto& o) { return o.first == u.uploadFileName; }))
                uploadSessions(app).uploadOwed.emplace_back(u.uploadFileName, u.uploadFileLength);
        }
        u.uploadFileStarted = false;
        return;
    }
    if (u.uploadVerdictPending) {
        u.uploadVerdictPending = false;
        u.uploadFileName = u.uploadPendingName;
        u.uploadFileLength = u.uploadPendingLength;
        logUploadResult(u, "fail");
    } else if (u.uploadFileStarted && !u.uploadVerdictGiven) {
        logUploadResult(u, "fail");
    }
    u.uploadFileStarted = false;
}

static Task<> dataArrival(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    if (s.shuttingDown) co_return;
    u.uploadWaitSeconds = 0;
    // Whatever the server sends on the data connection is read and dropped:
    // a listing is not used, and nothing is ever written into a file here.
    u.uploadDataBuffer = u.data.getData();
    if (u.uploadStep == 11) u.uploadWaitSeconds -= 3;
    if (u.uploadTransferPhase) co_return;
    if (u.listingWait) co_return;
    u.listingWait = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{u.listingWait};
    co_await sessionTimedWait(
        u, [&] { return !(u.uploadWaitSeconds < 5 && (u.uploadStep == 7 || u.uploadStep == 11)); }, false);
    if (u.data.state() != Endpoint::Closed && (u.uploadStep == 7 || u.uploadStep == 11))
        u.data.close();
}

void installUploadDataHandlers(UploadSession& u) {
    auto& l = u.data;
    l.onConnectionRequest = [&u](std::int64_t id) {
        if (!acceptServerData(u.app, dataJob(u), id, "upload")) return;
        secureAcceptedData(dataJob(u));
    };
    l.onDataArrival = [&u](std::int64_t) { u.strand.spawn(dataArrival(u)); };
    // The server closed the data connection: close our side too (a
    // listing that brings nothing then ends at once).
    l.onClose = [&u] {
        auto& e = u.data;
        if (e.state() == Endpoint::Closing) e.close();
    };
    l.onSendProgress = [&u](std::int64_t sent, std::int64_t) {
        u.uploadBytesSent += sent;
        u.app.w.fText6b.setText(std::to_string(u.uploadBytesSent));
    };
    l.onSendComplete = [&u] { sendCompleted(u); };
    l.onError = [&u](int n, const std::string&) {
        auto& s = u.app.s;
        if (!s.uploadRunning) return;
        // A data connection whose TLS peer is not the control connection's
        // (or not trusted) fails the session with its own line.
        if (dataTlsFailure(tlsJob(u), n)) u.uploadFailed = true;
        if (n > 1000 && n < 12000 && !s.sessionAborting) retryAfterError(u);
    };
}

}  // namespace corvantel
