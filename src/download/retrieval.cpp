#include "download/retrieval.h"

#include <algorithm>

#include <cctype>
#include <cstdio>
#include <limits>
#include <optional>

#include "app/app_state.h"
#include "download/session.h"
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


void discardPartialDownload(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    // With resumed downloads a cut file keeps what it has, to be fetched on
    // from there next time: only bytes written whole, fewer than the size
    // the server told (SIZE: without it nothing can be resumed), and not
    // proven wrong.
    // A resumed transfer that ran past the server's size: REST was
    // answered and not obeyed. Nothing more is resumed in this session.
    if (d.downloadResumeAt > 0 && d.downloadServerSize >= 0 && d.downloadBytes > d.downloadServerSize)
        downloadSessions(app).downloadResumeOff = true;
    // A resumed part is kept again only when it grew, and only when the
    // transfer provably began where REST asked (its preliminary reply
    // stated exactly the rest): otherwise its new bytes may not follow on.
    // In ASCII a part counts converted line ends while REST counts the
    // server's bytes: it cannot be resumed, and is not kept.
    const bool keep = s.resumeDownloads && s.transferType == "TYPE I" && d.file.isOpen() &&
                      !d.file.failed() && d.downloadBytes > d.downloadResumeAt && !d.downloadPartialBad &&
                      d.downloadServerSize >= 0 &&
                      d.downloadBytes < d.downloadServerSize &&
                      (d.downloadExpectedSize < 0 || d.downloadBytes < d.downloadExpectedSize) &&
                      (d.downloadResumeAt == 0 || d.downloadRestProven);
    // Closing removes the partial file unless it was renamed into place.
    if (keep) {
        d.file.keep();
        // The job's list of kept parts, once read, knows it too: another
        // connection that takes the file again resumes it (or removes it).
        if (downloadSessions(app).downloadPartsRead && !d.downloadPartPath.empty()) {
            const std::string name = d.downloadPartPath.substr(d.downloadPartPath.find_last_of('/') + 1);
            if (std::find(downloadSessions(app).downloadKeptParts.begin(), downloadSessions(app).downloadKeptParts.end(), name) == downloadSessions(app).downloadKeptParts.end())
                downloadSessions(app).downloadKeptParts.push_back(name);
        }
    } else {
        d.file.close();
    }
    d.downloadPartPath.clear();
}

// The rule of a pass, for every download whatever the mode: the server
// ended the data connection after the last byte (the program never ends a
// transfer because enough bytes have come); the transfer had a positive
// preliminary reply (1xx) and a positive completion reply (2xx); in binary
// type, the bytes received equal every size the server stated (the strict
// "(N bytes)" of its preliminary reply, and SIZE when it was asked); with
// verify, the checksum matches. Anything less fails (or, for a file still
// being written, is left for a later run).
Task<Judged> judgeDownloadedFile(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    // An announced 0 is a size like any other; -2 is a size the "File Size
    // Exists" option wanted and the server did not state.
    bool sizeOk = d.downloadExpectedSize == -1 || d.downloadBytes == d.downloadExpectedSize;
    // A file ends when the server closes its data connection: one still
    // open, or broken, has not been proven whole however quiet it is.
    const auto data = d.data.state();
    sizeOk = sizeOk && (data == platform::Endpoint::Closed || data == platform::Endpoint::Closing);
    const bool written = downloadWritten(d);
    bool pass = sizeOk && written && !d.downloadFileSpoiled;
    // Settled files only: a file whose size changed while it came (more or
    // fewer bytes than stated) is still being written; it is left for a
    // later run.
    bool grew = false;
    if (!pass && written && s.settleSeconds > 0) grew = co_await downloadGrewMeanwhile(d);
    if (grew) co_return concludeDownload(d, false, true);
    // Proven transfers: the server confirms the copy (or the file changed
    // while it was fetched, and is left for a later run).
    if (pass && downloadProofWanted(app)) {
        const DownloadProof proof = co_await proveDownload(d);
        if (proof == DownloadProof::Leave) co_return concludeDownload(d, false, true);
        pass = proof == DownloadProof::Pass;
    }
    co_return concludeDownload(d, pass, false);
}

bool downloadWritten(DownloadSession& d) {
    // A file that is about to be deleted on the server must be on disk first;
    // otherwise the kernel's own write-back is enough.
    return d.file.isOpen() && (d.app.s.deleteAfterDownload ? d.file.finish() : !d.file.failed());
}

Judged concludeDownload(DownloadSession& d, bool pass, bool leave) {
    // A file left for a later run: what came is not a beginning of the copy
    // to come, and is never kept to be resumed.
    if (leave) {
        d.downloadPartialBad = true;
        discardPartialDownload(d);
        return Judged::Left;
    }
    // Renamed beside itself; a local file of that name that is a link or not
    // a regular file is never replaced, and the file fails.
    if (pass) pass = d.file.commit(d.downloadLocalName);
    discardPartialDownload(d);
    return pass ? Judged::Pass : Judged::Fail;
}

