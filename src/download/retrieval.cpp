#include "download/retrieval.h"

#include <cctype>
#include <cstdio>
#include <limits>

#include "app/app_state.h"
#include "app/text.h"
#include "download/commands.h"
#include "download/dispatch.h"
#include "download/records.h"
#include "download/selection.h"
#include "app/waits.h"

namespace corvantel {

using platform::Endpoint;
namespace fmt = platform::fmt;
namespace files = platform::files;

std::int64_t sizeFromRetrReply(const std::string& reply, bool fileSizeCheck) {
    const std::size_t a = reply.find('(');
    if (a == std::string::npos) return fileSizeCheck ? -2 : -1;
    std::size_t i = a + 1;
    // Only digits make a size; "(" followed by anything else announces none.
    if (i >= reply.size() || !std::isdigit(static_cast<unsigned char>(reply[i]))) return fileSizeCheck ? -2 : -1;
    std::int64_t v = 0;
    for (; i < reply.size() && std::isdigit(static_cast<unsigned char>(reply[i])); ++i) {
        int d = reply[i] - '0';
        if (v > (std::numeric_limits<std::int64_t>::max() - d) / 10)
            v = std::numeric_limits<std::int64_t>::max();
        else
            v = v * 10 + d;
    }
    return v;
}

static const char* const partSuffix = ".corvantel-part";

std::string partialName(const std::string& localName) { return "." + localName + partSuffix; }

bool isPartialDownload(const std::string& name) {
    const std::string suffix = partSuffix;
    return name.size() > suffix.size() && name.front() == '.' &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void discardPartialDownload(App& app) {
    app.downloadFile.close();
    if (!app.s.downloadPartPath.empty()) files::remove(app.s.downloadPartPath);
    app.s.downloadPartPath.clear();
}

bool judgeDownloadedFile(App& app) {
    auto& s = app.s;
    // A file passes only with all it announced and nothing more (an
    // announced 0 is a size like any other); without an announcement the
    // size cannot be checked.
    bool sizeOk = s.downloadExpectedSize == -1 || s.downloadBytes == s.downloadExpectedSize;
    // A file that is about to be deleted on the server must be on disk first;
    // otherwise the kernel's own write-back is enough.
    bool written = app.downloadFile.isOpen() && !s.downloadPartPath.empty() &&
                   (s.deleteAfterDownload ? app.downloadFile.finish() : !app.downloadFile.failed());
    bool pass = sizeOk && written && !s.downloadFileSpoiled;
    if (pass) {
        app.downloadFile.close();
        pass = !app.downloadFile.failed() &&
               ::rename(s.downloadPartPath.c_str(), app.workFile(s.downloadLocalName).c_str()) == 0;
        if (pass) s.downloadPartPath.clear();
    }
    discardPartialDownload(app);
    return pass;
}

std::string downloadLocalName(App& app, const std::string& remote) {
    if (app.w.ai_dstamp.checked()) return fmt::yyyymmdd(app.now()) + "_" + remote;
    return remote;
}

static void sendOrFail(App& app, const std::string& text) {
    if (!sendDownloadCommand(app, text)) app.s.downloadFailed = app.s.downloadControlLost = true;
}

static void step12(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    s.downloadDataIsFile = true;
    // The file's final reply has come; with quick waits the quiet wait ends
    // once its data connection is over with every announced byte.
    downloadTimedWait(app, [&] {
        return !(s.downloadWaitSeconds < 9 && s.downloadNextDue) || (s.quickWaits && downloadFileProvablyDone(app));
    });
    bool passes = false;
    if (s.downloadFileGood && s.downloadNextDue) {
        passes = judgeDownloadedFile(app);
        if (!passes) s.downloadFileGood = false;
        recordDownloadResult(app, passes ? "pass" : "fail");
    }
    if (passes && s.deleteAfterDownload && s.downloadFileGood && s.downloadNextDue) {
        sendOrFail(app, "DELE " + s.downloadFileName);
        s.downloadLastPassed = false;
    } else {
        s.downloadStep = 13;
        w.ftpclient2->setRemotePort(static_cast<std::int32_t>(wholeValue(w.Text9.text()) & 0xffff));
        resetDownloadListener(app);
        sendOrFail(app, s.transferType);
        s.downloadDataIsFile = true;
    }
    s.downloadNextDue = false;
}

static void startFile(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    w.setCaption(s.transferCaptionPrefix + fmt::hhmmssAmPm(app.now()) + " File: " + s.downloadTarget);
    s.downloadExpectedSize = -1;
    s.downloadFileGood = true;
    s.downloadVerdictPending = true;
    notify(app.events.fileStarted, JobKind::Download, s.downloadTarget);
    s.downloadStep = 16;
    s.downloadBytes = 0;
    s.downloadFileSpoiled = false;
    s.downloadLastPassed = false;
    w.fText6.setText("0");
    discardPartialDownload(app);
    s.downloadLocalName = downloadLocalName(app, s.downloadTarget);
    s.downloadPartPath = app.workFile(partialName(s.downloadLocalName));
    if (!app.downloadFile.create(s.downloadPartPath)) s.downloadFileSpoiled = true;
    sendOrFail(app, "RETR " + s.downloadTarget);
}

// The file could not be fetched: record it and start the next one, if any.
static void fileFailed(App& app) {
    auto& s = app.s;
    s.downloadFileGood = false;
    discardPartialDownload(app);
    recordDownloadResult(app, "fail");
    if (selectNextDownload(app)) step12(app);
}

// No data connection could be set up for the chosen file (before its RETR):
// it fails, and the next file starts, or the files end.
static void noDataConnection(App& app) {
    auto& s = app.s;
    s.downloadStep = 12;
    s.downloadNextDue = true;
    s.downloadFileName = s.downloadTarget;
    s.downloadExpectedSize = -1;
    s.downloadFileGood = false;
    discardPartialDownload(app);
    recordDownloadResult(app, "fail");
    if (selectNextDownload(app))
        step12(app);
    else
        finishListing(app);
}

static void retrReply(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    s.downloadStep = 12;
    s.downloadNextDue = true;
    const std::string code = s.downloadReply.substr(0, 1);
    if (code == "4" || code == "5") {
        // RETR refused: nothing will come on the data connection.
        s.downloadExpectedSize = -1;
        fileFailed(app);
        return;
    }
    // An announced size of 0 is checked like any other: a server that then
    // sends bytes fails the file instead of leaving an empty one.
    s.downloadExpectedSize = sizeFromRetrReply(s.downloadReply, s.fileSizeCheck);
    // The whole file may have come before the reply that announced it.
    if (s.downloadExpectedSize > 0 && s.downloadBytes == s.downloadExpectedSize) w.ftpclient2->close();
    else if (s.downloadExpectedSize >= 0 && s.downloadBytes > s.downloadExpectedSize) {
        s.downloadFileSpoiled = true;
        w.ftpclient2->close();
    }
    w.Text13.setVisible(s.downloadExpectedSize >= 1);
    auto& l = *w.ftpclient2;
    downloadTimedWait(app, [&] {
        return l.state() == Endpoint::Connected || s.downloadWaitSeconds >= 6 || s.downloadDataAccepted;
    });
    if (l.state() != Endpoint::Connected && !s.downloadDataAccepted) fileFailed(app);
}

void retrievalStep(App& app) {
    auto& s = app.s;
    switch (s.downloadStep) {
        case 12:
            step12(app);
            break;
        case 13:
            s.downloadStep = 14;
            sendDownloadDataSetup(app);
            break;
        case 14: {
            const DataReady ready = downloadDataReady(app);
            if (ready == DataReady::Asked) break;
            if (ready == DataReady::No) {
                noDataConnection(app);
                break;
            }
            s.downloadStep = 15;
            sendOrFail(app, "REST 0");
            break;
        }
        case 15:
            // Passive mode: the data connection is open before RETR.
            if (!downloadOpenPassive(app)) {
                noDataConnection(app);
                break;
            }
            startFile(app);
            break;
        case 16:
            retrReply(app);
            break;
        default:
            break;
    }
}

}  // namespace corvantel
