#include "upload/sending.h"

#include <algorithm>

#include "app/app_state.h"
#include "app/text.h"
#include "app/partial_names.h"
#include "app/waits.h"
#include "upload/commands.h"
#include "upload/dispatch.h"
#include "upload/proof.h"
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
static void sendOrFail(App& app, const std::string& text) {
    if (!sendUploadCommand(app, text)) app.s.uploadFailed = app.s.uploadControlLost = true;
}

// Whether a listed file is one to send: a download still being written is
// not, nor (with the duplicate check on) a name sent before.
static bool worthSending(App& app, const std::string& name) {
    auto& s = app.s;
    return !isPartialDownload(name) && !(s.uploadDupeCheck && s.uploadedNames.contains(name));
}

// A file the download job is fetching now is not sent half-written.
static bool beingDownloaded(App& app, const std::string& name) {
    return app.downloadingNow && app.downloadingNow(name);
}

// Moves on to the next entry worth sending, from uploadFileIndex on: its name
// becomes uploadFileName and the index passes it. False when none is left.
static bool takeNextWorthSending(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    while (s.uploadFileIndex < w.File2.count()) {
        const std::string name = w.File2.name(s.uploadFileIndex++);
        if (worthSending(app, name)) {
            s.uploadFileName = name;
            return true;
        }
    }
    return false;
}

Task<> uploadNextFile(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    if (s.uploadFileIndex == 0) {
        w.File2.setPath(s.workPath);
        w.File2.setPattern(w.Text8.text());
        noteListedSizes(app);
    }
    bool started = false;
    // Events handled in the yields below may finish the file being sent, or
    // start the next one from a nested call: a file started meanwhile by
    // another call is not started a second time from here.
    const std::int64_t starts = s.uploadFileStarts;
    auto overtaken = [&] { return s.uploadFileStarts != starts; };
    if (s.uploadStep != 18) co_await app.uploadStrand.turn();
    if (overtaken()) co_return;
    if (s.uploadStep == 18) {
        while (s.uploadFileIndex < w.File2.count() && !started) {
            s.uploadFileName = w.File2.name(s.uploadFileIndex);
            co_await app.uploadStrand.turn();
            if (overtaken() || s.uploadStep != 18) co_return;
            // A download still being written is not a file to send.
            if (!worthSending(app, s.uploadFileName)) {
                ++s.uploadFileIndex;
            } else {
                co_await uploadFileStep(app);
                started = true;
            }
            co_await app.uploadStrand.turn();
            if (!started && overtaken()) co_return;
        }
    } else {
        co_await uploadFileStep(app);
        started = true;
    }
    if (s.uploadFileIndex == w.File2.count() && !started) ++s.uploadFileIndex;
}

// Opens the chosen file for reading; false when it has vanished or cannot
// be read, when it is a link or anything but a regular file (whatever was
// put under the name since the listing), or when its name cannot go into a
// command (a CR, LF or NUL). Its length is the opened file's.
// A refusal leaves its cause for the file's "fail" verdict.
static bool openChosen(App& app) {
    auto& s = app.s;
    app.uploadFile.close();
    s.uploadFileLength = -1;
    s.uploadFailCause.clear();
    const std::string path = app.workFile(s.uploadFileName);
    if (!fitsInCommand(s.uploadFileName)) {
        s.uploadFailCause = "unsafe name";
        return false;
    }
    if (!app.uploadFile.open(path)) {
        s.uploadFailCause = files::isSymlink(path)        ? "local file is a symbolic link"
                            : files::exists(path) && files::length(path) < 0 ? "local file is not a regular file"
                                                                             : "local file missing or unreadable";
        return false;
    }
    s.uploadFileLength = app.uploadFile.size();
    return true;
}

static Task<> failAndGoOn(App& app) {
    auto& s = app.s;
    s.uploadStep = 18;
    app.uploadFile.close();
    s.uploadFileLength = std::max<std::int64_t>(s.uploadFileLength, 0);
    logUploadResult(app, "fail");
    s.uploadFailCause.clear();
    co_await uploadNextFile(app);
}