Task<bool> judgeAndRecordDownload(DownloadSession& d) {
    d.failCause.clear();
    const Judged j = co_await judgeDownloadedFile(d);
    co_return recordJudged(d, j);
}

bool recordJudged(DownloadSession& d, Judged j) {
    App& app = d.app;
    if (j == Judged::Left) {
        // No verdict: the file is taken in a later run.
        d.downloadFileGood = false;
        d.downloadVerdictPending = false;
        d.downloadLastPassed = false;
        std::erase_if(downloadSessions(app).downloadOwed, [&](const auto& o) { return o.first == d.downloadFileName; });
        return false;
    }
    if (j == Judged::Fail) d.downloadFileGood = false;
    recordDownloadResult(d, j == Judged::Pass ? "pass" : "fail");
    d.failCause.clear();
    return j == Judged::Pass;
}

std::string downloadLocalName(App& app, const std::string& remote) {
    if (app.w.ai_dstamp.checked()) return fmt::yyyymmdd(app.now()) + "_" + remote;
    return remote;
}

static void sendOrFail(DownloadSession& d, const std::string& text) {
    if (!d.send(text)) d.downloadFailed = d.controlLost = true;
}

static Task<> step12(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    auto& w = app.w;
    d.downloadDataIsFile = true;
    // The file's final reply has come; with quick waits the quiet wait ends
    // once its data connection is over with every announced byte.
    co_await sessionTimedWait(d, [&] {
        return !(d.downloadWaitSeconds < 9 && d.downloadNextDue) || (s.quickWaits && downloadFileProvablyDone(d));
    });
    // A session taken over is only wound down: the file in flight is not
    // judged on what has come so far (the retry fetches it again, or the
    // take-over's decision fails it).
    if (sessionEnding(d)) co_return;
    bool passes = false;
    if (d.downloadFileGood && d.downloadNextDue) passes = co_await judgeAndRecordDownload(d);
    if (passes && s.deleteAfterDownload && d.downloadFileGood && d.downloadNextDue) {
        sendOrFail(d, "DELE " + d.downloadFileName);
        d.downloadLastPassed = false;
    } else {
        d.data.setRemotePort(static_cast<std::int32_t>(wholeValue(w.Text9.text()) & 0xffff));
        resetListener(d);
        d.downloadDataIsFile = true;
        // With quick waits a command goes out only when it changes
        // something: the type once per session, REST only to resume.
        if (s.quickWaits && d.type == s.transferType) {
            d.downloadStep = 14;
            sendDataSetup(d);
        } else {
            d.downloadStep = 13;
            sendOrFail(d, s.transferType);
        }
    }
    d.downloadNextDue = false;
}

static Task<> leaveFile(DownloadSession& d);

static Task<> startFile(DownloadSession& d) {
    App& app = d.app;
    discardPartialDownload(d);
    d.downloadLocalName = downloadLocalName(app, d.downloadTarget);
    d.downloadServerSize = -1;
    d.downloadResumeAt = 0;
    d.downloadRestProven = false;
    d.downloadPartialBad = false;
    d.downloadBytes = 0;
    d.downloadExpectedSize = d.downloadStatedSize = -1;
    // Proven transfers: a file not settled is left for a later run; a kept
    // partial file may be resumed.
    if (downloadProofWanted(app)) {
        const bool prepared = co_await prepareDownload(d);
        if (!prepared) {
            if (!sessionEnding(d)) co_await leaveFile(d);
            co_return;
        }
    }
    d.downloadExpectedSize = -1;
    d.downloadStep = 16;
    beginDownloadFile(d);
    startDownloadDigest(d);
    sendOrFail(d, "RETR " + d.downloadTarget);
}

void beginDownloadFile(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    auto& w = app.w;
    w.setCaption(s.transferCaptionPrefix + fmt::hhmmssAmPm(app.now()) + " File: " + d.downloadTarget);
    d.downloadFileGood = true;
    d.downloadVerdictPending = true;
    d.requeuedTaken.clear();
    notify(app.events.fileStarted, JobKind::Download, d.downloadTarget, d.downloadResumeAt);
    d.downloadBytes = d.downloadResumeAt;
    d.downloadFileSpoiled = false;
    d.downloadLastPassed = false;
    w.fText6.setText(std::to_string(d.downloadBytes));
    // A new file of a fresh name, created exclusively: nothing planted in the
    // working directory is written through (unless a kept partial file is
    // resumed: it is open already).
    if (!d.file.isOpen()) {
        // With resumed downloads the name keeps what the server stated of
        // the file, so that a kept part is resumed only against that copy.
        std::string prefix = partialName(d.downloadLocalName);
        if (s.resumeDownloads && d.downloadServerSize >= 0)
            prefix += partIdentity(d.downloadServerSize, d.downloadServerTime);
        if (d.file.create(app.workFile(""), prefix, partSuffix))
            d.downloadPartPath = d.file.path();
        else
            d.downloadFileSpoiled = true;
    }
}

