#include "download/records.h"

#include "app/app_state.h"
#include "download/session.h"
#include "app/text.h"
#include "download/retrieval.h"
#include "download/selection.h"

namespace corvantel {

namespace files = platform::files;
namespace fmt = platform::fmt;

// Why the current file failed, in a few words, from what the session knows
// when the verdict is given.
static std::string failReason(DownloadSession& d) {
    App& app = d.app;
    const std::string& name = d.downloadFileName;
    if (!safeLocalName(name) || isOwnFile(app, downloadLocalName(app, name))) return "unsafe local name";
    if (d.takeover == Takeover::Watchdog) return "no activity: session taken over";
    if (d.downloadFailed || d.downloadSocketError != 0 || d.controlLost ||
        d.takeover != Takeover::None)
        return "session failed";
    if (d.answered.rfind("RETR ", 0) == 0 && !d.downloadReply.empty() &&
        (d.downloadReply[0] == '4' || d.downloadReply[0] == '5'))
        return serverReplyReason(d.downloadReply);
    if (!d.dataAccepted) return "no data connection";
    if (d.downloadExpectedSize >= 0 && d.downloadBytes != d.downloadExpectedSize)
        return "size mismatch: " + std::to_string(d.downloadBytes) + " of " + std::to_string(d.downloadExpectedSize) +
               " bytes";
    if (!d.failCause.empty()) return d.failCause;
    if (d.downloadFileSpoiled) return "data connection broken or local file not written";
    return "local file not written";
}

void recordDownloadResult(DownloadSession& d, const std::string& result, bool logLine) {
    App& app = d.app;
    auto& s = app.s;
    std::string sizeText;
    d.downloadVerdictPending = false;
    // A file taken again from the queue has its verdict now (before it even
    // started, perhaps: no data connection for it): it is not given back.
    if (d.requeuedTaken == d.downloadFileName) d.requeuedTaken.clear();
    std::erase_if(downloadSessions(app).downloadOwed, [&](const auto& o) { return o.first == d.downloadFileName; });
    // A verdict is activity for the watchdog.
    d.downloadIdleTicks = 0;
    if (result == "pass") {
        if (s.downloadDupeCheck) {
            files::append(app.ownFile("filename2.log"), d.downloadFileName + "\r\n");
            downloadSessions(app).downloadedNames.add(d.downloadFileName);
        }
        // The bytes this session received (the window's counter shows them
        // too, but other connections write it as well).
        sizeText = std::to_string(d.downloadBytes);
        d.downloadLastPassed = true;
    } else {
        sizeText = d.downloadExpectedSize < 0 ? "Unknown File Size" : std::to_string(d.downloadExpectedSize);
        d.downloadLastPassed = false;
        ++s.failedFiles;
    }
    auto t = app.now();
    // A listed name may hold any byte: its control bytes are shown as "?",
    // so that it can never end its line or forge another.
    if (logLine)
        files::append(app.ownFile("dl_file_size.log"),
                      printZoneLine({ZoneField::Text(fmt::slashDate(t)), ZoneField::Text(fmt::hhmmssAmPm(t)),
                                     ZoneField::Text(logSafeName(d.downloadFileName)), ZoneField::Text(sizeText),
                                     ZoneField::Text(result)}));
    if (app.events.fileJudged) {
        const bool passed = result == "pass";
        app.events.fileJudged({JobKind::Download, d.downloadFileName, passed,
                               passed ? d.downloadBytes : d.downloadExpectedSize, passed ? "" : failReason(d)});
    }
}

void recordUnsafeName(DownloadSession& d) {
    App& app = d.app;
    // A listing can hold millions of such names, listed again on every
    // run: past the limit they are only counted.
    const bool logLine = downloadSessions(app).downloadUnsafeLogged < maxUnsafeLines;
    if (logLine)
        ++downloadSessions(app).downloadUnsafeLogged;
    else
        ++downloadSessions(app).downloadUnsafeUnlogged;
    recordDownloadResult(d, "fail", logLine);
}

void logUnsafeSummary(App& app) {
    const std::int64_t more = downloadSessions(app).downloadUnsafeUnlogged;
    downloadSessions(app).downloadUnsafeLogged = downloadSessions(app).downloadUnsafeUnlogged = 0;
    if (more == 0) return;
    // The name field holds a "/", which no fetched file's name can.
    auto t = app.now();
    files::append(app.ownFile("dl_file_size.log"),
                  printZoneLine({ZoneField::Text(fmt::slashDate(t)), ZoneField::Text(fmt::hhmmssAmPm(t)),
                                 ZoneField::Text("more unsafe names/not logged"), ZoneField::Number(more),
                                 ZoneField::Text("fail")}));
}

void loadDownloadedNames(App& app) {
    downloadSessions(app).downloadedNames.clear();
    auto text = files::readAll(app.ownFile("filename2.log"), 256 << 20);
    if (!text) return;
    for (auto& line : files::splitLines(*text)) downloadSessions(app).downloadedNames.add(line);
}

}  // namespace corvantel
