#include "download/retrieval.h"

#include <cctype>
#include <cstdio>
#include <limits>
#include <optional>

#include "app/app_state.h"
#include "app/text.h"
#include "download/commands.h"
#include "download/dispatch.h"
#include "download/proof.h"
#include "download/records.h"
#include "download/selection.h"
#include "app/waits.h"

namespace corvantel {

using platform::Endpoint;
namespace fmt = platform::fmt;
namespace files = platform::files;

// The size a transfer's preliminary reply states, read strictly: only a
// line that ends in "(N bytes)" (an optional full stop after it), as vsftpd,
// proftpd and many others write it. The text before it may hold a file name
// with parentheses and digits of its own ("IMG_0001 (1).jpg"), which is never
// a size.
static std::optional<std::int64_t> statedBytes(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.pop_back();
    if (!line.empty() && line.back() == '.') line.pop_back();
    if (line.empty() || line.back() != ')') return std::nullopt;
    line.pop_back();
    const std::string word = "bytes";
    if (line.size() < word.size() || toLowerAscii(line.substr(line.size() - word.size())) != word)
        return std::nullopt;
    line.resize(line.size() - word.size());
    if (line.empty() || line.back() != ' ') return std::nullopt;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::size_t b = line.size();
    while (b > 0 && std::isdigit(static_cast<unsigned char>(line[b - 1]))) --b;
    if (b == line.size() || b == 0 || line[b - 1] != '(') return std::nullopt;
    std::int64_t v = 0;
    for (std::size_t i = b; i < line.size(); ++i) {
        const int d = line[i] - '0';
        if (v > (std::numeric_limits<std::int64_t>::max() - d) / 10) return std::numeric_limits<std::int64_t>::max();
        v = v * 10 + d;
    }
    return v;
}

std::int64_t sizeFromRetrReply(const std::string& reply, bool fileSizeCheck) {
    // A multi-line reply may state it on any of its lines; the last one
    // that does counts.
    std::optional<std::int64_t> size;
    for (auto& line : files::splitLines(reply))
        if (auto v = statedBytes(line)) size = v;
    if (size) return *size;
    return fileSizeCheck ? -2 : -1;
}


void discardPartialDownload(App& app) {
    auto& s = app.s;
    // With resumed downloads a cut file keeps what it has, to be fetched on
    // from there next time: only bytes written whole, fewer than the size
    // the server told (SIZE: without it nothing can be resumed), and not
    // proven wrong.
    // A resumed transfer that ran past the server's size: REST was
    // answered and not obeyed. Nothing more is resumed in this session.
    if (s.downloadResumeAt > 0 && s.downloadServerSize >= 0 && s.downloadBytes > s.downloadServerSize)
        s.downloadResumeOff = true;
    // A resumed part is kept again only when it grew, and only when the
    // transfer provably began where REST asked (its preliminary reply
    // stated exactly the rest): otherwise its new bytes may not follow on.
    // In ASCII a part counts converted line ends while REST counts the
    // server's bytes: it cannot be resumed, and is not kept.
    const bool keep = s.resumeDownloads && s.transferType == "TYPE I" && app.downloadFile.isOpen() &&
                      !app.downloadFile.failed() && s.downloadBytes > s.downloadResumeAt && !s.downloadPartialBad &&
                      s.downloadServerSize >= 0 &&
                      s.downloadBytes < s.downloadServerSize &&
                      (s.downloadExpectedSize < 0 || s.downloadBytes < s.downloadExpectedSize) &&
                      (s.downloadResumeAt == 0 || s.downloadRestProven);
    // Closing removes the partial file unless it was renamed into place.
    if (keep)
        app.downloadFile.keep();
    else
        app.downloadFile.close();
    s.downloadPartPath.clear();
}

// The rule of a pass, for every download whatever the mode: the server
// ended the data connection after the last byte (the program never ends a
// transfer because enough bytes have come); the transfer had a positive
// preliminary reply (1xx) and a positive completion reply (2xx); in binary
// type, the bytes received equal every size the server stated (the strict
// "(N bytes)" of its preliminary reply, and SIZE when it was asked); with
// verify, the checksum matches. Anything less fails (or, for a file still
// being written, is left for a later run).
Task<Judged> judgeDownloadedFile(App& app) {
    auto& s = app.s;
    // An announced 0 is a size like any other; -2 is a size the "File Size
    // Exists" option wanted and the server did not state.
    bool sizeOk = s.downloadExpectedSize == -1 || s.downloadBytes == s.downloadExpectedSize;
    // A file ends when the server closes its data connection: one still
    // open, or broken, has not been proven whole however quiet it is.
    const auto data = app.w.ftpclient2->state();
    sizeOk = sizeOk && (data == platform::Endpoint::Closed || data == platform::Endpoint::Closing);
    // A file that is about to be deleted on the server must be on disk first;
    // otherwise the kernel's own write-back is enough.
    bool written = app.downloadFile.isOpen() &&
                   (s.deleteAfterDownload ? app.downloadFile.finish() : !app.downloadFile.failed());
    bool pass = sizeOk && written && !s.downloadFileSpoiled;
    // Settled files only: a file whose size changed while it came (more or
    // fewer bytes than stated) is still being written; it is left for a
    // later run.
    bool grew = false;
    if (!pass && written && s.settleSeconds > 0) grew = co_await downloadGrewMeanwhile(app);
    if (grew) {
        s.downloadPartialBad = true;
        discardPartialDownload(app);
        co_return Judged::Left;
    }
    // Proven transfers: the server confirms the copy (or the file changed
    // while it was fetched, and is left for a later run).
    if (pass && downloadProofWanted(app)) {
        const DownloadProof proof = co_await proveDownload(app);
        if (proof == DownloadProof::Leave) {
            s.downloadPartialBad = true;
            discardPartialDownload(app);
            co_return Judged::Left;
        }
        pass = proof == DownloadProof::Pass;
    }
    // Renamed beside itself; a local file of that name that is a link or not
    // a regular file is never replaced, and the file fails.
    if (pass) pass = app.downloadFile.commit(s.downloadLocalName);
    discardPartialDownload(app);
    co_return pass ? Judged::Pass : Judged::Fail;
}

Task<bool> judgeAndRecordDownload(App& app) {
    auto& s = app.s;
    s.downloadFailCause.clear();
    const Judged j = co_await judgeDownloadedFile(app);
    if (j == Judged::Left) {
        // No verdict: the file is taken in a later run.
        s.downloadFileGood = false;
        s.downloadVerdictPending = false;
        s.downloadLastPassed = false;
        std::erase_if(s.downloadOwed, [&](const auto& o) { return o.first == s.downloadFileName; });
        co_return false;
    }
    if (j == Judged::Fail) s.downloadFileGood = false;
    recordDownloadResult(app, j == Judged::Pass ? "pass" : "fail");
    s.downloadFailCause.clear();
    co_return j == Judged::Pass;
}

std::string downloadLocalName(App& app, const std::string& remote) {
    if (app.w.ai_dstamp.checked()) return fmt::yyyymmdd(app.now()) + "_" + remote;
    return remote;
}

static void sendOrFail(App& app, const std::string& text) {
    if (!sendDownloadCommand(app, text)) app.s.downloadFailed = app.s.downloadControlLost = true;
}

static Task<> step12(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    s.downloadDataIsFile = true;
    // The file's final reply has come; with quick waits the quiet wait ends
    // once its data connection is over with every announced byte.
    co_await downloadTimedWait(app, [&] {
        return !(s.downloadWaitSeconds < 9 && s.downloadNextDue) || (s.quickWaits && downloadFileProvablyDone(app));
    });
    // A session taken over is only wound down: the file in flight is not
    // judged on what has come so far (the retry fetches it again, or the
    // take-over's decision fails it).
    if (downloadSessionEnding(app)) co_return;
    bool passes = false;
    if (s.downloadFileGood && s.downloadNextDue) passes = co_await judgeAndRecordDownload(app);
    if (passes && s.deleteAfterDownload && s.downloadFileGood && s.downloadNextDue) {
        sendOrFail(app, "DELE " + s.downloadFileName);
        s.downloadLastPassed = false;
    } else {
        w.ftpclient2->setRemotePort(static_cast<std::int32_t>(wholeValue(w.Text9.text()) & 0xffff));
        resetDownloadListener(app);
        s.downloadDataIsFile = true;
        // With quick waits a command goes out only when it changes
        // something: the type once per session, REST only to resume.
        if (s.quickWaits && s.downloadType == s.transferType) {
            s.downloadStep = 14;
            sendDownloadDataSetup(app);
        } else {
            s.downloadStep = 13;
            sendOrFail(app, s.transferType);
        }
    }
    s.downloadNextDue = false;
}

static Task<> leaveFile(App& app);

static Task<> startFile(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    discardPartialDownload(app);
    s.downloadLocalName = downloadLocalName(app, s.downloadTarget);
    s.downloadServerSize = -1;
    s.downloadResumeAt = 0;
    s.downloadRestProven = false;
    s.downloadPartialBad = false;
    s.downloadBytes = 0;
    s.downloadExpectedSize = s.downloadStatedSize = -1;
    // Proven transfers: a file not settled is left for a later run; a kept
    // partial file may be resumed.
    if (downloadProofWanted(app)) {
        const bool prepared = co_await prepareDownload(app);
        if (!prepared) {
            if (!downloadSessionEnding(app)) co_await leaveFile(app);
            co_return;
        }
    }
    w.setCaption(s.transferCaptionPrefix + fmt::hhmmssAmPm(app.now()) + " File: " + s.downloadTarget);
    s.downloadExpectedSize = -1;
    s.downloadFileGood = true;
    s.downloadVerdictPending = true;
    notify(app.events.fileStarted, JobKind::Download, s.downloadTarget, s.downloadResumeAt);
    s.downloadStep = 16;
    s.downloadBytes = s.downloadResumeAt;
    s.downloadFileSpoiled = false;
    s.downloadLastPassed = false;
    w.fText6.setText(std::to_string(s.downloadBytes));
    // A new file of a fresh name, created exclusively: nothing planted in the
    // working directory is written through (unless a kept partial file is
    // resumed: it is open already).
    if (!app.downloadFile.isOpen()) {
        // With resumed downloads the name keeps what the server stated of
        // the file, so that a kept part is resumed only against that copy.
        std::string prefix = partialName(s.downloadLocalName);
        if (s.resumeDownloads && s.downloadServerSize >= 0)
            prefix += partIdentity(s.downloadServerSize, s.downloadServerTime);
        if (app.downloadFile.create(app.workFile(""), prefix, partSuffix))
            s.downloadPartPath = app.downloadFile.path();
        else
            s.downloadFileSpoiled = true;
    }
    startDownloadDigest(app);
    sendOrFail(app, "RETR " + s.downloadTarget);
}

// The chosen file is not settled: it gets no verdict, its data connection
// carries nothing, and the next file starts (or the files end).
static Task<> leaveFile(App& app) {
    auto& s = app.s;
    s.downloadStep = 12;
    s.downloadNextDue = true;
    s.downloadFileName = s.downloadTarget;
    s.downloadFileGood = false;
    s.downloadVerdictPending = false;
    app.w.ftpclient2->close();
    discardPartialDownload(app);
    const bool next = co_await selectNextDownload(app);
    if (next)
        co_await step12(app);
    else
        co_await finishListing(app);
}

// The file could not be fetched: record it and start the next one, if any.
static Task<> fileFailed(App& app) {
    auto& s = app.s;
    s.downloadFileGood = false;
    discardPartialDownload(app);
    recordDownloadResult(app, "fail");
    const bool next = co_await selectNextDownload(app);
    if (next) co_await step12(app);
}

// No data connection could be set up for the chosen file (before its RETR):
// it fails, and the next file starts, or the files end.
static Task<> noDataConnection(App& app, std::string cause = "") {
    auto& s = app.s;
    s.downloadFailCause = cause;
    s.downloadStep = 12;
    s.downloadNextDue = true;
    s.downloadFileName = s.downloadTarget;
    s.downloadExpectedSize = -1;
    s.downloadFileGood = false;
    discardPartialDownload(app);
    recordDownloadResult(app, "fail");
    s.downloadFailCause.clear();
    const bool next = co_await selectNextDownload(app);
    if (next)
        co_await step12(app);
    else
        co_await finishListing(app);
}

static Task<> retrReply(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    s.downloadStep = 12;
    s.downloadNextDue = true;
    if (s.downloadReply.empty() || s.downloadReply[0] != '1') {
        // RETR refused, or ended before any preliminary reply: the transfer
        // never properly began, so whatever its data connection carries
        // cannot be proven whole.
        s.downloadExpectedSize = -1;
        // A resume refused only now ("451 Restart not permitted" after REST
        // was answered 350): its part is dropped, the file comes whole next.
        if (s.downloadResumeAt > 0) s.downloadPartialBad = true;
        w.ftpclient2->close();
        co_await fileFailed(app);
        co_return;
    }
    // An announced size of 0 is checked like any other: a server that then
    // sends bytes fails the file instead of leaving an empty one. In ASCII
    // type the size stated is the one on the server's disk, while the line
    // ends change on the way: it is shown, never compared.
    const std::int64_t stated = sizeFromRetrReply(s.downloadReply, s.fileSizeCheck);
    s.downloadStatedSize = stated;
    s.downloadExpectedSize = s.transferType == "TYPE I" || stated < 0 ? stated : -1;
    // A resumed transfer: servers announce either the whole size or the
    // rest; either way the whole file is what is checked.
    s.downloadRestProven = s.downloadResumeAt > 0 && s.downloadExpectedSize >= 0 &&
                           s.downloadExpectedSize + s.downloadResumeAt == s.downloadServerSize;
    if (s.downloadRestProven) s.downloadExpectedSize = s.downloadStatedSize = s.downloadServerSize;
    // More than it announced may have come before the reply: the file cannot
    // be what it said. The transfer ends only when the server ends it.
    if (s.downloadExpectedSize >= 0 && s.downloadBytes > s.downloadExpectedSize) {
        s.downloadFileSpoiled = true;
        w.ftpclient2->close();
    }
    w.Text13.setVisible(s.downloadStatedSize >= 1);
    auto& l = *w.ftpclient2;
    co_await downloadTimedWait(app, [&] {
        return l.state() == Endpoint::Connected || s.downloadWaitSeconds >= 6 || s.downloadDataAccepted;
    });
    if (l.state() != Endpoint::Connected && !s.downloadDataAccepted) co_await fileFailed(app);
}

Task<> retrievalStep(App& app) {
    auto& s = app.s;
    switch (s.downloadStep) {
        case 12:
            co_await step12(app);
            break;
        case 13:
            // The transfer type refused: the file would come in the other
            // type (converted, or not), so it is not asked for at all.
            if (s.downloadReply.empty() || s.downloadReply[0] != '2') {
                s.downloadType.clear();
                co_await noDataConnection(app, "transfer type refused: " + serverReplyReason(s.downloadReply));
                break;
            }
            s.downloadStep = 14;
            sendDownloadDataSetup(app);
            break;
        case 14: {
            const DataReady ready = co_await downloadDataReady(app);
            if (ready == DataReady::Asked) break;
            // Passive mode: the data connection is opened as soon as the
            // server has named its port (some servers handle nothing more
            // until it is there), before REST and RETR.
            if (ready == DataReady::No) {
                co_await noDataConnection(app);
                break;
            }
            s.downloadStep = 15;
            // With quick waits REST goes out only to undo a resume's.
            if (s.quickWaits && !s.downloadRestUsed) {
                co_await startFile(app);
                break;
            }
            s.downloadRestUsed = false;
            sendOrFail(app, "REST 0");
            break;
        }
        case 15:
            co_await startFile(app);
            break;
        case 16:
            co_await retrReply(app);
            break;
        default:
            break;
    }
}

}  // namespace corvantel