static Task<> storeStep(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    s.uploadStep = 22;
    ++s.uploadFileIndex;
    // The file being downloaded is passed over, and a file that vanished or
    // cannot be read since the listing fails (one line); the next entry
    // worth sending is stored in its place, as the commands already sent
    // serve it too.
    // A file still being written (with settled files only) is passed over
    // the same way, without a verdict: a later run takes it.
    bool skip = beingDownloaded(app, s.uploadFileName) || !uploadSettled(app, s.uploadFileName);
    while (skip || !openChosen(app)) {
        if (!skip) {
            s.uploadFileLength = std::max<std::int64_t>(s.uploadFileLength, 0);
            s.uploadVerdictGiven = false;
            logUploadResult(app, "fail");
            s.uploadFailCause.clear();
        }
        s.uploadFileStarted = false;
        if (!takeNextWorthSending(app)) {
            ++s.uploadFileIndex;
            co_return;
        }
        skip = beingDownloaded(app, s.uploadFileName) || !uploadSettled(app, s.uploadFileName);
    }
    startUploadProof(app);
    s.uploadFileStarted = true;
    notify(app.events.fileStarted, JobKind::Upload, s.uploadFileName, std::int64_t{0});
    s.uploadVerdictGiven = false;
    w.setCaption(s.transferCaptionPrefix + fmt::hhmmssAmPm(app.now()) + " File: " + s.uploadFileName);
    w.fText6b.setText("0");
    s.uploadBytesSent = 0;
    s.uploadStoreCommand = w.ai_ustamp.checked() ? "STOR " + fmt::yyyymmdd(app.now()) + "_" + s.uploadFileName
                                                  : "STOR " + s.uploadFileName;
    // Passive mode: the data connection opened after the server named its
    // port must be up before STOR; without one the file fails and the next
    // one starts.
    if (!uploadPassiveReady(app)) {
        co_await failAndGoOn(app);
        co_return;
    }
    // The transfer type refused: the server would store the file in the
    // other type, so it is not sent at all.
    if (s.uploadTypeRefused) {
        s.uploadFailCause = "transfer type refused";
        co_await failAndGoOn(app);
        co_return;
    }
    sendOrFail(app, s.uploadStoreCommand);
}

Task<> uploadFileStep(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    switch (s.uploadStep) {
        case 18: {
            ++s.uploadFileStarts;
            w.ftpclient3->setRemotePort(static_cast<std::int32_t>(wholeValue(w.Text10.text()) & 0xffff));
            reopenUploadListener(app);
            s.uploadTransferPhase = true;
            s.uploadTypeRefused = false;
            // With quick waits the type goes out only when it changes, and
            // REST only to resume.
            if (s.quickWaits && s.uploadType == s.transferType) {
                s.uploadStep = 20;
                sendUploadDataSetup(app);
            } else {
                s.uploadStep = 19;
                sendOrFail(app, s.transferType);
            }
            break;
        }
        case 19:
            if (s.uploadReply.empty() || s.uploadReply[0] != '2') {
                s.uploadTypeRefused = true;
                s.uploadType.clear();
            }
            s.uploadStep = 20;
            sendUploadDataSetup(app);
            break;
        case 20: {
            const DataReady ready = co_await uploadDataReady(app);
            if (ready == DataReady::Asked) break;
            // Passive mode: the data connection is opened at once (some
            // servers handle nothing more until it is there); without one
            // the store fails for want of it.
            if (ready == DataReady::No) s.uploadPassivePort = -1;
            s.uploadStep = 21;
            if (s.quickWaits) {
                co_await storeStep(app);
                break;
            }
            sendOrFail(app, "REST 0");
            break;
        }
        case 21:
            co_await storeStep(app);
            break;
        default:
            break;
    }
}