// The chosen file is not settled: it gets no verdict, its data connection
// carries nothing, and the next file starts (or the files end).
static Task<> leaveFile(DownloadSession& d) {
    d.downloadStep = 12;
    d.downloadNextDue = true;
    d.downloadFileName = d.downloadTarget;
    d.downloadFileGood = false;
    d.downloadVerdictPending = false;
    d.data.close();
    discardPartialDownload(d);
    const bool next = co_await selectNextDownload(d);
    if (next)
        co_await step12(d);
    else
        co_await finishListing(d);
}

// The file could not be fetched: record it and start the next one, if any.
static Task<> fileFailed(DownloadSession& d) {
    d.downloadFileGood = false;
    discardPartialDownload(d);
    recordDownloadResult(d, "fail");
    const bool next = co_await selectNextDownload(d);
    if (next) co_await step12(d);
}

// No data connection could be set up for the chosen file (before its RETR):
// it fails, and the next file starts, or the files end.
static Task<> noDataConnection(DownloadSession& d, std::string cause = "") {
    d.failCause = cause;
    d.downloadStep = 12;
    d.downloadNextDue = true;
    d.downloadFileName = d.downloadTarget;
    d.downloadExpectedSize = -1;
    d.downloadFileGood = false;
    discardPartialDownload(d);
    recordDownloadResult(d, "fail");
    d.failCause.clear();
    const bool next = co_await selectNextDownload(d);
    if (next)
        co_await step12(d);
    else
        co_await finishListing(d);
}

static Task<> retrReply(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    auto& w = app.w;
    d.downloadStep = 12;
    d.downloadNextDue = true;
    if (d.downloadReply.empty() || d.downloadReply[0] != '1') {
        // RETR refused, or ended before any preliminary reply: the transfer
        // never properly began, so whatever its data connection carries
        // cannot be proven whole.
        d.downloadExpectedSize = -1;
        // A resume refused only now ("451 Restart not permitted" after REST
        // was answered 350): its part is dropped, the file comes whole next.
        if (d.downloadResumeAt > 0) d.downloadPartialBad = true;
        d.data.close();
        co_await fileFailed(d);
        co_return;
    }
    // An announced size of 0 is checked like any other: a server that then
    // sends bytes fails the file instead of leaving an empty one. In ASCII
    // type the size stated is the one on the server's disk, while the line
    // ends change on the way: it is shown, never compared.
    const std::int64_t stated = sizeFromRetrReply(d.downloadReply, s.fileSizeCheck);
    d.downloadStatedSize = stated;
    d.downloadExpectedSize = s.transferType == "TYPE I" || stated < 0 ? stated : -1;
    // A resumed transfer: servers announce either the whole size or the
    // rest; either way the whole file is what is checked.
    d.downloadRestProven = d.downloadResumeAt > 0 && d.downloadExpectedSize >= 0 &&
                           d.downloadExpectedSize + d.downloadResumeAt == d.downloadServerSize;
    if (d.downloadRestProven) d.downloadExpectedSize = d.downloadStatedSize = d.downloadServerSize;
    // More than it announced may have come before the reply: the file cannot
    // be what it said. The transfer ends only when the server ends it.
    if (d.downloadExpectedSize >= 0 && d.downloadBytes > d.downloadExpectedSize) {
        d.downloadFileSpoiled = true;
        d.data.close();
    }
    w.Text13.setVisible(d.downloadStatedSize >= 1);
    auto& l = d.data;
    co_await sessionTimedWait(d, [&] {
        return l.state() == Endpoint::Connected || d.downloadWaitSeconds >= 6 || d.dataAccepted;
    });
    if (l.state() != Endpoint::Connected && !d.dataAccepted) co_await fileFailed(d);
}

Task<> retrievalStep(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    switch (d.downloadStep) {
        case 12:
            co_await step12(d);
            break;
        case 13:
            // The transfer type refused: the file would come in the other
            // type (converted, or not), so it is not asked for at all.
            if (d.downloadReply.empty() || d.downloadReply[0] != '2') {
                d.type.clear();
                co_await noDataConnection(d, "transfer type refused: " + serverReplyReason(d.downloadReply));
                break;
            }
            d.downloadStep = 14;
            sendDataSetup(d);
            break;
        case 14: {
            const DataReady ready = co_await dataReady(d);
            if (ready == DataReady::Asked) break;
            // Passive mode: the data connection is opened as soon as the
            // server has named its port (some servers handle nothing more
            // until it is there), before REST and RETR.
            if (ready == DataReady::No) {
                co_await noDataConnection(d);
                break;
            }
            d.downloadStep = 15;
            // With quick waits REST goes out only to undo a resume's.
            if (s.quickWaits && !d.downloadRestUsed) {
                co_await startFile(d);
                break;
            }
            d.downloadRestUsed = false;
            sendOrFail(d, "REST 0");
            break;
        }
        case 15:
            co_await startFile(d);
            break;
        case 16:
            co_await retrReply(d);
            break;
        default:
            break;
    }
}

}  // namespace corvantel