// Reads the next record of the file being sent.
static std::string readRecord(App& app) {
    auto& s = app.s;
    std::string record = app.uploadFile.read(recordBytes);
    s.uploadBytesRead += static_cast<std::int64_t>(record.size());
    s.uploadDigest.update(record);
    if (record.size() < recordBytes || s.uploadBytesRead >= s.uploadFileLength || app.uploadFile.failed())
        s.uploadEndOfFile = true;
    return record;
}

// The last piece has gone out: the verdict waits for the server's reply.
static void awaitVerdict(App& app) {
    auto& s = app.s;
    s.uploadVerdictPending = true;
    s.uploadPendingName = s.uploadFileName;
    s.uploadPendingLength = s.uploadFileLength;
}


Task<> beginFileSend(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    s.uploadStep = 23;
    if (!app.uploadFile.isOpen() && !openChosen(app)) {
        w.ftpclient3->close();
        co_await failAndGoOn(app);
        co_return;
    }
    s.uploadBytesRead = 0;
    s.uploadEndOfFile = false;
    auto& l = *w.ftpclient3;
    // With FTPS the data connection must also be secure before data goes.
    const bool tls = uploadDataJob(app).tls;
    co_await uploadTimedWait(app, [&] {
        return (l.state() == Endpoint::Connected && (!tls || l.secure())) || l.state() == Endpoint::Error ||
               s.uploadWaitSeconds >= 6;
    });
    if (s.uploadFileLength < 1) {
        w.Text14.setVisible(false);
        s.uploadStep = 18;
        app.uploadFile.close();
        if (l.state() == Endpoint::Connected && s.uploadBytesSent == 0) {
            awaitVerdict(app);
            l.close();
        } else {
            logUploadResult(app, "fail");
            co_await uploadNextFile(app);
        }
        co_return;
    }
    w.Text14.setVisible(true);
    std::string record = readRecord(app);
    if (l.state() == Endpoint::Connected && !record.empty()) {
        s.uploadSendPiece = record;
        l.sendData(s.uploadSendPiece);
    } else {
        co_await failAndGoOn(app);
    }
}

static void sendCompleted(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    // Every completed send is activity, the last piece of a file too.
    s.uploadIdleTicks = 0;
    if (s.uploadStep != 23 || !app.uploadFile.isOpen()) return;
    const std::int64_t sent = s.uploadBytesSent;
    if (s.uploadEndOfFile) {
        s.uploadStep = 18;
        app.uploadFile.close();
        if (sent == s.uploadFileLength) {
            awaitVerdict(app);
        } else {
            logUploadResult(app, "fail");
        }
        w.ftpclient3->close();
        if (s.uploadFileIndex == w.File2.count()) ++s.uploadFileIndex;
        return;
    }
    std::string record = readRecord(app);
    if (record.empty()) {
        // The file shrank or could not be read: it cannot pass.
        s.uploadStep = 18;
        app.uploadFile.close();
        logUploadResult(app, "fail");
        w.ftpclient3->close();
        if (s.uploadFileIndex == w.File2.count()) ++s.uploadFileIndex;
        return;
    }
    s.uploadSendPiece = record;
    if (s.uploadFileLength > 0)
        w.Text14.setText(std::to_string(static_cast<std::int64_t>(static_cast<double>(sent) * 100.0 /
                                                                   static_cast<double>(s.uploadFileLength))) +
                         " %");
    if (w.ftpclient3->state() == Endpoint::Connected) w.ftpclient3->sendData(s.uploadSendPiece);
    s.uploadIdleTicks = 0;
}

Task<> uploadStoreReply(App& app, std::string storeCommand, std::string code) {
    auto& s = app.s;
    // An answer to the store of a file already judged (its data connection
    // never came, say) changes nothing.
    if (storeCommand != s.uploadStoreCommand || s.uploadVerdictGiven) co_return;
    if (s.uploadVerdictPending) {
        s.uploadVerdictPending = false;
        const std::string name = s.uploadFileName;
        const std::int64_t length = s.uploadFileLength;
        s.uploadFileName = s.uploadPendingName;
        s.uploadFileLength = s.uploadPendingLength;
        s.uploadFailCause.clear();
        bool proven = false;
        if (code[0] == '2') proven = co_await proveUpload(app);
        if (proven) {
            logUploadResult(app, "pass");
            if (s.uploadDupeCheck) recordUploadedName(app);
        } else {
            logUploadResult(app, "fail");
        }
        s.uploadFailCause.clear();
        s.uploadFileName = name;
        s.uploadFileLength = length;
        co_return;
    }
    if (!s.uploadFileStarted) co_return;
    // The server ended the store before the whole file went out: the file
    // fails, its sending stops and the loop goes on with the next one.
    app.uploadFile.close();
    app.w.ftpclient3->close();
    logUploadResult(app, "fail");
    s.uploadStep = 18;
}

void failPendingUpload(App& app) {
    auto& s = app.s;
    // A file hit by the error that the retry step took over gets its line
    // from the retry's decision (or from its next try).
    if (s.uploadTakeover == Takeover::ErrorRetry && s.uploadTakeoverHadFile && !s.uploadVerdictPending) {
        if (s.uploadFileStarted && !s.uploadVerdictGiven) {
            if (std::none_of(s.uploadOwed.begin(), s.uploadOwed.end(),
                             [&](const auto& o) { return o.first == s.uploadFileName; }))
                s.uploadOwed.emplace_back(s.uploadFileName, s.uploadFileLength);
        }
        s.uploadFileStarted = false;
        return;
    }
    if (s.uploadVerdictPending) {
        s.uploadVerdictPending = false;
        s.uploadFileName = s.uploadPendingName;
        s.uploadFileLength = s.uploadPendingLength;
        logUploadResult(app, "fail");
    } else if (s.uploadFileStarted && !s.uploadVerdictGiven) {
        logUploadResult(app, "fail");
    }
    s.uploadFileStarted = false;
}

static Task<> dataArrival(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    if (s.shuttingDown) co_return;
    s.uploadWaitSeconds = 0;
    // Whatever the server sends on the data connection is read and dropped:
    // a listing is not used, and nothing is ever written into a file here.
    s.uploadDataBuffer = w.ftpclient3->getData();
    if (s.uploadStep == 11) s.uploadWaitSeconds -= 3;
    if (s.uploadTransferPhase) co_return;
    if (s.uploadListingWait) co_return;
    s.uploadListingWait = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{s.uploadListingWait};
    co_await uploadTimedWait(
        app, [&] { return !(s.uploadWaitSeconds < 5 && (s.uploadStep == 7 || s.uploadStep == 11)); }, false);
    if (w.ftpclient3->state() != Endpoint::Closed && (s.uploadStep == 7 || s.uploadStep == 11))
        w.ftpclient3->close();
}

void installUploadDataHandlers(App& app) {
    auto& l = *app.w.ftpclient3;
    l.onConnectionRequest = [&app](std::int64_t id) {
        if (!acceptServerData(app, uploadDataJob(app), id, "upload")) return;
        secureAcceptedData(uploadDataJob(app));
    };
    l.onDataArrival = [&app](std::int64_t) { app.uploadStrand.spawn(dataArrival(app)); };
    // The server closed the data connection: close our side too (a
    // listing that brings nothing then ends at once).
    l.onClose = [&app] {
        auto& e = *app.w.ftpclient3;
        if (e.state() == Endpoint::Closing) e.close();
    };
    l.onSendProgress = [&app](std::int64_t sent, std::int64_t) {
        app.s.uploadBytesSent += sent;
        app.w.fText6b.setText(std::to_string(app.s.uploadBytesSent));
    };
    l.onSendComplete = [&app] { sendCompleted(app); };
    l.onError = [&app](int n, const std::string&) {
        auto& s = app.s;
        if (!s.uploadRunning) return;
        // A data connection whose TLS peer is not the control connection's
        // (or not trusted) fails the session with its own line.
        if (dataTlsFailure(uploadTlsJob(app), n)) s.uploadFailed = true;
        if (n > 1000 && n < 12000 && !s.sessionAborting) uploadErrorRetry(app, s.uploadFileIndex);
    };
}

}  // namespace corvantel
